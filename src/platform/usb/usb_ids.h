// Which USB devices are instruments: the vendor:product IDs the operator lists.
// $TARNLINK_USB_IDS (comma-separated) when it is set, even empty; otherwise the
// file /etc/tarnlink/usb-ids, one ID a line, with # comments and blank lines
// (a UTF-8 byte-order mark at its start is ignored).
// An ID is four hex digits, a colon and four hex digits, either case; blanks
// around it are allowed. A malformed entry is skipped and the others count.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnlink::usb {

inline constexpr const char* kUsbIdsEnv = "TARNLINK_USB_IDS";
inline constexpr const char* kUsbIdsFile = "/etc/tarnlink/usb-ids";

struct UsbId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  bool operator==(const UsbId& other) const {
    return vendor == other.vendor && product == other.product;
  }
};

// The IDs of a comma-separated list, in its order.
std::vector<UsbId> usb_ids_from_list(std::string_view list);
// The IDs of a configuration file's text, in its order.
std::vector<UsbId> usb_ids_from_file_text(std::string_view text);

// The IDs configured for this process, read afresh: the variable, else the file.
// A file that is missing or unreadable configures none.
std::vector<UsbId> configured_usb_ids();

}  // namespace tarnlink::usb
