# The Debian package: tarnlink and velk-emu with their manual pages, the bash
# completion, the documents and the USB examples.
#   cpack -G DEB --config build/package/CPackConfig.cmake
# The Windows build makes its ZIP in release.cmake instead; each file returns
# early on the other's platform, so CPack is included once.
if(WIN32)
  return()
endif()

set(TARNLINK_MAINTAINER "The tarnlink authors <tarnlink@example.org>" CACHE STRING
    "The package's maintainer, as \"Name <address>\"")

install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/tarnlink
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/device-protocol.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The USB IDs tarnlink reads from a fixed place, whatever the prefix; shipped as
# a commented example that configures none, and kept as a conffile.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/usb/usb-ids DESTINATION /etc/tarnlink)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "/etc/tarnlink/usb-ids\n")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/usb/70-tarnlink.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The licence goes where and as Debian reads it: the machine-readable copyright
# file, whose licence text has each line indented and each empty line a lone dot.
string(STRIP "${TARNLINK_LICENSE_TERMS}" _terms)
string(REGEX REPLACE "\n\n" "\n.\n" _terms "${_terms}")
string(REPLACE "\n" "\n " TARNLINK_DEBIAN_LICENSE " ${_terms}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in debian/copyright @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# A native package's changelog: one entry for this version, dated as the sources.
tarnlink_source_date(TARNLINK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in debian/changelog @ONLY)
tarnlink_install_gzipped(debian_changelog ${CMAKE_INSTALL_DOCDIR}
                         ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)

# What lintian reports of tarnlink that does not hold, each with its reason.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarnlink)

# cpack strips the programs (CPACK_STRIP_FILES) but leaves the compiler's
# .comment section, which Debian's own packaging removes as well.
string(CONFIGURE [[
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program "$<TARGET_FILE_NAME:tarnlink>" "$<TARGET_FILE_NAME:velk-emu>")
      execute_process(COMMAND "@CMAKE_OBJCOPY@" --remove-section=.comment
                              "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@/${program}"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()
]] _remove_comments @ONLY)
install(CODE "${_remove_comments}")

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME tarnlink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${TARNLINK_COPYRIGHT_HOLDER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNLINK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary above is the first line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tarnlink sends a file, a firmware image or a typed string to a VELK measuring
instrument and stores or prints the instrument's answer. On Linux it reaches
instruments on the USB bus through libusb, and through a device service;
velk-emu, included, is one that emulates instruments, so that tarnlink can be
tried and tested without hardware.")
# dpkg-shlibdeps (from dpkg-dev) computes the dependencies from the binaries;
# without it they are stated for Debian 12's toolchain.
find_program(TARNLINK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNLINK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libusb-1.0-0 (>= 2:1.0.16)")
endif()
include(CPack)
