#!/usr/bin/env bash
# Unmodified programs under tools/quorrick-run against plain runs: the Debian sqlite3 shell
# and lua5.4 interpreter on the workloads in bench/preload/, each run alternating with a
# plain run; prints the medians of wall time and their ratio, per settings.
#
#   bash bench/run_preload.sh [repetitions] [defaults]
# With `defaults`, only the default settings are timed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-9}
only=${2:-all}
lib=$root/build/linux-release/preload/libquorrick-preload.so
[ -f "$lib" ] || { echo "build $lib first (cmake --build --preset linux-release)"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$root/bench/preload/workload.sql" "$root/bench/preload/workload.lua" "$dir/"
cd "$dir"
python3 - "$root/tools/quorrick-run" "$reps" "$only" <<'PY'
import os, statistics, subprocess, sys, time
launcher, reps, only = sys.argv[1], int(sys.argv[2]), sys.argv[3]
workloads = [("sqlite3", ["/usr/bin/sqlite3", ":memory:"], "workload.sql"),
             ("lua5.4", ["/usr/bin/lua5.4", "workload.lua"], None)]
configs = [("defaults", ""), ("patterns 0", "patterns 0"),
           ("use_callstack 1", "use_callstack 1"),
           ("use_callstack 1 callstack_unwind 1", "use_callstack 1 callstack_unwind 1")]
if only == "defaults":
    configs = configs[:1]
def timed(command, stdin, settings):
    env = dict(os.environ)
    env.pop("QUORRICK_SETTINGS", None)
    if settings is not None:
        env["QUORRICK_SETTINGS"] = settings
    with open(stdin) if stdin else open(os.devnull) as f:
        start = time.perf_counter()
        subprocess.run(command, stdin=f, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=env, check=True)
        return time.perf_counter() - start
for name, command, stdin in workloads:
    for label, settings in configs:
        plain, guarded = [], []
        for _ in range(reps):
            plain.append(timed(command, stdin, None))
            guarded.append(timed([launcher] + command, stdin, settings))
        p, g = statistics.median(plain), statistics.median(guarded)
        print(f"{name:8} {label:36} plain {p * 1000:7.1f} ms  launcher {g * 1000:7.1f} ms  ratio {g / p:5.2f}")
PY
