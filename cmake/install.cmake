# `cmake --install <build> --prefix <prefix>` lays out:
#   include/Quorrick.h
#   lib/libQuorrick.so                        (Linux)
#   bin/Quorrick.dll, lib/libQuorrick.dll.a   (Windows: the DLL and its import library;
#   lib/Quorrick.lib                           the platform linker's, cmake/windows-exports-targets.cmake)
#   lib/cmake/Quorrick/QuorrickConfig.cmake, QuorrickConfigVersion.cmake, QuorrickTargets*.cmake
#   lib/pkgconfig/quorrick.pc
# A host's CMakeLists.txt then says find_package(Quorrick CONFIG REQUIRED) and links
# Quorrick::Quorrick; pkg-config users ask for `quorrick`. Both are relocatable: the
# prefix is found from where the files are, not where the build meant to put them.
include(CMakePackageConfigHelpers)

set(QJ_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorrick)

install(TARGETS Quorrick EXPORT QuorrickTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/Quorrick.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT QuorrickTargets NAMESPACE Quorrick:: DESTINATION ${QJ_CONFIG_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorrickConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/package/QuorrickConfig.cmake
                              INSTALL_DESTINATION ${QJ_CONFIG_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/QuorrickConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/QuorrickConfig.cmake
              ${PROJECT_BINARY_DIR}/package/QuorrickConfigVersion.cmake
        DESTINATION ${QJ_CONFIG_DIR})

# pkg-config: the prefix relative to the .pc file's own folder.
file(RELATIVE_PATH QJ_PC_PREFIX_FROM_PCFILEDIR "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" QJ_PC_PREFIX_FROM_PCFILEDIR "${QJ_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorrick.pc.in ${PROJECT_BINARY_DIR}/package/quorrick.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/quorrick.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
