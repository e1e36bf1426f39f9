// What Linux publishes about a USB device in sysfs, which every user may read:
// a device is named there without being opened. The files are opened by their
// usual path, as libusb opens them, so that umockdev's preload leads both to its
// testbed.
#pragma once

#include <optional>
#include <string>

namespace tarnlink::usb {

// The serial number that the kernel read from the device at `port` (the
// kernel's name of the port, "1-1.4") when it was plugged in: its string
// descriptor's text in UTF-8, without the line end sysfs adds. nullopt when
// sysfs shows none (the device names none, or the kernel could not read it) or
// cannot be read.
std::optional<std::string> sysfs_serial(const std::string& port);

}  // namespace tarnlink::usb
