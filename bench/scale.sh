#!/usr/bin/env bash
# The scale tables of bench/scale.cpp, each run in a temporary folder of its own with the
# MemorySettings.dat it needs (the library reads it from the working directory at load):
#   live     defaults: pairs over 1,000 to 10,000,000 live blocks, time and memory;
#   sites    use_callstack 1: 1,000 to 1,000,000 distinct call stacks in two shapes, then
#            1,048,576 allocations from 131,072 sites;
#   threads  1 to 8 threads at once, under each settings variant;
#   reports  use_callstack 1: the leak report and the churn export of 1,000 to 1,000,000
#            sites, and tools/symbolize_leaks.py on the leak report.
#
#   bash bench/scale.sh [quick] [build-dir]
# Builds nothing: expects BUILD/bench/scale_bench (default build/linux-release). `quick` runs
# the smallest size of each table only, with 3 rounds. QJ_BENCH_ROUNDS sets the rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quick=0
if [ "${1:-}" = quick ]; then
  quick=1
  shift
fi
build=${1:-$root/build/linux-release}
build=$(cd "$build" && pwd)
bench=$build/bench/scale_bench
[ -x "$bench" ] || { echo "build $bench first (cmake --build build/linux-release --target scale_bench)"; exit 1; }

if [ "$quick" = 1 ]; then
  export QJ_BENCH_ROUNDS=${QJ_BENCH_ROUNDS:-3}
  max_live=1000 max_sites=1000 thread_pairs=100000
else
  max_live=10000000 max_sites=1000000 thread_pairs=400000
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run FOLDER SETTINGS ARGUMENTS...: scale_bench ARGUMENTS in $work/FOLDER with SETTINGS
# (printf format) as its MemorySettings.dat. The library's own lines on standard error are
# shown only when the run fails.
run() {
  local dir=$work/$1 settings=$2
  shift 2
  mkdir -p "$dir"
  # shellcheck disable=SC2059 # the settings are a format: their lines are joined by \n
  printf "$settings\n" > "$dir/MemorySettings.dat"
  if ! (cd "$dir" && "$bench" "$@" 2> "$dir/stderr.txt"); then
    cat "$dir/stderr.txt" >&2
    exit 1
  fi
}

run live "" live "$max_live"
echo

run sites "use_callstack 1" sites "$max_sites"
if [ "$quick" = 0 ]; then
  echo
  echo "# The collision case: 1,048,576 allocations from 131,072 sites, 8 from each."
  run sites "use_callstack 1" sites-collide 131072 1048576 | tail -n +2
  run sites "use_callstack 1" sites-distinct 131072 1048576 | tail -n 1
fi
echo

# name | settings
variants=(
  "defaults|"
  "use_pools 0|use_pools 0"
  "use_traceIdentifiers 1|use_traceIdentifiers 1"
  "use_histogram 1|use_histogram 1"
  "use_callstack 1|use_callstack 1"
  "everything on|use_callstack 1\nuse_histogram 1\nuse_traceIdentifiers 1\nuse_memoryUsedTag 1\npatterns 1\ntailguards 1\ntailguard_length 4\nuse_qj7_tags 1"
)
first=1
for v in "${variants[@]}"; do
  IFS='|' read -r name settings <<< "$v"
  out=$(run "threads-${name// /_}" "$settings" threads "$thread_pairs")
  if [ "$first" = 1 ]; then
    # The program's description without its time per pair, then one row per settings
    # variant: its ratios.
    sed -e "s/ ns per pair: [^;]*;/ Wall time/" -e "s/\$/ One row per settings variant./" <<< "${out%%$'\n'*}"
    printf '%-24s %10s %10s %10s %10s\n' "settings" "1 thread" "2 threads" "4 threads" "8 threads"
    first=0
  fi
  mapfile -t ratios < <(printf '%s\n' "$out" | awk '$1 ~ /^[0-9]+$/ { print $NF }')
  printf '%-24s %10s %10s %10s %10s\n' "$name" "${ratios[@]}"
done
echo

# The reports are all written before the first is symbolized: nothing else runs meanwhile.
dir=$work/reports
out=$(run reports "use_callstack 1" reports "$max_sites")
while IFS= read -r line; do
  case "$line" in
    "#"*) echo "$line Symbolize: tools/symbolize_leaks.py on the leak report, one run." ;;
    *sites*) printf '%s %12s\n' "$line" "symbolize s" ;;
    *)
      sites=$(awk '{ gsub(",", "", $1); print $1 }' <<< "$line")
      start=$(date +%s.%N)
      python3 "$root/tools/symbolize_leaks.py" "$dir/leaks.$sites.txt" \
        -o "$dir/leaks.$sites.symbolized.txt"
      end=$(date +%s.%N)
      printf '%s %12s\n' "$line" "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')"
      rm -f "$dir/leaks.$sites.txt" "$dir/leaks.$sites.symbolized.txt" "$dir/churn.$sites.txt" ;;
  esac
done <<< "$out"
