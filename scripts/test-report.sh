#!/usr/bin/env bash
# The report page in a real browser: runs the demo (which writes its report page), makes a
# page from a run folder holding only a status text, and opens both in headless chromium
# (tools/report/test). The demo page's screenshot is kept in build/artifacts/report.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-report-deps.sh --browser
work=$(mktemp -d /tmp/quorrick-report-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
full=$(bash scripts/demo.sh "$work/demo" | tail -n 1)
mkdir -p "$work/partial"
cp "$work/demo/status.txt" "$work/partial/"
partial=$(tools/quorrick-report "$work/partial")
mkdir -p build/artifacts
QJ_REPORT_FULL="$full" QJ_REPORT_PARTIAL="$partial" QJ_SCREENSHOT="$PWD/build/artifacts/report.png" \
  node --test tools/report/test/
echo "screenshot of the demo's report page: build/artifacts/report.png"
