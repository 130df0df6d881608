# Windows: the host built as a program of the platform's own compiler would be (clang in
# that compiler's mode, lld-link, Quorrick.lib; no C runtime). Included from
# tests/CMakeLists.txt; the variables come from cmake/windows-exports-targets.cmake.
find_program(QJ_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
# mingw-w64's import library of kernel32: lld-link reads it as well.
find_library(QJ_KERNEL32_IMPORTS NAMES kernel32 REQUIRED)

set(QJ_DECORATED_HOST_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/support/decorated_host.cpp)
set(QJ_DECORATED_HOST_OBJECT ${CMAKE_CURRENT_BINARY_DIR}/decorated_host.obj)
set(QJ_DECORATED_HOST ${CMAKE_BINARY_DIR}/decorated_host.exe)
add_custom_command(
  OUTPUT ${QJ_DECORATED_HOST_OBJECT}
  COMMAND ${QJ_CLANGXX} --target=${QJ_DECORATED_TARGET} -std=c++17 -O2 -ffreestanding
          -fno-exceptions -fno-rtti -fno-omit-frame-pointer -nostdinc++
          -isystem ${QJ_FREESTANDING_INCLUDE} -I ${PROJECT_SOURCE_DIR}/include
          -Wall -Wextra -Werror -c ${QJ_DECORATED_HOST_SOURCE} -o ${QJ_DECORATED_HOST_OBJECT}
  DEPENDS ${QJ_DECORATED_HOST_SOURCE} ${PROJECT_SOURCE_DIR}/include/Quorrick.h
          ${QJ_FREESTANDING_INCLUDE}/cstdint
  COMMENT "Compiling the decorated-name host (clang, platform compiler's mode)"
  VERBATIM)
# /safeseh is a 32-bit linker option: x86-64 code has its unwind tables instead.
set(QJ_DECORATED_HOST_LINK_OPTIONS)
if(QJ_WINDOWS_ARCH STREQUAL "x86")
  set(QJ_DECORATED_HOST_LINK_OPTIONS /safeseh:no)
endif()
add_custom_command(
  OUTPUT ${QJ_DECORATED_HOST}
  COMMAND ${QJ_LLD_LINK} /nologo /entry:hostEntry /subsystem:console /nodefaultlib
          ${QJ_DECORATED_HOST_LINK_OPTIONS} /out:${QJ_DECORATED_HOST} ${QJ_DECORATED_HOST_OBJECT} ${QJ_IMPORT_LIB}
          ${QJ_KERNEL32_IMPORTS}
  # The host calls every function of the header through its decorated name.
  COMMAND ${CMAKE_COMMAND} ${QJ_EXPORTS_ARGS} -DCHECK_HOST=${QJ_DECORATED_HOST}
          -DREADOBJ=${QJ_READOBJ} -P ${QJ_EXPORTS_SCRIPT}
  DEPENDS ${QJ_DECORATED_HOST_OBJECT} ${QJ_IMPORT_LIB} ${QJ_EXPORTS_SCRIPT}
  COMMENT "Linking decorated_host.exe against Quorrick.lib (lld-link)"
  VERBATIM)
add_custom_target(decorated_host ALL DEPENDS ${QJ_DECORATED_HOST})
add_dependencies(decorated_host quorrick_import_lib)
add_dependencies(host_tests decorated_host)

