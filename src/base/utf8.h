// UTF-8 from the other forms in which text reaches the program: code points
// (Windows' UTF-16 paths) and the UTF-16LE of a USB string descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarnlink {

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
