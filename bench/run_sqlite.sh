#!/usr/bin/env bash
# Runs the SQLite workload once per settings file: every run of the library alternates
# with a run on the runtime heap in the same process; prints the medians and their ratio.
#
#   bash bench/run_sqlite.sh [build-dir] [repetitions] [rows]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux-release}
reps=${2:-7}
rows=${3:-60000}
build=$(cd "$build" && pwd)
bench=$build/bench/sqlite_bench
[ -x "$bench" ] || { echo "build $bench first (cmake --build --preset linux-release)"; exit 1; }

# name | settings file contents
configs=(
  "default settings|"
  "use_histogram 1|use_histogram 1"
  "use_pools 0|use_pools 0"
)
for config in "${configs[@]}"; do
  IFS='|' read -r name settings <<< "$config"
  dir=$(mktemp -d)
  printf '%s\n' "$settings" > "$dir/MemorySettings.dat"
  echo "$name"
  (cd "$dir" && "$bench" --reps "$reps" --rows "$rows" | tail -2 | sed 's/^/  /')
  rm -rf "$dir"
done
