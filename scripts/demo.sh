#!/usr/bin/env bash
# Builds the library and runs the demo host in a scratch directory with its own settings,
# then turns its reports into one page, report.html, whose path is the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
bash scripts/install-report-deps.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target demo_host
out="${1:-$(mktemp -d /tmp/quorrick-demo.XXXXXX)}"
mkdir -p "$out"
cp examples/MemorySettings.dat "$out/"
(cd "$out" && "$root/build/linux-release/examples/demo_host")
# The leak report with every frame as function, file and line.
python3 tools/symbolize_leaks.py "$out/leaks.txt" --strip-prefix "$root/" -o "$out/leaks_symbolized.txt"
echo
echo "Reports of this run are in $out:"
ls -1 "$out"
# All of them on one page; its path is the last line printed.
echo
echo "Report page:"
tools/quorrick-report "$out" --strip-prefix "$root/"
