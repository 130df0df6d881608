#!/usr/bin/env bash
# The report page in a real browser: runs the demo (which writes its report page and the
# page of a launcher run), makes a page from a run folder holding only a status text and
# one of the demo's files with a copy of the tool that finds no Chart.js, and opens them
# in headless chromium (tools/report/test). The demo page's screenshot is kept in
# build/artifacts/report.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-report-deps.sh --browser
work=$(mktemp -d /tmp/quorrick-report-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
bash scripts/demo.sh "$work/demo"
mkdir -p "$work/partial"
cp "$work/demo/status.txt" "$work/partial/"
partial=$(tools/quorrick-report "$work/partial")
# The tool beside no tools/report/node_modules: a page with notes in place of the charts.
mkdir -p "$work/bare" "$work/chartless"
cp tools/quorrick-report tools/symbolize_leaks.py "$work/bare/"
cp "$work/demo"/*.txt "$work/demo"/*.csv "$work/demo/MemorySettings.dat" "$work/chartless/"
chartless=$("$work/bare/quorrick-report" "$work/chartless" 2>/dev/null)
mkdir -p build/artifacts
QJ_REPORT_FULL="$work/demo/report.html" QJ_REPORT_PARTIAL="$partial" \
  QJ_REPORT_LAUNCHER="$work/demo/launcher-run/report.html" QJ_REPORT_CHARTLESS="$chartless" \
  QJ_SCREENSHOT="$PWD/build/artifacts/report.png" node --test tools/report/test/
echo "screenshot of the demo's report page: build/artifacts/report.png"
