// Text that a device chose (a device path, a serial number), made safe before it
// reaches the operator's terminal or becomes part of a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// Appends the UTF-8 form of the code point `c` (at most U+10FFFF, no surrogate)
// to `text`.
void append_utf8(std::string& text, std::uint32_t c);

// The text of the USB string descriptor in the `size` bytes at `descriptor`, as
// a device sent it (bLength, type 3, UTF-16LE), in UTF-8 as Linux shows it in
// sysfs: read no further than `size` and bLength allow, an odd last byte
// dropped; it ends at the first U+0000; a surrogate pair is one character and a
// lone surrogate is dropped. nullopt when the bytes are not a string descriptor.
std::optional<std::string> string_descriptor_text(const unsigned char* descriptor,
                                                  std::size_t size);

}  // namespace tarnlink
