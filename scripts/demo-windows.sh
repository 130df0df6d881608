#!/usr/bin/env bash
# Cross-builds Quorrick.dll and the demo host for 32-bit Windows and runs the demo under
# Wine in a scratch directory with the demo's settings, like scripts/demo.sh on Linux.
#   bash scripts/demo-windows.sh [OUT-DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-windows-deps.sh
cmake --preset mingw32-release >/dev/null
cmake --build --preset mingw32-release --target demo_host
out="${1:-$(mktemp -d /tmp/quorrick-demo-windows.XXXXXX)}"
mkdir -p "$out"
cp examples/MemorySettings.dat "$out/"
source scripts/wine-env.sh
(cd "$out" && wine "$root/build/mingw32-release/demo_host.exe")
echo
echo "Reports of this run are in $out:"
ls -1 "$out"
