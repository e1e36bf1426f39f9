// What the program relies on from the instrument's driver: its interface class,
// control codes and units. Plain numbers that compile everywhere; the Win32
// backend checks them against the SDK's spelling.
#pragma once

#include <cstdint>

namespace tarnlink::contract {

// Interface class {56753109-DCB7-4E3E-9598-B8BDEE573234}, field by field as in a GUID.
struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};
inline constexpr Guid kInterfaceClass = {
    0x56753109, 0xDCB7, 0x4E3E, {0x95, 0x98, 0xB8, 0xBD, 0xEE, 0x57, 0x32, 0x34}};

// Control codes: device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS.
inline constexpr std::uint32_t kDeviceType = 0x22;
inline constexpr std::uint32_t kFunctionSetTimeout = 0x815;
inline constexpr std::uint32_t kFunctionGetTimeout = 0x816;
constexpr std::uint32_t control_code(std::uint32_t device_type, std::uint32_t function) {
  return (device_type << 16) | (function << 2);  // access 0, method 0
}
inline constexpr std::uint32_t kIoctlSetTimeout = control_code(kDeviceType, kFunctionSetTimeout);
inline constexpr std::uint32_t kIoctlGetTimeout = control_code(kDeviceType, kFunctionGetTimeout);
static_assert(kIoctlSetTimeout == 2236500 && kIoctlGetTimeout == 2236504);

// The link timeout is a signed 32-bit count of these units.
inline constexpr std::int32_t kTimeoutUnitNs = 100;
inline constexpr std::int32_t kUnitsPerMillisecond = 1000000 / kTimeoutUnitNs;
// Set on connection and read back as the sign that the instrument answers (8 s).
inline constexpr std::int32_t kHandshakeTimeout = 80000000;

// Every read asks for one chunk; every send block is at most one chunk.
inline constexpr std::uint32_t kChunkSize = 4096;

}  // namespace tarnlink::contract
