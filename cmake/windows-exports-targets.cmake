# Windows: the DLL's second set of export names and the import library for hosts built
# with the platform's own compiler (see cmake/windows-exports.cmake). Included from the
# top-level CMakeLists.txt after the Quorrick target. Needs clang and the LLVM tools
# (scripts/install-windows-deps.sh installs them).
find_program(QJ_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(QJ_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
find_program(QJ_READOBJ NAMES llvm-readobj llvm-readobj-14 REQUIRED)

set(QJ_EXPORTS_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/windows-exports.cmake)
set(QJ_FREESTANDING_INCLUDE ${PROJECT_SOURCE_DIR}/cmake/freestanding)
set(QJ_EXPORTS_DEF ${CMAKE_BINARY_DIR}/Quorrick-exports.def)
set(QJ_IMPORT_DEF ${CMAKE_BINARY_DIR}/Quorrick-import.def)
set(QJ_IMPORT_LIB ${CMAKE_BINARY_DIR}/Quorrick.lib)
# The processor's names: x86 for the 32-bit DLL, x64 for the 64-bit one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QJ_WINDOWS_ARCH x64)
  set(QJ_DECORATED_TARGET x86_64-pc-windows-msvc)
  set(QJ_DLLTOOL_MACHINE i386:x86-64)
else()
  set(QJ_WINDOWS_ARCH x86)
  set(QJ_DECORATED_TARGET i686-pc-windows-msvc)
  set(QJ_DLLTOOL_MACHINE i386)
endif()
set(QJ_EXPORTS_ARGS -DCLANGXX=${QJ_CLANGXX} -DHEADER=${PROJECT_SOURCE_DIR}/include/Quorrick.h
                    -DSTUBS=${QJ_FREESTANDING_INCLUDE} -DARCH=${QJ_WINDOWS_ARCH})

add_custom_command(
  OUTPUT ${QJ_EXPORTS_DEF} ${QJ_IMPORT_DEF}
  COMMAND ${CMAKE_COMMAND} ${QJ_EXPORTS_ARGS} -DOUT_DIR=${CMAKE_BINARY_DIR} -P ${QJ_EXPORTS_SCRIPT}
  DEPENDS ${PROJECT_SOURCE_DIR}/include/Quorrick.h ${QJ_EXPORTS_SCRIPT}
          ${QJ_FREESTANDING_INCLUDE}/cstdint
  COMMENT "Export names of include/Quorrick.h for both compilers"
  VERBATIM)
# The aliases go to the mingw-w64 linker as the DLL's module-definition file. Every link
# then checks that the export table holds exactly both names of every function.
target_sources(Quorrick PRIVATE ${QJ_EXPORTS_DEF})
add_custom_command(
  TARGET Quorrick POST_BUILD
  COMMAND ${CMAKE_COMMAND} ${QJ_EXPORTS_ARGS} -DCHECK_DLL=$<TARGET_FILE:Quorrick>
          -DREADOBJ=${QJ_READOBJ} -P ${QJ_EXPORTS_SCRIPT}
  VERBATIM)

add_custom_command(
  OUTPUT ${QJ_IMPORT_LIB}
  COMMAND ${QJ_DLLTOOL} -m ${QJ_DLLTOOL_MACHINE} -d ${QJ_IMPORT_DEF} -l ${QJ_IMPORT_LIB}
  DEPENDS ${QJ_IMPORT_DEF}
  COMMENT "Import library Quorrick.lib for the platform compiler's linker"
  VERBATIM)
add_custom_target(quorrick_import_lib DEPENDS ${QJ_IMPORT_LIB})
# Built with the DLL, so that every build and install of the DLL has it.
add_dependencies(Quorrick quorrick_import_lib)
# The install tree: lib/Quorrick.lib next to lib/libQuorrick.dll.a.
install(FILES ${QJ_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
