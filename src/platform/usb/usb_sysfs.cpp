#include "platform/usb/usb_sysfs.h"

#include <fstream>

namespace tarnlink::usb {
namespace {

// sysfs hands out at most a page per attribute.
constexpr std::streamsize kMostAttribute = 4096;

}  // namespace

std::optional<std::string> sysfs_serial(const std::string& port) {
  std::ifstream file("/sys/bus/usb/devices/" + port + "/serial", std::ios::binary);
  if (!file) return std::nullopt;
  std::string text(static_cast<std::size_t>(kMostAttribute), '\0');
  file.read(text.data(), kMostAttribute);
  if (file.bad()) return std::nullopt;
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace tarnlink::usb
