#!/usr/bin/env bash
# Runs the demo host on Linux and on Windows (under Wine) and compares the report files
# that do not depend on the system: by default histogram, trace report, resources and
# status, or the ones named. Windows writes them in text mode, so their "\r\n" line ends
# are read as "\n".
#   bash scripts/compare-demo.sh [REPORT...]
set -euo pipefail
reports=("$@")
[ ${#reports[@]} -gt 0 ] || reports=(memoryHistogramAtExit.txt traceReport.txt resourcesAtShutdown.txt status.txt)
cd "$(dirname "$0")/.."
scratch=$(mktemp -d /tmp/quorrick-demo-compare.XXXXXX)
bash scripts/demo.sh "$scratch/linux" >/dev/null
bash scripts/demo-windows.sh "$scratch/windows" >/dev/null
status=0
for report in "${reports[@]}"; do
  if diff -u --label "linux/$report" --label "windows/$report" \
       "$scratch/linux/$report" <(tr -d '\r' < "$scratch/windows/$report"); then
    echo "same on both systems: $report"
  else
    status=1
  fi
done
rm -rf "$scratch"
exit $status
