# What an install of the reader library adds for programs built against it: the CMake package
# (find_package(Zr8Reader) -> Zr8Reader::Zr8Reader), the pkg-config file, and the Debian package
# that `cpack -G DEB` makes of the whole install (the client, the library, its helper, the header).
include(CMakePackageConfigHelpers)

set(ZR8_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zr8Reader)
install(EXPORT Zr8ReaderTargets NAMESPACE Zr8Reader:: FILE Zr8ReaderTargets.cmake
        DESTINATION ${ZR8_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/Zr8ReaderConfig.cmake.in
  ${CMAKE_BINARY_DIR}/Zr8ReaderConfig.cmake INSTALL_DESTINATION ${ZR8_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/Zr8ReaderConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/Zr8ReaderConfig.cmake
              ${CMAKE_BINARY_DIR}/Zr8ReaderConfigVersion.cmake
        DESTINATION ${ZR8_CMAKE_PACKAGE_DIR})

# The pkg-config file names the prefix of the install being made (`--prefix`, or /usr when CPack
# packs it), so it is written at install time.
install(CODE "
  set(ZR8_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(ZR8_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(ZR8_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(ZR8_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/zr8reader.pc.in\"
                 \"${CMAKE_BINARY_DIR}/zr8reader.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/zr8reader.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package: its dependencies (FFmpeg's libraries, the OpenCL loader, the C++ runtime)
# are read from the binaries by dpkg-shlibdeps (dpkg-dev); a shlibs file and ldconfig triggers
# come with the library.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zr8reader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Zr8Reader maintainers <zr8reader@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Media-file reader library on FFmpeg, with its console test client")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS ffmpeg)
include(CPack)
