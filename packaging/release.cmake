# The Windows release archive: tarnlink.exe with the README and the licence, as a
# ZIP that unpacks and runs on a bare Windows machine.
#   cpack --config build/windows/CPackConfig.cmake
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
set(CPACK_PACKAGE_FILE_NAME tarnlink-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
