#!/usr/bin/env bash
# Puts the library beside the checking tools a Linux developer already has, on this
# machine: what each catches (bench/compare/misuse.cpp, one misuse per run) and what each
# costs per allocate+release pair (bench/alloc_bench.cpp, medians of repeated runs).
# Figures for docs/compare.md.
#   bash bench/compare_tools.sh [repetitions [catches|costs]]   (both parts by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-5}
part=${2:-both}
build=$root/build/linux-release
export DEBIAN_FRONTEND=noninteractive
need=()
for pkg in electric-fence heaptrack libc6-dev; do dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg"); done
[ ${#need[@]} -eq 0 ] || { apt-get update -qq; apt-get install -y -qq "${need[@]}"; }
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target Quorrick alloc_bench >/dev/null
work=$(mktemp -d /tmp/quorrick-compare.XXXXXX)
trap 'rm -rf "$work"' EXIT
glibc_debug=$(ls /usr/lib/x86_64-linux-gnu/libc_malloc_debug.so.0)
efence=$(ls /usr/lib/libefence.so.0 2>/dev/null || ls /usr/lib/x86_64-linux-gnu/libefence.so.0)

flags=(-std=c++17 -O1 -g -w -fno-omit-frame-pointer -I"$root/include")
g++ "${flags[@]}" "$root/bench/compare/misuse.cpp" -L"$build" -lQuorrick -Wl,-rpath,"$build" -o "$work/misuse"
g++ "${flags[@]}" -fsanitize=address -DQJ_COMPARE_NO_LIBRARY "$root/bench/compare/misuse.cpp" -o "$work/misuse-asan"
g++ -std=c++17 -O2 -g -fsanitize=address -I"$root/include" "$root/bench/alloc_bench.cpp" -L"$build" \
    -lQuorrick -Wl,-rpath,"$build" -lbenchmark -lpthread -o "$work/alloc_bench-asan"

# --- What each catches ---------------------------------------------------------------
cases=(overflow-write underflow-write overflow-read double-free use-after-free-write
       use-after-free-read free-interior free-foreign leak)
tools=("glibc" "glibc checks" "electric-fence" "ASan" "heaptrack" "Quorrick" "Quorrick page guard")

# Runs one case under one tool in a folder of its own; prints "yes" when the tool caught it.
catches() {
  local tool=$1 c=$2 dir out status=0
  dir=$(mktemp -d "$work/run.XXXXXX")
  # Defaults; call stacks and the leak report for the leak; page-guard mode without the tail
  # guard, so that the first byte past the user area is on the inaccessible page.
  : > "$dir/MemorySettings.dat"
  [ "$c" = leak ] && printf 'use_callstack 1\nleakreport leaks.txt\n' > "$dir/MemorySettings.dat"
  [ "$tool" = "Quorrick page guard" ] && printf 'use_valloc 1\ntailguards 0\n' >> "$dir/MemorySettings.dat"
  case "$tool" in
    glibc) (cd "$dir" && timeout 20 "$work/misuse" libc "$c") >"$dir/out" 2>&1 || status=$? ;;
    "glibc checks") (cd "$dir" && LD_PRELOAD=$glibc_debug MALLOC_CHECK_=3 MALLOC_PERTURB_=165 \
                      timeout 20 "$work/misuse" libc "$c") >"$dir/out" 2>&1 || status=$? ;;
    electric-fence) (cd "$dir" && LD_PRELOAD=$efence EF_PROTECT_FREE=1 \
                      timeout 20 "$work/misuse" libc "$c") >"$dir/out" 2>&1 || status=$? ;;
    ASan) (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 timeout 20 "$work/misuse-asan" libc "$c") \
            >"$dir/out" 2>&1 || status=$? ;;
    heaptrack) (cd "$dir" && timeout 60 heaptrack -o "$dir/ht" "$work/misuse" libc "$c") \
                 >"$dir/out" 2>&1 || status=$? ;;
    Quorrick*) (cd "$dir" && timeout 20 "$work/misuse" qj "$c") >"$dir/out" 2>&1 || status=$? ;;
  esac
  out=$(cat "$dir/out")
  if [ "$c" = leak ]; then
    case "$tool" in
      ASan) grep -q "LeakSanitizer" <<<"$out" && echo yes || echo no ;;
      heaptrack) heaptrack_print --print-leaks 1 "$dir"/ht*.zst 2>/dev/null |
                   grep -A2 "^24B leaked over 1 calls" | grep -q "misuse.cpp" && echo yes || echo no ;;
      Quorrick*) grep -q "currentNumAllocs=1 " "$dir/leaks.txt" 2>/dev/null && echo yes || echo no ;;
      *) echo no ;;
    esac
  elif [ "$tool" = heaptrack ]; then
    # heaptrack checks nothing itself: whatever stops the program there is glibc's own check.
    echo "-"
  elif [ "$status" -ne 0 ] && ! grep -q "misuse: ran to the end" <<<"$out"; then
    echo yes
  else
    echo no
  fi
}

if [ "$part" != costs ]; then
echo "### What each catches (yes: reported or stopped at the misuse; no: ran to the end unreported)"
echo
printf '| misuse |'; for t in "${tools[@]}"; do printf ' %s |' "$t"; done; echo
printf '|---|'; for _ in "${tools[@]}"; do printf -- '---|'; done; echo
for c in "${cases[@]}"; do
  printf '| %s |' "$c"
  for t in "${tools[@]}"; do printf ' %s |' "$(catches "$t" "$c")"; done
  echo
done

fi
[ "$part" = catches ] && exit 0

# --- What each costs -----------------------------------------------------------------
# Median ns per release+allocate pair with a working set of 1024 blocks of random sizes up
# to 76 and up to 4000 bytes, one thread.
median() { # run_name json
  python3 - "$@" <<'PY'
import json, sys
name, path = sys.argv[1], sys.argv[2]
for b in json.load(open(path))["benchmarks"]:
    if b.get("aggregate_name") == "median" and b["run_name"] == name:
        print(f"{b['cpu_time']:.1f}")
PY
}
bench() { # label, settings, env..., -- program filter
  local label=$1 settings=$2; shift 2
  local dir; dir=$(mktemp -d "$work/bench.XXXXXX")
  printf '%s\n' "$settings" > "$dir/MemorySettings.dat"
  # The results go to a file of their own: heaptrack writes to standard output too.
  (cd "$dir" && env "$@" --benchmark_repetitions="$reps" --benchmark_min_time=0.2 \
     --benchmark_report_aggregates_only=true --benchmark_out=result.json \
     --benchmark_out_format=json >/dev/null 2>&1)
  echo "$dir/result.json"
}
echo
echo "### What each costs (median ns per release+allocate pair, one thread, $reps runs)"
echo
echo "| tool | blocks up to 76 bytes | ratio | blocks up to 4000 bytes | ratio |"
echo "|---|---|---|---|---|"
plain=$(bench plain "" "$build/bench/alloc_bench" --benchmark_filter='^(Malloc|Qj)Pair/(76|4000)$')
b76=$(median MallocPair/76 "$plain"); b4k=$(median MallocPair/4000 "$plain")
row() { python3 -c "import sys; a,b,c,d=map(float,sys.argv[2:]); print(f'| {sys.argv[1]} | {a:.1f} | {a/c:.1f} | {b:.1f} | {b/d:.1f} |')" "$@"; }
row "glibc malloc/free (no checks)" "$b76" "$b4k" "$b76" "$b4k"
r=$(bench checks "" LD_PRELOAD="$glibc_debug" MALLOC_CHECK_=3 MALLOC_PERTURB_=165 "$build/bench/alloc_bench" --benchmark_filter='^MallocPair/(76|4000)$')
row "glibc MALLOC_CHECK_=3 MALLOC_PERTURB_" "$(median MallocPair/76 "$r")" "$(median MallocPair/4000 "$r")" "$b76" "$b4k"
r=$(bench efence "" LD_PRELOAD="$efence" EF_PROTECT_FREE=0 "$build/bench/alloc_bench" --benchmark_filter='^MallocPair/(76|4000)$')
row "electric-fence (freed pages reused)" "$(median MallocPair/76 "$r")" "$(median MallocPair/4000 "$r")" "$b76" "$b4k"
r=$(bench asan "" ASAN_OPTIONS=detect_leaks=0 "$work/alloc_bench-asan" --benchmark_filter='^MallocPair/(76|4000)$')
row "AddressSanitizer" "$(median MallocPair/76 "$r")" "$(median MallocPair/4000 "$r")" "$b76" "$b4k"
r=$(bench heaptrack "" heaptrack -o "$work/ht" "$build/bench/alloc_bench" --benchmark_filter='^MallocPair/(76|4000)$')
row "heaptrack" "$(median MallocPair/76 "$r")" "$(median MallocPair/4000 "$r")" "$b76" "$b4k"
row "Quorrick, defaults (main thread: pools)" "$(median QjPair/76 "$plain")" "$(median QjPair/4000 "$plain")" "$b76" "$b4k"
r=$(bench qjheap "use_pools 0" "$build/bench/alloc_bench" --benchmark_filter='^QjPair/(76|4000)$')
row "Quorrick, use_pools 0 (heap path)" "$(median QjPair/76 "$r")" "$(median QjPair/4000 "$r")" "$b76" "$b4k"
r=$(bench qjcs "use_callstack 1" "$build/bench/alloc_bench" --benchmark_filter='^QjPair/(76|4000)$')
row "Quorrick, use_callstack 1" "$(median QjPair/76 "$r")" "$(median QjPair/4000 "$r")" "$b76" "$b4k"
# Page-guard mode (use_valloc 1) has no row: its blocks keep their pages after release, so a
# loop of pairs ends when the process runs out of mappings (about 32700 blocks).
