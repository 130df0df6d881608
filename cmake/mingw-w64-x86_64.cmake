# Cross build for 64-bit Windows (x86-64) with mingw-w64 in its POSIX thread model, the
# same as cmake/mingw-w64-i686.cmake for 32 bits. Programs built here run under Wine's
# 64-bit loader (wine64), which CTest uses as the emulator.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QJ_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# The 64-bit loader itself: Debian's `wine` starts the 32-bit one whenever wine32 is
# installed, and that one hands a 64-bit program on only where 32-bit programs start.
find_program(QJ_WINE NAMES wine64 HINTS /usr/lib/wine /usr/lib/wine64)
if(NOT QJ_WINE)
  find_program(QJ_WINE NAMES wine wine-stable)
endif()
if(QJ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QJ_WINE})
endif()
