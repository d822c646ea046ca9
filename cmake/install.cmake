# What `cmake --install` puts under the prefix: the program, both libraries, the header, the CMake
# package (find_package(quendal CONFIG) gives quendal::quendal, the shared library, and
# quendal::quendal_static), the pkg-config file, the manual page and the document schemas.
include(CMakePackageConfigHelpers)

set(quendal_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quendal)

install(TARGETS quendal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS quendal_shared EXPORT quendalTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS quendal_static EXPORT quendalStaticTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/quendal/quendal.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quendal)

# Two export sets: the static library's dependencies (threads, OpenSSL's libcrypto on POSIX)
# must be found by whoever links it, while the shared library needs nothing of the kind, so the
# package config loads the static set only when those are there.
install(EXPORT quendalTargets NAMESPACE quendal:: DESTINATION ${quendal_cmake_dir})
install(EXPORT quendalStaticTargets NAMESPACE quendal:: DESTINATION ${quendal_cmake_dir})
if(WIN32)
  set(quendal_static_needs_openssl FALSE)
else()
  set(quendal_static_needs_openssl TRUE)
endif()
configure_package_config_file(cmake/quendalConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/quendalConfig.cmake
                              INSTALL_DESTINATION ${quendal_cmake_dir})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quendalConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quendalConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/quendalConfigVersion.cmake
        DESTINATION ${quendal_cmake_dir})

# pkg-config finds the prefix from the file's own place, so one file serves every prefix the
# tree is installed to (cmake --install --prefix, the Debian package's /usr).
file(RELATIVE_PATH quendal_pc_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" quendal_pc_prefix "${quendal_pc_prefix}")
if(WIN32)
  set(quendal_pc_requires_private "")
  set(quendal_pc_libs_private "-lstdc++ -lbcrypt -pthread")
else()
  set(quendal_pc_requires_private "libcrypto")
  set(quendal_pc_libs_private "-lstdc++ -lm -pthread")
endif()
configure_file(cmake/quendal.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quendal.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quendal.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES doc/quendal.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(DIRECTORY schemas/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quendal
        FILES_MATCHING PATTERN "*.schema.json")
