# `cpack` in the build directory: a Debian package on Linux (cpack -G DEB), a zip on Windows
# (cpack -G ZIP), each holding what cmake/install.cmake installs.
set(CPACK_PACKAGE_NAME quendal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "quendal")
set(CPACK_PACKAGE_CONTACT "quendal maintainers <maintainers@users.noreply.c-seed-311f20d4.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of the description stay below 80 characters, as dpkg shows them.
set(CPACK_PACKAGE_DESCRIPTION
    "quendal reads an update manifest that lists every file of a game client
with its size, SHA-256 digest and download location, checks the installed
files (with a hash cache that makes rescans cheap) and writes a JSON scan
report with the repair actions. It never changes client files. The package
holds the program, its manual page and the document schemas, and the C
library with its header, CMake package and pkg-config file for launchers
that embed the scan.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quendal-${PROJECT_VERSION}-windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dependencies come from the binaries (dpkg-shlibdeps, from dpkg-dev); the shlibs file
  # and the ldconfig trigger from the shared library.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # dpkg runs ldconfig once after installing or removing packages through this trigger; cpack
  # still adds its own ldconfig calls to postinst and postrm, which do no harm.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libssl-dev, pkg-config")
endif()

include(CPack)
