# The Windows release archive: tarnlink.exe with the README and the licence, as a
# ZIP that unpacks and runs on a bare Windows machine, one per Windows build.
#   cpack --config build/windows/CPackConfig.cmake       (…-win64.zip)
#   cpack --config build/windows-x86/CPackConfig.cmake   (…-win32.zip)
if(NOT WIN32)
  return()
endif()

foreach(doc README.md LICENSE)
  if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${doc})
    message(WARNING "${doc} is missing: the release archive cannot be built without it")
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME tarnlink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tarnlink-${PROJECT_VERSION}-${TARNLINK_WINDOWS_ARCH})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
