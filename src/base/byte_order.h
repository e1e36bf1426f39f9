// Little-endian fields, as every wire format of the project spells them: the
// Linux device protocol, the timeout value of the two control requests and the
// messages of the Windows test driver's bridge.
#pragma once

#include <cstdint>

namespace tarnlink {

inline void put_u32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t get_u32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

inline void put_u64(std::uint8_t* at, std::uint64_t value) {
  put_u32(at, static_cast<std::uint32_t>(value));
  put_u32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

inline std::uint64_t get_u64(const std::uint8_t* at) {
  return static_cast<std::uint64_t>(get_u32(at)) | (static_cast<std::uint64_t>(get_u32(at + 4)) << 32);
}

}  // namespace tarnlink
