# The Debian packages, one per install component: tarnlink with its manual
# page, the bash completion, the documents and the USB examples; velk-emu with
# its manual page. They are two so that tarnlink does not pull in umockdev and
# GLib, which only the emulator links.
#   cpack -G DEB --config build/package/CPackConfig.cmake
# The Windows build makes its ZIP in release.cmake instead; each file returns
# early on the other's platform, so CPack is included once.
if(WIN32)
  return()
endif()

set(TARNLINK_MAINTAINER "The tarnlink authors <tarnlink@example.org>" CACHE STRING
    "The package's maintainer, as \"Name <address>\"")

# CMAKE_INSTALL_DOCDIR is tarnlink's, after the project.
set(_velk_emu_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/velk-emu)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/tarnlink
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tarnlink)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/device-protocol.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tarnlink)

# The USB IDs tarnlink reads from a fixed place, whatever the prefix; shipped as
# a commented example that configures none, and kept as a conffile.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/usb/usb-ids DESTINATION /etc/tarnlink
        COMPONENT tarnlink)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "/etc/tarnlink/usb-ids\n")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/usb/70-tarnlink.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT tarnlink)

# The licence goes where and as Debian reads it: the machine-readable copyright
# file, whose licence text has each line indented and each empty line a lone dot.
# Each package carries its own copy, and the changelog too.
string(STRIP "${TARNLINK_LICENSE_TERMS}" _terms)
string(REGEX REPLACE "\n\n" "\n.\n" _terms "${_terms}")
string(REPLACE "\n" "\n " TARNLINK_DEBIAN_LICENSE " ${_terms}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in debian/copyright @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT tarnlink)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright DESTINATION ${_velk_emu_docdir}
        COMPONENT velk-emu)

# A native package's changelog: one entry for this version, dated as the sources.
# It is the changelog of the one source, tarnlink, that both packages come from.
tarnlink_source_date(TARNLINK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in debian/changelog @ONLY)
tarnlink_install_gzipped(debian_changelog ${CMAKE_INSTALL_DOCDIR} tarnlink
                         ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
install(FILES ${debian_changelog_files} DESTINATION ${_velk_emu_docdir} COMPONENT velk-emu)

# What lintian reports of tarnlink that does not hold, each with its reason.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarnlink COMPONENT tarnlink)

# cpack strips the programs (CPACK_STRIP_FILES) but leaves the compiler's
# .comment section, which Debian's own packaging removes as well. cpack installs
# one component at a time, so each program is done in its own.
foreach(program tarnlink velk-emu)
  string(CONFIGURE [[
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND "@CMAKE_OBJCOPY@" --remove-section=.comment
                              "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@/$<TARGET_FILE_NAME:@program@>"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()
  ]] _remove_comments @ONLY)
  install(CODE "${_remove_comments}" COMPONENT ${program})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME tarnlink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${TARNLINK_COPYRIGHT_HOLDER}")
# Each package's description starts with its own summary line: a summary set
# here would stand before both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tarnlink velk-emu)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNLINK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# cpack names the build machine's architecture; a cross build's toolchain file
# names the target's.
if(TARNLINK_DEBIAN_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARNLINK_DEBIAN_ARCHITECTURE})
endif()
# dpkg-shlibdeps (from dpkg-dev) computes each package's dependencies from its
# own program; without it they are stated for Debian 12's toolchain.
find_program(TARNLINK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNLINK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_DEBIAN_TARNLINK_PACKAGE_NAME tarnlink)
set(CPACK_DEBIAN_TARNLINK_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_TARNLINK_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_TARNLINK_DESCRIPTION "${PROJECT_DESCRIPTION}
tarnlink sends a file, a firmware image or a typed string to a VELK measuring
instrument and stores or prints the instrument's answer. On Linux it reaches
instruments on the USB bus through libusb, and through a device service, such
as the emulator in the package velk-emu, with which tarnlink can be tried and
tested without hardware.")
if(NOT TARNLINK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_TARNLINK_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libusb-1.0-0 (>= 2:1.0.16)")
endif()

set(CPACK_DEBIAN_VELK-EMU_PACKAGE_NAME velk-emu)
# The emulator is for trying tarnlink, but serves any client of the protocol or of libusb.
set(CPACK_DEBIAN_VELK-EMU_PACKAGE_RECOMMENDS tarnlink)
# Both come from the one source, whose changelog each ships.
set(CPACK_DEBIAN_VELK-EMU_PACKAGE_SOURCE tarnlink)
set(CPACK_DEBIAN_VELK-EMU_DESCRIPTION "Emulated VELK instrument for trying and testing tarnlink without hardware
velk-emu emulates VELK measuring instruments: their answers, their faults, a
capture of what they receive and their rate. It serves them in a device
directory, where tarnlink finds them through its device service, and with
--usb on a USB bus that umockdev emulates, where tarnlink, or any libusb
program, finds them as real USB instruments.")
if(NOT TARNLINK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_VELK-EMU_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libglib2.0-0 (>= 2.35.8), libstdc++6 (>= 12), libumockdev0 (>= 0.16.0)")
endif()
include(CPack)
