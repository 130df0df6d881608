#!/usr/bin/env bash
# Runs the allocation benchmark once per settings file and prints, for each, the ratio of
# the library's pair to the runtime's pair (medians of repeated runs, same process).
#
#   bash bench/run.sh [build-dir] [repetitions]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux-release}
reps=${2:-7}
build=$(cd "$build" && pwd)
bench=$build/bench/alloc_bench
[ -x "$bench" ] || { echo "build $bench first (cmake --build --preset linux-release)"; exit 1; }

# name | settings file contents | extra arguments
configs=(
  "default, main thread (pools)|| "
  "default, second thread (heap)||--second_thread"
  "use_pools 0, main thread (heap)|use_pools 0| "
  "use_memoryDll 0|use_memoryDll 0| "
  "use_histogram 1, main thread|use_histogram 1| "
  "use_histogram 1, second thread|use_histogram 1|--second_thread"
  "use_callstack 1, main thread|use_callstack 1| "
  "use_callstack 1, second thread|use_callstack 1|--second_thread"
)
[ -n "${QJ_BENCH_EXTRA_CONFIGS:-}" ] && IFS=';' read -r -a extra <<< "$QJ_BENCH_EXTRA_CONFIGS" && configs+=("${extra[@]}")

for config in "${configs[@]}"; do
  IFS='|' read -r name settings args <<< "$config"
  dir=$(mktemp -d)
  printf '%s\n' "$settings" > "$dir/MemorySettings.dat"
  (cd "$dir" && "$bench" $args --benchmark_repetitions="$reps" --benchmark_min_time=0.2 \
      --benchmark_report_aggregates_only=true --benchmark_format=json > result.json 2>/dev/null)
  python3 - "$name" "$dir/result.json" <<'PY'
import json, sys
name, path = sys.argv[1], sys.argv[2]
medians = {}
for b in json.load(open(path))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        medians[b["run_name"]] = b["real_time"] if "threads:2" in b["run_name"] else b["cpu_time"]
rows = []
for run, t in sorted(medians.items()):
    if run.startswith("QjPair"):
        base = medians.get("MallocPair" + run[len("QjPair"):])
        if base:
            rows.append(f"  {run[len('QjPair/'):]:<28} qj {t:7.1f} ns  malloc {base:7.1f} ns  ratio {t / base:5.2f}")
print(f"{name}")
print("\n".join(rows))
PY
  rm -rf "$dir"
done
