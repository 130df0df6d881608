#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds tests/package (a small host) against
# it twice, once with CMake's find_package(Quorrick CONFIG REQUIRED) and once with
# pkg-config, then runs both programs.
#   bash scripts/test-package.sh linux     uses build/linux-release (built if missing)
#   bash scripts/test-package.sh windows   uses build/mingw32-release; runs under Wine
#   bash scripts/test-package.sh windows64 uses build/mingw64-release (x86-64); runs under wine64
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
platform="${1:-linux}"
work=$(mktemp -d /tmp/quorrick-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
command -v pkg-config >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkg-config; }

check() { # the consumer's line, and its exit status
  echo "$1"
  case "$1" in *"live=1"*"after=0 status=yes"*) ;; *) echo "package test: unexpected output" >&2; exit 1 ;; esac
}

if [ "$platform" = linux ]; then
  cmake --preset linux-release >/dev/null
  cmake --build --preset linux-release --target Quorrick
  cmake --install build/linux-release --prefix "$work/prefix" >/dev/null
  echo "-- installed:"; (cd "$work/prefix" && find . -type f -o -type l | sort)
  cmake -S tests/package -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build "$work/cmake"
  check "$(cd "$work" && "$work/cmake/consumer")"
  export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
  # shellcheck disable=SC2046
  g++ -std=c++17 -Werror -Wall tests/package/consumer.cpp $(pkg-config --cflags --libs quorrick) \
      -Wl,-rpath,"$(pkg-config --variable=libdir quorrick)" -o "$work/consumer-pc"
  check "$(cd "$work" && "$work/consumer-pc")"
elif [ "$platform" = windows ] || [ "$platform" = windows64 ]; then
  if [ "$platform" = windows64 ]; then export QJ_WINDOWS_ARCH=x64; else export QJ_WINDOWS_ARCH=x86; fi
  source scripts/windows-arch.sh
  bash scripts/install-windows-deps.sh
  cmake --preset "$qj_preset" >/dev/null
  cmake --build --preset "$qj_preset" --target Quorrick
  cmake --install "build/$qj_preset" --prefix "$work/prefix" >/dev/null
  echo "-- installed:"; (cd "$work/prefix" && find . -type f | sort)
  # The cross toolchain searches packages only below the mingw-w64 root: the package's
  # folder is named instead.
  cmake -S tests/package -B "$work/cmake" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-${qj_triple%%-*}.cmake" \
        -DQuorrick_DIR="$work/prefix/lib/cmake/Quorrick" >/dev/null
  cmake --build "$work/cmake"
  export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$work/prefix/lib/pkgconfig"
  # Linked against the import library by -lQuorrick, so not with -static (which takes
  # static archives only): the thread library's DLL goes next to the program instead.
  mkdir -p "$work/pc"
  # shellcheck disable=SC2046
  "$qj_triple-g++-posix" -std=c++17 -Werror -Wall tests/package/consumer.cpp \
      $(pkg-config --cflags --libs quorrick) -static-libgcc -static-libstdc++ \
      -o "$work/pc/consumer.exe"
  cp "/usr/$qj_triple/lib/libwinpthread-1.dll" "$work/pc/"
  if ! "$QJ_WINE" --version >/dev/null 2>&1; then
    # Wine's 32-bit loader is a 32-bit Linux program: a kernel without 32-bit execution
    # cannot start it (scripts/test-windows-emulated.sh -- runs this script there). Both
    # consumers are built and linked; exit status 77: they could not be run.
    echo "package test ($platform): both consumers built and linked, NOT run: this machine cannot start the programs under Wine" >&2
    exit 77
  fi
  source scripts/wine-env.sh
  # Windows finds a program's DLLs in its own folder first, then on PATH.
  export WINEPATH="$("$QJ_WINE" winepath -w "$work/prefix/bin" | tr -d '\r')"
  check "$(cd "$work" && "$QJ_WINE" "$work/cmake/consumer.exe" | tr -d '\r')"
  check "$(cd "$work" && "$QJ_WINE" "$work/pc/consumer.exe" | tr -d '\r')"
else
  echo "usage: $0 linux|windows|windows64" >&2; exit 2
fi
echo "package test ($platform): CMake and pkg-config consumers built and ran"
