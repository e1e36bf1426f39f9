// Text between velk-emu.exe's narrow options and messages and Win32's UTF-16,
// and the one form of its error messages: "<what failed>: <system text>".
#pragma once

#include <string>

#include "base/native_text.h"

namespace velk_emu {

std::wstring widen(const std::string& text);  // UTF-8 in, UTF-16 out
// UTF-16 in, UTF-8 out: tarnlink's own conversion for console text.
using tarnlink::console_text;
// `what`, then the text of GetLastError().
std::string win32_failure(const std::string& what);

}  // namespace velk_emu
