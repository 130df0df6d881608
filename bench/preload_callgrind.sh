#!/usr/bin/env bash
# The Debian sqlite3 shell on bench/preload/workload.sql, counted by callgrind: a plain run
# and a run with the preloaded library (default settings), and their ratio. Counts are
# deterministic, so they hold on a loaded machine, unlike the wall times of run_preload.sh.
#
# callgrind counts each byte a string instruction (rep stosb/movsb) handles as one
# instruction; the C library's memset and memcpy use them from 2 KiB up, so a 4 KiB fill
# counts about 4,100 where the vector loop below that size counts about 130. The second
# pair of runs counts again with both thresholds raised out of reach in both runs
# (GLIBC_TUNABLES), which makes those calls vector loops as smaller ones are.
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

no_strings=GLIBC_TUNABLES=glibc.cpu.x86_rep_stosb_threshold=1000000000:glibc.cpu.x86_rep_movsb_threshold=1000000000
printf 'sqlite3, %s rows       %15s %15s %6s\n' "$rows" "plain" "preloaded" "ratio"
for mode in strings vector; do
  if [ $mode = strings ]; then vars=(); label="as the C library runs"; else vars=("$no_strings"); label="string instr. off"; fi
  plain=$(count "plain.$mode" "${vars[@]}")
  preloaded=$(count "preloaded.$mode" "${vars[@]}" LD_PRELOAD="$lib")
  printf '  %-28s %15s %15s %6s\n' "$label" "$plain" "$preloaded" \
      "$(awk -v a="$preloaded" -v b="$plain" 'BEGIN { printf "%.3f", a / b }')"
done
