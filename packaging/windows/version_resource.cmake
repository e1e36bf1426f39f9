# tarnlink.exe's version resource, which Windows shows in the file's properties:
# the name, version and description from project(), the holder from LICENSE.
# Sets TARNLINK_VERSION_RESOURCE, the .rc that src/ compiles into the program;
# it stays empty elsewhere.
if(NOT WIN32)
  return()
endif()
enable_language(RC)

# VERSIONINFO takes four numbers; a part the project's version lacks is 0.
set(_numbers "")
foreach(part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${part} STREQUAL "")
    list(APPEND _numbers 0)
  else()
    list(APPEND _numbers ${PROJECT_VERSION_${part}})
  endif()
endforeach()
list(JOIN _numbers , TARNLINK_RC_VERSION)

configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnlink.rc.in ${CMAKE_BINARY_DIR}/tarnlink.rc @ONLY)
set(TARNLINK_VERSION_RESOURCE ${CMAKE_BINARY_DIR}/tarnlink.rc)
