#!/usr/bin/env bash
# Builds the library and runs the demo host in a scratch directory with its own settings,
# then turns its reports into one page, report.html. Last, one unmodified program with a
# planted bug (examples/planted_bug.cpp) runs under tools/quorrick-run, which writes its
# run folder and page into launcher-run/ there; the last lines printed say where.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
bash scripts/install-report-deps.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target demo_host quorrick_preload planted_bug
out="${1:-$(mktemp -d /tmp/quorrick-demo.XXXXXX)}"
mkdir -p "$out"
cp examples/MemorySettings.dat "$out/"
(cd "$out" && "$root/build/linux-release/examples/demo_host")
# The leak report with every frame as function, file and line.
python3 tools/symbolize_leaks.py "$out/leaks.txt" --strip-prefix "$root/" -o "$out/leaks.symbolized.txt"
echo
echo "Reports of this run are in $out:"
ls -1 "$out"
# All of them on one page.
echo
echo "Report page:"
tools/quorrick-report "$out" --strip-prefix "$root/"

# An unmodified program under the launcher: it aborts at its planted bug, and the
# launcher prints the error report's block and site. The abort is the point here, so its
# exit status does not end the demo; the shell's own line about it is left out.
echo
echo "An unmodified program under tools/quorrick-run (it stops at its planted bug):"
status=0
{ QUORRICK_SETTINGS="use_callstack 1 leakreport leaks.txt" \
    tools/quorrick-run -o "$out/launcher-run" build/linux-release/examples/planted_bug 2>&3 3>&-; } \
  3>&2 2>/dev/null || status=$?
echo "planted_bug ended with exit status $status."
echo "Its run folder: $out/launcher-run"
echo "Its report page: $out/launcher-run/report.html"
