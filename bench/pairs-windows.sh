#!/usr/bin/env bash
# The allocation-pair figures of the Windows DLL under Wine: for every settings variant of
# bench/pairs.sh, the wall time of a pair as a ratio to the runtime's malloc+free (msvcrt,
# over Wine's heap) in the same process, and the times of one thread alone and of two at
# once with their ratio (the contention factor), medians of rounds. callgrind cannot run a Windows program, so
# there are no instruction counts here.
#
#   bash bench/pairs-windows.sh [build-dir] [other Quorrick.dll]
# build-dir defaults to build/mingw32-release (cmake --build --preset mingw32-release); the
# x86-64 build is build/mingw64-release, whose programs run natively under wine64. The
# DLL's processor picks the compiler of the harness and the Wine loader.
# With a second DLL (another build of the same interface, e.g. an older commit's), each
# run times both, alternating, and the table gets a line for each: the two are timed under
# the same conditions.
# QJ_BENCH_ROUNDS (default 5) sets the timed rounds of each run; QJ_BENCH_RUNS (default 3)
# how often each variant is run, the table giving the median of the runs.
# Where the kernel cannot start 32-bit programs, run it through the emulated Wine:
#   bash scripts/test-windows-emulated.sh -- bash bench/pairs-windows.sh
# Emulated figures are not the native ones: qemu translates every instruction, so they
# follow instruction counts more than caches and branches do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/mingw32-release}
build=$(cd "$build" && pwd)
other=${2:-}
rounds=${QJ_BENCH_ROUNDS:-5}
runs=${QJ_BENCH_RUNS:-3}
[ -f "$build/Quorrick.dll" ] && [ -f "$build/libQuorrick.dll.a" ] ||
  { echo "build the DLL first (cmake --preset mingw32-release && cmake --build --preset mingw32-release)"; exit 1; }
[ -z "$other" ] || [ -f "$other" ] || { echo "no DLL at $other"; exit 1; }
case "$(file -b "$build/Quorrick.dll")" in
  "PE32+ executable"*x86-64*) export QJ_WINDOWS_ARCH=x64 ;;
  *) export QJ_WINDOWS_ARCH=x86 ;;
esac
source "$root/scripts/windows-arch.sh"
command -v "$QJ_WINE" >/dev/null || { echo "Wine is needed (bash scripts/install-windows-deps.sh)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One program, linked statically but for the DLL, runs against each DLL in its own
# directory; the library reads MemorySettings.dat from there.
"$qj_triple-g++-posix" -O2 -std=c++17 -static -I "$root/include" \
  "$root/bench/pair_bench.cpp" "$build/libQuorrick.dll.a" -o "$work/pair_bench.exe"
dlls=(this)
mkdir -p "$work/this" && cp "$build/Quorrick.dll" "$work/pair_bench.exe" "$work/this/"
if [ -n "$other" ]; then
  dlls+=(other)
  mkdir -p "$work/other" && cp "$other" "$work/other/Quorrick.dll" && cp "$work/pair_bench.exe" "$work/other/"
fi
source "$root/scripts/wine-env.sh"
# wine-env.sh may have taken the exit trap for its scratch prefix: clean up both.
trap 'rm -rf "$work"; if declare -F qj_wine_stop >/dev/null; then qj_wine_stop; fi' EXIT

variants=(
  "defaults (pool path)|"
  "use_memoryDll 0 (pass-through)|use_memoryDll 0"
  "use_pools 0 (heap path)|use_pools 0"
  "use_traceIdentifiers 1|use_traceIdentifiers 1"
  "use_histogram 1|use_histogram 1"
  "use_callstack 1 (16 frames)|use_callstack 1"
  "everything on|use_callstack 1\nuse_histogram 1\nuse_traceIdentifiers 1\nuse_memoryUsedTag 1\npatterns 1\ntailguards 1\ntailguard_length 4\nuse_qj7_tags 1"
)

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# pair_bench's figures, one per line: the wall ratio; or the one-thread and two-thread
# times per pair and the contention factor.
measure() {
  local who=$1 mode=$2
  (cd "$work/$who" && "$QJ_WINE" pair_bench.exe "$mode" 100000 "$rounds" 2>/dev/null | tr -d '\r' |
    awk -v mode="$mode" '{ if (mode == "wall") print $NF; else print $3, $7, $NF }')
}

# Under Wine the threads other than the loading one take the heap path (the pools serve the
# loading thread only) and so msvcrt's heap, whose lock two threads share: the two-thread
# time per pair is printed beside the factor, and the pass-through row shows that heap alone.
printf '%-40s %11s %13s %13s %11s\n' "settings" "wall ratio" "1 thread ns" "2 threads ns" "contention"
for v in "${variants[@]}"; do
  IFS='|' read -r name settings <<< "$v"
  for who in "${dlls[@]}"; do
    printf "$settings\n" > "$work/$who/MemorySettings.dat"
    : > "$work/$who.wall" && : > "$work/$who.cont"
  done
  for _ in $(seq "$runs"); do
    for who in "${dlls[@]}"; do
      measure "$who" wall >> "$work/$who.wall"
      measure "$who" contention >> "$work/$who.cont"
    done
  done
  for who in "${dlls[@]}"; do
    label=$name
    [ "$who" = this ] || label="  (other DLL)"
    printf '%-40s %10sx %13s %13s %11s\n' "$label" "$(median < "$work/$who.wall")" \
      "$(cut -d' ' -f1 "$work/$who.cont" | median)" "$(cut -d' ' -f2 "$work/$who.cont" | median)" \
      "$(cut -d' ' -f3 "$work/$who.cont" | median)"
  done
done
