#!/usr/bin/env bash
# Runs every fuzz target of the linux-fuzz build (clang, libFuzzer, address and
# undefined-behaviour sanitizers) for a fixed time, starting from its committed corpus, and
# prints its figures: CPU-minutes, inputs run, executions per second and coverage
# (libFuzzer's cov and ft). Fails on any finding: a crash, a sanitizer report, a leak, a
# timeout or a failed check of the target. New inputs go to a scratch directory; the
# committed corpus is left as it is.
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]        default 150
# Expects the targets built:
#   cmake --preset linux-fuzz && cmake --build --preset linux-fuzz --target settings_fuzzer sequence_fuzzer
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-150}
targets="settings_fuzzer sequence_fuzzer"
build=build/linux-fuzz/fuzz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
TIMEFORMAT='%3U %3S'
failed=0

for target in $targets; do
    dir="$scratch/$target"
    mkdir -p "$dir/new" "$dir/artifacts"
    committed=$(find "fuzz/corpus/$target" -type f | wc -l)
    { time "$build/$target" "$dir/new" "fuzz/corpus/$target" \
          -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
          -artifact_prefix="$dir/artifacts/" >"$dir/log" 2>&1; } 2>"$dir/time"
    rc=$?
    read -r user sys <"$dir/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.1f", (u + s) / 60 }')
    last=$(grep -E '^#[0-9]+.*cov: ' "$dir/log" | tail -n 1)
    cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
    ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
    stat() { sed -nE "s/^stat::$1: *([0-9]+).*/\1/p" "$dir/log" | tail -n 1; }
    runs=$(stat number_of_executed_units)
    rate=$(stat average_exec_per_sec)
    added=$(stat new_units_added)
    rss=$(stat peak_rss_mb)
    findings=$(find "$dir/artifacts" -type f | wc -l)
    echo "fuzz $target: ${cpu} CPU-minutes, ${runs:-?} inputs, ${rate:-?} exec/s, cov ${cov:-?} ft ${ft:-?}," \
         "corpus $committed committed + ${added:-?} new, peak RSS ${rss:-?} MB, findings $findings"
    if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
        failed=1
        echo "fuzz $target FAILED (exit status $rc); the end of its log:"
        tail -n 40 "$dir/log"
        for artifact in "$dir"/artifacts/*; do
            [ -f "$artifact" ] || continue
            echo "finding $(basename "$artifact"), as hex:"
            od -An -tx1 -v "$artifact" | head -n 32
        done
    fi
done
exit $failed
