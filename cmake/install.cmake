# What `cmake --install` puts under the prefix: the program, both libraries, the header, the CMake
# package (find_package(quendal CONFIG) gives quendal::quendal, the shared library, and
# quendal::quendal_static), the pkg-config file, the manual page and the document schemas, and
# on POSIX systems the copyright file and the changelog.
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

# On POSIX systems the manual page goes compressed, as man and the Debian policy expect, beside
# the copyright file, the changelog (gzip -9n: no name or time in it, so every build is the same)
# and the reasons for the lintian tags the package overrides. Windows has no man; the zip keeps
# the page as it is.
if(WIN32)
  install(FILES doc/quendal.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  find_program(QUENDAL_GZIP gzip REQUIRED)
  set(quendal_gzipped ${CMAKE_CURRENT_BINARY_DIR}/gzipped)
  set(quendal_gzip_outputs)
  foreach(source doc/quendal.1 packaging/debian/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${quendal_gzipped}/${name}.gz
                       COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${source}
                               ${quendal_gzipped}/${name}
                       COMMAND ${QUENDAL_GZIP} -9nf ${quendal_gzipped}/${name}
                       DEPENDS ${source} VERBATIM)
    list(APPEND quendal_gzip_outputs ${quendal_gzipped}/${name}.gz)
  endforeach()
  add_custom_target(quendal_gzipped_docs ALL DEPENDS ${quendal_gzip_outputs})
  install(FILES ${quendal_gzipped}/quendal.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/debian/copyright ${quendal_gzipped}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME quendal)
endif()
install(DIRECTORY schemas/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quendal
        FILES_MATCHING PATTERN "*.schema.json")
