#!/usr/bin/env bash
# Runs the demo host on Linux and on Windows (under Wine) and compares the report files
# that do not depend on the system: by default histogram, trace report, resources and
# status, or the ones named. Windows writes them in text mode, so their "\r\n" line ends
# are read as "\n". The Windows side is the 32-bit build unless --arch x64 (or
# QJ_WINDOWS_ARCH=x64) picks the x86-64 one (scripts/demo-windows.sh).
#   bash scripts/compare-demo.sh [--arch x86|x64] [REPORT...]
set -euo pipefail
if [ "${1:-}" = --arch ]; then
  export QJ_WINDOWS_ARCH="${2:?--arch takes x86 or x64}"
  shift 2
fi
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
