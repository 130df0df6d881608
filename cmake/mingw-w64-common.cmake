# The part of the mingw-w64 cross builds that both processors share: the POSIX thread model's
# compilers of QJ_MINGW_TRIPLE and a search root that finds the target's libraries and
# headers only. Included by cmake/mingw-w64-i686.cmake and cmake/mingw-w64-x86_64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QJ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QJ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QJ_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QJ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
