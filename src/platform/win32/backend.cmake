# The Win32 backend: the instrument's driver through the Setup API and file I/O,
# and the output file.
target_sources(tarnlink_lib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/win32_platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_file.cpp
)
target_compile_definitions(tarnlink_lib PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
target_link_libraries(tarnlink_lib PUBLIC setupapi)

# tarnlink's entry point is wmain, so arguments arrive as UTF-16. The program target
# is defined after this file is read, hence the deferred call.
cmake_language(DEFER CALL target_link_options tarnlink PRIVATE -municode)
