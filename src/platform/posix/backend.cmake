# The POSIX backend: the client of the Linux device service, the terminal's Esc key,
# and the output file with what is put right when the process ends.
# The wire protocol and the device directory rules are a library of their own,
# shared with the emulator, which needs nothing else of the program.
add_library(tarnlink_device_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/device_protocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_directory.cpp
)
target_include_directories(tarnlink_device_service PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../..)
tarnlink_warnings(tarnlink_device_service)

target_sources(tarnlink_lib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/posix_platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal_key.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exit_cleanup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_file.cpp
)
target_link_libraries(tarnlink_lib PUBLIC tarnlink_device_service)
