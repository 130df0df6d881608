# Cross build for 32-bit Windows with mingw-w64 in its POSIX thread model (the win32
# thread model has no std::thread or std::mutex, which the tests need). Programs built
# here run under Wine, which CTest uses as the emulator.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QJ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

find_program(QJ_WINE NAMES wine wine32 wine-stable)
if(QJ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QJ_WINE})
endif()
