#!/usr/bin/env bash
# Cross-builds Quorrick.dll and the demo host for Windows and runs the demo under Wine in
# a scratch directory with the demo's settings, like scripts/demo.sh on Linux: the 32-bit
# build by default, the x86-64 one (build/mingw64-release, under wine64) with --arch x64
# (or QJ_WINDOWS_ARCH=x64).
#   bash scripts/demo-windows.sh [--arch x86|x64] [OUT-DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
if [ "${1:-}" = --arch ]; then
  export QJ_WINDOWS_ARCH="${2:?--arch takes x86 or x64}"
  shift 2
fi
source scripts/windows-arch.sh
bash scripts/install-windows-deps.sh
cmake --preset "$qj_preset" >/dev/null
cmake --build --preset "$qj_preset" --target demo_host
out="${1:-$(mktemp -d /tmp/quorrick-demo-windows.XXXXXX)}"
mkdir -p "$out"
cp examples/MemorySettings.dat "$out/"
source scripts/wine-env.sh
(cd "$out" && "$QJ_WINE" "$root/build/$qj_preset/demo_host.exe")
echo
echo "Reports of this run are in $out:"
ls -1 "$out"
