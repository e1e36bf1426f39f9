// The device path of a USB instrument: usb:BUS-PORTS:SERIAL, or usb:BUS-PORTS
// when it has no serial number. BUS-PORTS is the kernel's name of the port
// (1-1.4: the bus, a dash, the port numbers from the root joined by dots).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnlink::usb {

// The longest serial number a path carries; a longer one is cut.
inline constexpr std::size_t kMaxSerialInPath = 64;

// BUS-PORTS, the kernel's name of the port.
std::string port_name(std::uint8_t bus, const std::vector<std::uint8_t>& ports);
// usb:BUS-PORTS.
std::string usb_location(std::uint8_t bus, const std::vector<std::uint8_t>& ports);

// The whole path. The serial is the device's own text in UTF-8, however it was
// read (from sysfs, or a string descriptor made UTF-8 as the kernel makes it),
// so that both give one path: every character outside printable ASCII, and
// every ':', '/' and '\', becomes one '_', so that it can neither reach the
// terminal as a control nor pose as another path. An absent or empty serial
// leaves the location alone.
std::string usb_device_path(const std::string& location, const std::optional<std::string>& serial);

}  // namespace tarnlink::usb
