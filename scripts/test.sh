#!/usr/bin/env bash
# Builds the library and runs the whole Linux test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release
ctest --preset linux-release
