#pragma once

#include <cstdint>
#include <ostream>

#include "device/device_access.h"
#include "transfer/answer_file.h"

namespace tarnlink {

// Whether the answer for `output_name` goes to the screen: "con", any letter case.
bool IsScreenName(const NativeString& output_name);

// Reads the instrument's answer. The name "con" (any letter case) prints it on
// the screen; any other name is a file that receives every byte until a read
// fails or brings nothing. 0 on success; -1 when the screen read failed, the
// answer for the screen did not fit in memory (reported), the file could not be
// created or written (reported), or a read failure cut the answer off (reported
// after the final total; what came before it is stored).
std::int32_t ReceiveAnswer(DeviceAccess& device, std::ostream& out, const NativeString& output_name);

// The same into `file`, which the caller opened before the payload was sent.
std::int32_t ReceiveAnswer(DeviceAccess& device, std::ostream& out, AnswerFile& file);

}  // namespace tarnlink
