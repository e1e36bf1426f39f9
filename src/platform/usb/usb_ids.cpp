#include "platform/usb/usb_ids.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace tarnlink::usb {
namespace {

std::string_view trim_blanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint16_t> hex4(std::string_view digits) {
  if (digits.size() != 4) return std::nullopt;
  std::uint16_t value = 0;
  for (const char c : digits) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = static_cast<std::uint16_t>(value * 16 + digit);
  }
  return value;
}

void add_entry(std::string_view entry, std::vector<UsbId>& ids) {
  entry = trim_blanks(entry);
  if (entry.size() != 9 || entry[4] != ':') return;
  const auto vendor = hex4(entry.substr(0, 4));
  const auto product = hex4(entry.substr(5));
  if (vendor && product) ids.push_back(UsbId{*vendor, *product});
}

// Calls `each` with every piece of `text` between separators.
template <typename Each>
void split(std::string_view text, char separator, Each each) {
  for (;;) {
    const auto end = text.find(separator);
    each(text.substr(0, end));
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

}  // namespace

std::vector<UsbId> usb_ids_from_list(std::string_view list) {
  std::vector<UsbId> ids;
  split(list, ',', [&](std::string_view entry) { add_entry(entry, ids); });
  return ids;
}

std::vector<UsbId> usb_ids_from_file_text(std::string_view text) {
  // Some editors start a UTF-8 file with a byte-order mark.
  constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  std::vector<UsbId> ids;
  split(text, '\n', [&](std::string_view line) { add_entry(line.substr(0, line.find('#')), ids); });
  return ids;
}

std::vector<UsbId> configured_usb_ids() {
  if (const char* list = std::getenv(kUsbIdsEnv)) return usb_ids_from_list(list);
  std::ifstream file(kUsbIdsFile, std::ios::binary);
  if (!file) return {};
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return usb_ids_from_file_text(text);
}

}  // namespace tarnlink::usb
