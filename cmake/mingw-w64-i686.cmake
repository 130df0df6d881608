# Cross build for 32-bit Windows with mingw-w64 in its POSIX thread model (the win32
# thread model has no std::thread or std::mutex, which the tests need). Programs built
# here run under Wine, which CTest uses as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(QJ_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QJ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QJ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QJ_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QJ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QJ_WINE NAMES wine wine32 wine-stable)
if(QJ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QJ_WINE})
endif()
