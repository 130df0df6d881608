#!/usr/bin/env bash
# The allocation-pair figures for every settings variant, in one run:
#   - instructions per allocate+release pair, counted by callgrind as the difference of a
#     300,000-pair and a 100,000-pair run (counts are deterministic, unlike times);
#   - wall time per pair as a ratio to malloc+free in the same process (median of rounds);
#   - contention factor: two threads running pairs at once over one thread alone.
# Sizes 1-76 bytes, random replacement over 1,000 live blocks (bench/pair_bench.cpp).
#
#   bash bench/pairs.sh [build-dir]
# QJ_BENCH_ROUNDS (default 7) sets the timed rounds; QJ_BENCH_PROFILE=dir keeps the long
# run's callgrind profile of each variant there (--dump-instr=yes, for callgrind_annotate).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux-release}
build=$(cd "$build" && pwd)
bench=$build/bench/pair_bench
rounds=${QJ_BENCH_ROUNDS:-7}
[ -x "$bench" ] || { echo "build $bench first (cmake --build --preset linux-release --target pair_bench)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is needed"; exit 1; }

short=100000
long=300000

# Total instructions of `pair_bench count <who> <pairs>` in directory $1.
count() {
  local dir=$1 who=$2 pairs=$3 out
  out=$dir/cg.$who.$pairs
  (cd "$dir" && valgrind --tool=callgrind --dump-instr=yes --callgrind-out-file="$out" \
      "$bench" count "$who" "$pairs" >/dev/null 2>&1)
  awk '/^(summary|totals):/ { print $2; exit }' "$out"
}

per_pair() {
  local dir=$1 who=$2 a b
  a=$(count "$dir" "$who" $short)
  b=$(count "$dir" "$who" $long)
  echo $(( (b - a) / (long - short) ))
}

# name | settings file | instruction bar | contention bar
variants=(
  "defaults (pool path)||300|1.25"
  "use_memoryDll 0 (pass-through)|use_memoryDll 0|200|1.6"
  "use_pools 0 (heap path)|use_pools 0|400|1.6"
  "use_traceIdentifiers 1|use_traceIdentifiers 1|380|1.6"
  "use_histogram 1|use_histogram 1|360|1.6"
  "use_callstack 1 (16 frames)|use_callstack 1|700|1.6"
  "everything on|use_callstack 1\nuse_histogram 1\nuse_traceIdentifiers 1\nuse_memoryUsedTag 1\npatterns 1\ntailguards 1\ntailguard_length 4\nuse_qj7_tags 1|-|1.6"
)

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
base=$(per_pair "$dir" malloc)
printf '%-32s %10s %6s %8s %12s %10s %6s\n' "settings" "instr/pair" "bar" "malloc" "wall ratio" "contention" "bar"
for v in "${variants[@]}"; do
  IFS='|' read -r name settings bar cbar <<< "$v"
  rm -f "$dir"/cg.* "$dir"/MemorySettings.dat
  printf "$settings\n" > "$dir/MemorySettings.dat"
  if [ "$bar" = "-" ]; then instr="-"; else instr=$(per_pair "$dir" qj); fi
  if [ -n "${QJ_BENCH_PROFILE:-}" ] && [ "$bar" != "-" ]; then
    mkdir -p "$QJ_BENCH_PROFILE"
    cp "$dir/cg.qj.$long" "$QJ_BENCH_PROFILE/$(echo "$name" | tr -c 'A-Za-z0-9_\n' '_').callgrind"
  fi
  wall=$(cd "$dir" && "$bench" wall 400000 "$rounds" 2>/dev/null | awk '{ print $NF }')
  cont=$(cd "$dir" && "$bench" contention 400000 "$rounds" 2>/dev/null | awk '{ print $NF }')
  printf '%-32s %10s %6s %8s %11sx %10s %6s\n' "$name" "$instr" "$bar" "$base" "$wall" "$cont" "$cbar"
done
