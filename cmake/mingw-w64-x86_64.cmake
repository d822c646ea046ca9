# Cross-compiles quendal for 64-bit Windows with mingw-w64 on a Debian host:
#   cmake -G Ninja -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The -posix compilers are the ones with std::thread (the win32-threads variant has none).
# Everything is linked statically, so the exe needs no mingw runtime DLL beside it, and tests
# run through scripts/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(quendal_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${quendal_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${quendal_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${quendal_mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${quendal_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A dynamic build needs libwinpthread-1.dll and the gcc runtime DLLs at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)

# Only header-only parts of Boost are used, so the host's headers serve the cross build. Adding
# /usr/include itself to the include path would let the host's C library headers shadow
# mingw's, so a folder that holds nothing but a link to boost/ stands in for it.
get_property(quendal_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT quendal_in_try_compile AND NOT DEFINED Boost_INCLUDE_DIR
   AND EXISTS /usr/include/boost/version.hpp)
  set(quendal_host_boost ${CMAKE_BINARY_DIR}/host-boost)
  file(MAKE_DIRECTORY ${quendal_host_boost})
  if(NOT EXISTS ${quendal_host_boost}/boost)
    file(CREATE_LINK /usr/include/boost ${quendal_host_boost}/boost SYMBOLIC)
  endif()
  set(Boost_INCLUDE_DIR ${quendal_host_boost} CACHE PATH "Boost headers for the cross build")
endif()
