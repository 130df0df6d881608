#!/usr/bin/env bash
# Runs the 32-bit Windows suite on a machine whose kernel cannot start 32-bit programs
# ("Exec format error", e.g. a virtual machine without 32-bit mode): Wine's 32-bit Linux
# processes then run under qemu-user's i386 emulation, registered with binfmt_misc. Needs
# root. CI (.ci/run) uses it on such machines for the 32-bit suite, the 32-bit package test
# and the demo comparison; where 32-bit programs start natively it sets nothing up.
#   bash scripts/test-windows-emulated.sh                  scripts/test-windows.sh (longer
#                                                          timeouts, see the end)
#   bash scripts/test-windows-emulated.sh -R Release       extra arguments go to ctest
#   bash scripts/test-windows-emulated.sh -- COMMAND...    any command, e.g.
#        -- bash scripts/compare-demo.sh   or   -- bash scripts/test-package.sh windows
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
bash scripts/install-windows-deps.sh

binfmt=/proc/sys/fs/binfmt_misc
# Set up where 32-bit programs do not start, or already start through qemu.
if [ -e "$binfmt/qemu-i386" ] || ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  # qemu-user before 8.1 takes MAP_FIXED_NOREPLACE for a hint and maps elsewhere; Wine then
  # keeps a range above its address limit that overlaps its shared user data page
  # (0x7ffe0000) and stops with "failed to map the shared user data". Bookworm's own qemu
  # is 7.2: the backports have a newer one.
  qemu_ok() {
    local v
    v=$(qemu-i386-static --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    [ -n "$v" ] && { set -- $v; [ "$1" -gt 8 ] || { [ "$1" -eq 8 ] && [ "$2" -ge 1 ]; }; }
  }
  if ! qemu_ok; then
    . /etc/os-release
    list=/etc/apt/sources.list.d/${VERSION_CODENAME}-backports.sources
    if [ "$VERSION_CODENAME" = bookworm ] && [ ! -e "$list" ]; then
      printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$VERSION_CODENAME" > "$list"
    fi
    apt-get update -qq
    apt-get install -y -qq -t "${VERSION_CODENAME}-backports" qemu-user-static \
      || apt-get install -y -qq qemu-user-static
    qemu_ok || { echo "test-windows-emulated.sh: needs qemu-user 8.1 or newer" >&2; exit 1; }
    # A registration with flag F holds the interpreter it was made with: make it anew.
    [ -e "$binfmt/qemu-i386" ] && echo -1 > "$binfmt/qemu-i386"
  fi
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    # 32-bit x86 ELF executables and shared objects, interpreter opened now (flag F).
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > "$binfmt/register"
  fi
  /usr/lib/wine/wineserver32 --version >/dev/null

  # The Wine server itself runs natively (wine64 brings the 64-bit one, which serves 32-bit
  # programs too): it is far faster than an emulated one, and reading another process's
  # memory (the module list, ReadProcessMemory) needs ptrace, which qemu-user lacks.
  # gcc-multilib builds the preload that gives Wine's fault handler the kernel's trap
  # numbers (see scripts/wine-qemu-fault.c); "$LIB" picks the build of the process's kind,
  # and the 64-bit one is empty.
  need=()
  for pkg in wine64 gcc-multilib; do dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg"); done
  [ ${#need[@]} -eq 0 ] || { apt-get update -qq; apt-get install -y -qq "${need[@]}"; }
  shim=$(pwd)/build/wine-qemu
  mkdir -p "$shim/lib/i386-linux-gnu" "$shim/lib/x86_64-linux-gnu"
  gcc -m32 -O2 -Wall -Werror -shared -fPIC scripts/wine-qemu-fault.c -ldl \
      -o "$shim/lib/i386-linux-gnu/wine-qemu-fault.so"
  gcc -shared -fPIC -x c /dev/null -o "$shim/lib/x86_64-linux-gnu/wine-qemu-fault.so"
  export LD_PRELOAD="$shim/\$LIB/wine-qemu-fault.so${LD_PRELOAD:+:$LD_PRELOAD}"
  # Tests that need what the emulation cannot give (1 GB of address space in one piece)
  # skip there, and only there, with the reason.
  export QJ_EMULATED=1
  # With wine64 present a new prefix would be a 64-bit one; keep it 32-bit, as where Wine
  # runs natively with wine32 alone.
  export WINEARCH=win32
fi

if [ "${1:-}" = -- ]; then
  shift
  exec "$@"
fi
# Emulated, each Wine process starts in seconds: the tests that start a host for each of
# hundreds of cases (the corruption matrix, fault injection) need more than the preset's
# 900 s. A later --timeout among the arguments wins.
exec bash scripts/test-windows.sh --timeout 3600 "$@"
