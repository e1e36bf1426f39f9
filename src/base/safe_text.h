// Text that a device chose (a device path, a serial number), made safe before it
// reaches the operator's terminal or becomes part of a path.
#pragma once

#include <string>
#include <string_view>

namespace tarnlink {

// Which characters of a device's text are kept as they are. A character is a
// valid UTF-8 sequence (shortest form, no surrogate, at most U+10FFFF) or else
// one byte on its own.
enum class KeepBytes {
  // every character but the controls a terminal acts on: C0 (below 0x20), DEL
  // (0x7F), and C1, both as U+0080 to U+009F and as a byte 0x80 to 0x9F that is
  // no part of UTF-8 (an 8-bit terminal takes it as a control)
  kAllButControls,
  kPrintableAscii,  // 0x20 to 0x7E only
};

// `text` with every character that `keep` does not keep, and every byte of
// `also`, replaced by one `with`.
std::string replace_unsafe_bytes(std::string_view text, char with, KeepBytes keep,
                                 std::string_view also = {});

}  // namespace tarnlink
