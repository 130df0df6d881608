#!/usr/bin/env bash
# Installs the Windows toolchain, cross-builds Quorrick.dll (32-bit) with its tests and
# the demo host, and runs the whole test suite under Wine.
#   bash scripts/test-windows.sh            build and run every test
#   bash scripts/test-windows.sh -R Release  extra arguments go to ctest
# The build also checks the DLL's export table against include/Quorrick.h.
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

# Wine starts each 32-bit Windows program as a 32-bit Linux process, which a kernel built
# without 32-bit support refuses ("Exec format error"). Exit status 77: built and checked,
# but no test could run here.
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  echo "test-windows.sh: this machine cannot start 32-bit programs; Wine cannot run the tests" >&2
  exit 77
fi

source scripts/wine-env.sh
ctest --preset mingw32-release "$@"
