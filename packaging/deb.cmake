# The Debian package: tarnlink and velk-emu with their manual pages, the bash
# completion and the documents.
#   cpack -G DEB --config build/package/CPackConfig.cmake
# The Windows build makes its ZIP in release.cmake instead; each file returns
# early on the other's platform, so CPack is included once.
if(WIN32)
  return()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/tarnlink
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/docs/device-protocol.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian looks for the licence terms under this name.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME tarnlink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tarnlink developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The tarnlink developers")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
# The summary above is the first line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tarnlink sends a file, a firmware image or a typed string to a VELK measuring
instrument and stores or prints the instrument's answer. On Linux it reaches
instruments through a device service; velk-emu, included, is one that emulates
instruments, so that tarnlink can be tried and tested without hardware.")
# dpkg-shlibdeps (from dpkg-dev) computes the dependencies from the binaries;
# without it they are stated for Debian 12's toolchain.
find_program(TARNLINK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNLINK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()
include(CPack)
