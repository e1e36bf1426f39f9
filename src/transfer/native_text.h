// Command-line text as the operating system hands it over.
#pragma once

#include <string>
#include <string_view>

#include <type_traits>

#include "platform/platform.h"

namespace tarnlink {

// Whether `text` is exactly `word`, ASCII letters compared without regard to case.
bool equals_ignoring_case(const NativeString& text, std::string_view word);

// The text as the console shows it: bytes as they are on POSIX, UTF-8 from UTF-16
// on Windows.
std::string console_text(const NativeString& text);

}  // namespace tarnlink
