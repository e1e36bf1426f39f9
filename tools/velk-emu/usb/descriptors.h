// The descriptors an emulated USB device answers with: built for an instrument
// or a hub, or given byte for byte by a test that wants a hostile device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velk_emu::usb {

// pid.codes' test ID, which velk-emu's instruments carry unless told otherwise.
inline constexpr std::uint16_t kTestVendor = 0x1209;
inline constexpr std::uint16_t kTestProduct = 0x0001;
// The instrument's bulk endpoints, and their packets' size (high speed).
inline constexpr std::uint8_t kBulkOut = 0x01;
inline constexpr std::uint8_t kBulkIn = 0x81;
inline constexpr std::uint16_t kMaxPacket = 512;
// The string index that answers with the serial number.
inline constexpr std::uint8_t kSerialIndex = 3;
// Most characters a string descriptor holds: (255 - 2) / 2.
inline constexpr std::size_t kMaxStringLength = 126;

// The device, configuration, interface and endpoint descriptors of an
// instrument, as the kernel shows them in sysfs: one configuration with one
// vendor-class interface, bulk OUT 0x01 and bulk IN 0x81 of 512 bytes (high
// speed). iSerialNumber is kSerialIndex when `has_serial`, else 0.
std::vector<std::uint8_t> instrument_descriptors(std::uint16_t vendor, std::uint16_t product,
                                                 bool has_serial);

// The descriptors of a hub: hub class, one interrupt IN endpoint, no bulk pair.
std::vector<std::uint8_t> hub_descriptors();

// The string descriptor of `text` (at most kMaxStringLength characters below
// 0x80): bLength, type 3, the characters in UTF-16LE.
std::vector<std::uint8_t> string_descriptor(const std::string& text);

}  // namespace velk_emu::usb
