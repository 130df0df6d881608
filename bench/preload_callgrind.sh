#!/usr/bin/env bash
# The Debian sqlite3 shell on bench/preload/workload.sql, counted by callgrind: a plain run
# and a run with the preloaded library (default settings), and their ratio. Counts are
# deterministic, so they hold on a loaded machine, unlike the wall times of run_preload.sh.
#
# callgrind counts a string instruction (rep stosb, rep movsb) once per byte it handles: a
# 4 KiB fill by one counts about 4,100, a loop of vector stores about 130 for the same work.
# The fills of the library's blocks above 128 bytes and the C library's memset and memcpy
# from 2 KiB up are such instructions, so the count weighs them far above their cost in time.
#
#   bash bench/preload_callgrind.sh [rows] [build-dir]
# rows: the workload's table size (default 150000, as in run_preload.sh). QJ_BENCH_PROFILE=dir
# keeps the callgrind profiles there (--dump-instr=yes, for callgrind_annotate).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rows=${1:-150000}
build=${2:-$root/build/linux-release}
lib=$(cd "$build" && pwd)/preload/libquorrick-preload.so
[ -f "$lib" ] || { echo "build $lib first (cmake --build --preset linux-release --target quorrick_preload)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is needed"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s/150000/$rows/" "$root/bench/preload/workload.sql" > "$dir/workload.sql"
profiles=${QJ_BENCH_PROFILE:-$dir}
mkdir -p "$profiles"
unset QUORRICK_SETTINGS

# Total instructions of one run; $1 names the profile, the rest are variables for env.
count() {
  local name=$1 out
  shift
  out=$profiles/callgrind.$name.out
  (cd "$dir" && valgrind --tool=callgrind --dump-instr=yes --trace-children=yes \
      --callgrind-out-file="$out" env "$@" /usr/bin/sqlite3 :memory: < workload.sql >/dev/null 2>&1)
  awk '/^(summary|totals):/ { print $2; exit }' "$out"
}

plain=$(count plain)
preloaded=$(count preloaded LD_PRELOAD="$lib")
printf 'sqlite3, %s rows: plain %s, preloaded %s instructions, ratio %s\n' "$rows" "$plain" "$preloaded" \
    "$(awk -v a="$preloaded" -v b="$plain" 'BEGIN { printf "%.3f", a / b }')"
