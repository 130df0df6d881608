#!/usr/bin/env bash
# Allocation pairs with call-stack tracking (depth 16) against the runtime's pair, from deep
# in a host's stack, on the main and on a second thread, with and without frame pointers
# in the host's code. Prints medians of repeated runs, their ratio, and the depth of the
# stacks the library captured (from the run's leak report).
#
#   bash bench/callstack_run.sh [build-dir] [repetitions]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux-release}
reps=${2:-7}
build=$(cd "$build" && pwd)
for b in callstack_bench callstack_bench_nofp; do
  [ -x "$build/bench/$b" ] || { echo "build $build/bench/$b first"; exit 1; }
done

# name | program | settings | extra arguments
configs=(
  "frame pointers, main thread|callstack_bench|use_callstack 1| "
  "frame pointers, second thread|callstack_bench|use_callstack 1|--second_thread"
  "no frame pointers, main thread|callstack_bench_nofp|use_callstack 1| "
  "no frame pointers, second thread|callstack_bench_nofp|use_callstack 1|--second_thread"
  "tracking off (reference), main thread|callstack_bench|use_callstack 0| "
)

for config in "${configs[@]}"; do
  IFS='|' read -r name program settings args <<< "$config"
  dir=$(mktemp -d)
  printf '%s\nleakreport leaks.txt\ninclude_all 1\n' "$settings" > "$dir/MemorySettings.dat"
  (cd "$dir" && "$build/bench/$program" $args --benchmark_repetitions="$reps" \
      --benchmark_min_time=0.2 --benchmark_report_aggregates_only=true \
      --benchmark_format=json > result.json 2>/dev/null)
  python3 - "$name" "$dir" <<'PY'
import json, os, re, sys
name, dir = sys.argv[1], sys.argv[2]
medians = {b["run_name"]: b["cpu_time"] for b in json.load(open(os.path.join(dir, "result.json")))["benchmarks"]
           if b.get("aggregate_name") == "median"}
qj, base = medians["QjPairDeep/76"], medians["MallocPairDeep/76"]
depth = "-"
path = os.path.join(dir, "leaks.txt")
if os.path.exists(path):
    # The benchmark's site is the one that held the working set of 1024 blocks.
    sites = [(int(m.group(2)), int(m.group(1))) for m in
             re.finditer(r"^alloc depth=(\d+) \S+ peakNumAllocs=(\d+)", open(path).read(), re.M)]
    if sites:
        depth = str(max(sites)[1])
print(f"{name:<40} qj {qj:7.1f} ns  malloc {base:6.1f} ns  ratio {qj / base:5.2f}  frames {depth}")
PY
  rm -rf "$dir"
done
