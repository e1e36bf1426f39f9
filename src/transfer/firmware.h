#pragma once

#include <cstdint>
#include <ostream>

#include "device/device_access.h"
#include "transfer/payload.h"

namespace tarnlink {

inline constexpr std::int32_t kPreambleSize = 9;
// The image bytes the preamble repeats start here; shorter images are refused.
inline constexpr std::int32_t kPreambleSourceOffset = 30;
inline constexpr std::int32_t kMinimumImageSize = kPreambleSourceOffset + 3;

// The 9 bytes announcing a firmware image of at least kMinimumImageSize bytes:
// image bytes 30..32, the length in 3-byte units as 24-bit little endian, three zeros.
ByteBuffer MakeFirmwarePreamble(const std::uint8_t* image, PayloadSize size);

// Writes the preamble in one write. 0 when written, -1 when the write failed or
// the image is too short to have one (then nothing is written).
std::int32_t SendFirmwarePreamble(DeviceAccess& device, std::ostream& out,
                                  const std::uint8_t* image, PayloadSize size);

}  // namespace tarnlink
