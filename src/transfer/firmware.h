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
// The preamble tells the length in 3-byte units in 24 bits: larger images
// cannot be announced.
inline constexpr std::int32_t kMaximumImageSize = 3 * (std::int32_t{1} << 24) - 1;

// Whether an image of `size` is small enough for the preamble to announce. False,
// after saying so, when it is not.
bool FirmwareImageFits(std::ostream& out, PayloadSize size);

// The 9 bytes announcing a firmware image of at least kMinimumImageSize bytes:
// image bytes 30..32, the length in 3-byte units as 24-bit little endian, three zeros.
ByteBuffer MakeFirmwarePreamble(const std::uint8_t* image, PayloadSize size);

// Writes the preamble in one write. 0 when written, -1 when the write failed or
// the image is too short or too large to have one (then nothing is written).
std::int32_t SendFirmwarePreamble(DeviceAccess& device, std::ostream& out,
                                  const std::uint8_t* image, PayloadSize size);

}  // namespace tarnlink
