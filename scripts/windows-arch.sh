# Sourced by the Windows scripts: the names that go with the DLL's processor, chosen by
# QJ_WINDOWS_ARCH (x86, the default: 32-bit Windows; or x64: x86-64 Windows).
#   qj_preset     the CMake preset (configure, build and test) and build/<preset>
#   qj_triple     the mingw-w64 compilers' prefix
#   qj_dll_kind   what `file -b` says of the DLL (a shell pattern)
#   QJ_WINE       the Wine loader that starts the build's programs (exported)
# A 64-bit program runs natively under Wine's 64-bit loader; Debian's `wine` starts the
# 32-bit loader whenever wine32 is installed, which a kernel without 32-bit support refuses.
case "${QJ_WINDOWS_ARCH:-x86}" in
  x86)
    qj_preset=mingw32-release
    qj_triple=i686-w64-mingw32
    qj_dll_kind='PE32 executable (DLL)*Intel 80386*'
    export QJ_WINE="${QJ_WINE:-wine}"
    ;;
  x64)
    qj_preset=mingw64-release
    qj_triple=x86_64-w64-mingw32
    qj_dll_kind='PE32+ executable (DLL)*x86-64*'
    if [ -z "${QJ_WINE:-}" ]; then
      if [ -x /usr/lib/wine/wine64 ]; then QJ_WINE=/usr/lib/wine/wine64; else QJ_WINE=$(command -v wine64 || echo wine); fi
    fi
    export QJ_WINE
    ;;
  *)
    echo "QJ_WINDOWS_ARCH is x86 or x64, not '${QJ_WINDOWS_ARCH}'" >&2
    exit 2
    ;;
esac
