// The device protocol's packet rules, written out from the protocol document
// apart from the codec, so that the fuzz targets can tell a wrong decoding from
// a right one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnlink::fuzz {

inline constexpr std::size_t kHeader = 12;
inline constexpr std::uint32_t kDataLimit = 65536;
inline constexpr std::uint32_t kControlLimit = 256;

struct Fields {
  std::uint8_t type = 0;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  std::uint32_t payload = 0;
};

inline std::uint32_t little_endian(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int k = 3; k >= 0; --k) value = value * 256 + at[k];
  return value;
}

// The header fields when the packet has a well-formed header of version 1 and
// a size either side may send.
inline bool header_fields(const std::uint8_t* packet, std::size_t size, Fields& fields) {
  if (size < kHeader || size > kHeader + kDataLimit) return false;
  if (packet[1] != 1 || packet[2] != 0 || packet[3] != 0) return false;
  fields.type = packet[0];
  fields.first = little_endian(packet + 4);
  fields.second = little_endian(packet + 8);
  fields.payload = static_cast<std::uint32_t>(size - kHeader);
  return true;
}

// Whether a client may send this packet: write 1, read 2, control 3.
inline bool valid_request(const std::uint8_t* packet, std::size_t size, Fields& fields) {
  if (!header_fields(packet, size, fields)) return false;
  switch (fields.type) {
    case 1: return fields.second == 0 && fields.first == fields.payload;
    case 2: return fields.second == 0 && fields.payload == 0 && fields.first >= 1 &&
                   fields.first <= kDataLimit;
    case 3: return fields.second <= kControlLimit && fields.payload <= kControlLimit;
    default: return false;
  }
}

// Whether a service may send this packet: open 0x80, write 0x81, read 0x82,
// control 0x83; first is the error and second the count.
inline bool valid_response(const std::uint8_t* packet, std::size_t size, Fields& fields) {
  if (!header_fields(packet, size, fields)) return false;
  const std::uint32_t error = fields.first;
  const std::uint32_t count = fields.second;
  if (error != 0 && (count != 0 || fields.payload != 0)) return false;
  switch (fields.type) {
    case 0x80: return count == 0 && fields.payload == 0;
    case 0x81: return fields.payload == 0;
    case 0x82: return count == fields.payload;
    case 0x83: return count == fields.payload && fields.payload <= kControlLimit;
    default: return false;
  }
}

}  // namespace tarnlink::fuzz
