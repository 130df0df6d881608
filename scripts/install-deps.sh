#!/usr/bin/env bash
# Installs what the Linux build, tests and benchmarks need (Debian packages, as root).
set -euo pipefail
need=()
for pkg in g++ clang cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev \
           binutils llvm python3 libunwind-dev sqlite3 lua5.4 xz-utils; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
