#pragma once

#include <cstdint>
#include <ostream>

#include "device/device_access.h"
#include "transfer/payload.h"

namespace tarnlink {

// Sends the payload to the selected device in 4096-byte blocks, one write each,
// with a progress text before every third block and an Esc test after every
// block. 0 when every block was written, -1 after a failed write or a break.
std::int32_t SendBuffer(DeviceAccess& device, std::ostream& out, const std::uint8_t* payload,
                        PayloadSize size);

}  // namespace tarnlink
