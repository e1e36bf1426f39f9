#include "platform/usb/usb_path.h"

#include "base/safe_text.h"

namespace tarnlink::usb {

std::string port_name(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
  std::string name = std::to_string(bus) + "-";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i != 0) name += '.';
    name += std::to_string(ports[i]);
  }
  return name;
}

std::string usb_location(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
  return "usb:" + port_name(bus, ports);
}

std::string usb_device_path(const std::string& location, const std::optional<std::string>& serial) {
  if (!serial || serial->empty()) return location;
  const std::string safe = replace_unsafe_bytes(*serial, '_', KeepBytes::kPrintableAscii, ":/\\");
  return location + ":" + safe.substr(0, kMaxSerialInPath);
}

}  // namespace tarnlink::usb
