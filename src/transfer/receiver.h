#pragma once

#include <cstdint>
#include <ostream>

#include "device/device_access.h"

namespace tarnlink {

// Reads the instrument's answer. The name "con" (any letter case) prints it on
// the screen; any other name is a file that receives every byte until a read
// fails or brings nothing. 0 on success; -1 when the screen read failed, the
// answer for the screen did not fit in memory (reported), or the file could not
// be created or written.
std::int32_t ReceiveAnswer(DeviceAccess& device, std::ostream& out, const NativeString& output_name);

}  // namespace tarnlink
