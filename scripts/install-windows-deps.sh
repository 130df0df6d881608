#!/usr/bin/env bash
# Installs what the Windows build and its tests need (Debian packages, as root): the
# mingw-w64 cross compiler for 32-bit Windows (its POSIX thread model comes with it),
# GoogleTest's sources, Wine for 32-bit programs, which needs the i386 architecture, and
# clang, lld and the LLVM tools for the second set of export names, the import library
# Quorrick.lib and the test host built in the platform compiler's mode.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
need=()
for pkg in cmake ninja-build file googletest g++-mingw-w64-i686 wine wine32:i386 clang lld llvm; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
