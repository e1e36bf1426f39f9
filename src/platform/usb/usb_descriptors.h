// What the USB backend reads from a device's descriptors, none of which it
// trusts: which interface carries the bulk pipe.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>

namespace tarnlink::usb {

// The interface that the instrument's messages travel through.
struct BulkInterface {
  std::uint8_t number = 0;        // bInterfaceNumber, as claimed
  std::uint8_t endpoint_out = 0;  // the first bulk OUT endpoint's address
  std::uint8_t endpoint_in = 0;   // the first bulk IN endpoint's address
};

// The first interface of `config` whose default setting has a bulk OUT and a
// bulk IN endpoint; nullopt when none has.
std::optional<BulkInterface> bulk_interface(const libusb_config_descriptor& config);

}  // namespace tarnlink::usb
