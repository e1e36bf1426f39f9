// What the USB backend reads from a device's descriptors, none of which it
// trusts: which interface carries the bulk pipe, and the text of a string.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>
#include <string>

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

// The text of the string descriptor in the `size` bytes at `descriptor` (as a
// device sent it, UTF-16LE after the two-byte header), one byte per code unit:
// ASCII units as they are, every other unit as DEL, which is not printable.
// Never reads beyond `size` or the descriptor's own length; an odd last byte is
// dropped. nullopt when the bytes are not a string descriptor.
std::optional<std::string> string_descriptor_text(const unsigned char* descriptor, int size);

}  // namespace tarnlink::usb
