// The program's front end: banner, usage, choosing the job from the arguments,
// and running it as a chain of steps with Esc tests between them.
#pragma once

#include <cstdint>
#include <ostream>

#include "device/device_access.h"

namespace tarnlink {

// Runs tarnlink with argv[0..argc-1] (argv[0] is the program's name) and returns
// the exit status: 0 on success, -1 on any failure. Everything goes to `out`
// (standard output), but two lines that go to `err` (standard error): why the
// chosen instrument could not be opened, where that is known, and that an
// answer for the screen could not be written to `out`.
int RunTarnlink(int argc, const NativeChar* const* argv, DeviceAccess& device, std::ostream& out,
                std::ostream& err);

// Whether Esc is held now; prints the break message when it is.
bool CheckBreak(DeviceAccess& device, std::ostream& out);

// Reads the number after "/T": a plain decimal count of milliseconds, 0 to
// 214748, so that it fits the link timeout in 100-ns units. False otherwise.
bool ParseTimeoutMilliseconds(const NativeString& text, std::int32_t& milliseconds);

}  // namespace tarnlink
