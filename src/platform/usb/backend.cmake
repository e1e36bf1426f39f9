# The USB backend: instruments on the USB bus, through libusb-1.0.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
target_sources(tarnlink_lib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/usb_ids.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_descriptors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_sysfs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_platform.cpp
)
target_link_libraries(tarnlink_lib PUBLIC PkgConfig::LIBUSB)
