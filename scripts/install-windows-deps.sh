#!/usr/bin/env bash
# Installs what the Windows build and its tests need (Debian packages, as root): the
# mingw-w64 cross compilers for 32-bit and x86-64 Windows (their POSIX thread model comes
# with them), GoogleTest's sources, Wine for 32-bit programs, which needs the i386
# architecture, and for 64-bit ones (wine64, which runs them natively), and
# clang, lld and the LLVM tools for the second set of export names, the import library
# Quorrick.lib and the test host built in the platform compiler's mode.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
need=()
for pkg in cmake ninja-build file googletest g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 clang lld llvm; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
