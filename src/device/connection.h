// Connecting to one instrument: list the present interfaces, choose one, open and
// select it, and check by a timeout handshake that it answers.
#pragma once

#include <cstdint>
#include <ostream>

#include "device/device_access.h"

namespace tarnlink {

// Chooses the last interface of up to six, else the sixth. 0 connected, -1 not.
std::int32_t ConnectDefault(DeviceAccess& device, std::ostream& out);
// Chooses the last interface whose path contains `usb_name`, else the first.
// 0 connected, -1 not.
std::int32_t ConnectByName(DeviceAccess& device, std::ostream& out, const NativeString& usb_name);

// Prints the present interfaces, one line each: index, one blank, path, with
// every control byte of the path (below 0x20, and 0x7F) shown as '?'. Opens
// nothing. 0 when at least one was listed and enumeration reached the end.
std::int32_t ListInstruments(DeviceAccess& device, std::ostream& out);

}  // namespace tarnlink
