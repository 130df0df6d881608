#!/usr/bin/env bash
# Installs the Windows toolchain, cross-builds Quorrick.dll (32-bit) with its tests and
# the demo host, and runs the whole test suite under Wine.
#   bash scripts/test-windows.sh            build and run every test
#   bash scripts/test-windows.sh -R Release  extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-windows-deps.sh

cmake --preset mingw32-release >/dev/null
cmake --build --preset mingw32-release

# The library must be the real thing: a 32-bit PE DLL for x86.
dll_kind=$(file -b build/mingw32-release/Quorrick.dll)
echo "Quorrick.dll: $dll_kind"
case "$dll_kind" in
  "PE32 executable (DLL)"*"Intel 80386"*) ;;
  *) echo "Quorrick.dll is not a PE32 i386 DLL" >&2; exit 1 ;;
esac

source scripts/wine-env.sh
ctest --preset mingw32-release "$@"
