# The Windows version resources of quendal.exe and quendal.dll, and the exe's application
# manifest (long paths, the UTF-8 code page), made from packaging/windows/ with this version.
set(quendal_rc_version "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")

set(quendal_manifest_version "${PROJECT_VERSION}.0")
configure_file(packaging/windows/quendal.exe.manifest.in
               ${CMAKE_CURRENT_BINARY_DIR}/quendal.exe.manifest @ONLY)

set(quendal_rc_file_type VFT_APP)
set(quendal_rc_file_name quendal.exe)
set(quendal_rc_description "quendal: checks a game client against an update manifest")
set(quendal_rc_manifest
    "1 24 \"${CMAKE_CURRENT_BINARY_DIR}/quendal.exe.manifest\"")
configure_file(packaging/windows/quendal.rc.in ${CMAKE_CURRENT_BINARY_DIR}/quendal_exe.rc @ONLY)

set(quendal_rc_file_type VFT_DLL)
set(quendal_rc_file_name quendal.dll)
set(quendal_rc_description "quendal library: checks a game client against an update manifest")
set(quendal_rc_manifest "")
configure_file(packaging/windows/quendal.rc.in ${CMAKE_CURRENT_BINARY_DIR}/quendal_dll.rc @ONLY)
