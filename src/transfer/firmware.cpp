#include "transfer/firmware.h"

#include "base/console.h"

namespace tarnlink {

ByteBuffer MakeFirmwarePreamble(const std::uint8_t* image, PayloadSize size) {
  const std::int32_t units = PayloadCount(size) / 3;
  const auto q = static_cast<std::uint32_t>(units);
  ByteBuffer preamble;
  preamble.reserve(kPreambleSize);
  preamble.insert(preamble.end(), image + kPreambleSourceOffset, image + kMinimumImageSize);
  // The unit count as 24-bit little endian; higher bits are not sent.
  preamble.push_back(static_cast<std::uint8_t>(q & 0xFFu));
  preamble.push_back(static_cast<std::uint8_t>((q >> 8) & 0xFFu));
  preamble.push_back(static_cast<std::uint8_t>((q >> 16) & 0xFFu));
  preamble.insert(preamble.end(), 3, 0);
  return preamble;
}

bool FirmwareImageFits(std::ostream& out, PayloadSize size) {
  if (PayloadCount(size) <= kMaximumImageSize) return true;
  write_line(out, "Firmware image too large");
  return false;
}

std::int32_t SendFirmwarePreamble(DeviceAccess& device, std::ostream& out,
                                  const std::uint8_t* image, PayloadSize size) {
  if (PayloadCount(size) < kMinimumImageSize) {
    // The preamble repeats image bytes 30 to 32; a shorter image has none to send.
    write_line(out, "Firmware image too short");
    return -1;
  }
  if (!FirmwareImageFits(out, size)) return -1;
  return device.WriteData(MakeFirmwarePreamble(image, size)) == kStatusOk ? 0 : -1;
}

}  // namespace tarnlink
