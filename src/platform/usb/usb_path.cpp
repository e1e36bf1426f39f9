#include "platform/usb/usb_path.h"

#include "base/safe_text.h"

namespace tarnlink::usb {

std::string usb_location(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
  std::string location = "usb:" + std::to_string(bus) + "-";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i != 0) location += '.';
    location += std::to_string(ports[i]);
  }
  return location;
}

std::string usb_device_path(const std::string& location, const std::optional<std::string>& serial) {
  if (!serial || serial->empty()) return location;
  const std::string safe = replace_unsafe_bytes(*serial, '_', KeepBytes::kPrintableAscii, ":/\\");
  return location + ":" + safe.substr(0, kMaxSerialInPath);
}

}  // namespace tarnlink::usb
