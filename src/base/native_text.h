// Text as the operating system hands it over, and the two things the program
// does with it.
#pragma once

#include <string>
#include <string_view>

namespace tarnlink {

// Text the operating system hands over as it is: file names, device paths and
// command-line arguments. UTF-16 on Windows, bytes elsewhere.
#ifdef _WIN32
using NativeChar = wchar_t;
#define TARNLINK_NATIVE(s) L##s
#else
using NativeChar = char;
#define TARNLINK_NATIVE(s) s
#endif
using NativeString = std::basic_string<NativeChar>;

// Whether `text` is exactly `word`, ASCII letters compared without regard to case.
bool equals_ignoring_case(const NativeString& text, std::string_view word);

// The text as the console shows it: bytes as they are on POSIX, UTF-8 from UTF-16
// on Windows.
std::string console_text(const NativeString& text);

}  // namespace tarnlink
