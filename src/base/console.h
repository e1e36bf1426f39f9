// How the program writes to its console: message lines and in-place progress texts.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace tarnlink {

// What a transfer that failed on its way prints, as a line of its own.
inline constexpr std::string_view kErrorText = "    Error ! ";

// A message line: the text, one line feed, and a flush, in one write.
void write_line(std::ostream& out, std::string_view text);

// A progress text: 30 backspaces to move back over the previous one, then the
// text; no line end, no flush, one write.
void write_progress(std::ostream& out, std::string_view text);

// A progress text that ends its line: the 30 backspaces, the text, one line
// feed and a flush, in one write.
void write_summary_line(std::ostream& out, std::string_view text);

// The system's error number (errno) of the first of the writes above that
// failed on `out`, or 0 while none has.
int write_error(std::ostream& out);

// Plain decimal, with a minus sign when negative.
std::string decimal(std::int64_t value);

}  // namespace tarnlink
