#include "base/safe_text.h"

#include <cstdint>

namespace tarnlink {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, with its code
// point in `code`; 0, and `code` untouched, when it does not start with one.
std::size_t utf8_sequence(std::string_view text, std::uint32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  std::uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  std::uint32_t c = lead & (0x7Fu >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i) & 0x3Fu);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  code = c;
  return length;
}

}  // namespace

std::string replace_unsafe_bytes(std::string_view text, char with, KeepBytes keep,
                                 std::string_view also) {
  std::string safe;
  safe.reserve(text.size());
  while (!text.empty()) {
    std::uint32_t c = static_cast<unsigned char>(text[0]);
    std::size_t length = utf8_sequence(text, c);
    if (length == 0) length = 1;
    // A terminal acts on a control instead of showing it: a line feed forges a
    // line, an escape sequence (CSI is C1's 0x9B too) sets the title or moves
    // the cursor.
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    const bool kept = keep == KeepBytes::kPrintableAscii ? !control && c < 0x80 : !control;
    if (kept && (length > 1 || also.find(text[0]) == std::string_view::npos)) {
      safe.append(text.substr(0, length));
    } else {
      safe.push_back(with);
    }
    text.remove_prefix(length);
  }
  return safe;
}

}  // namespace tarnlink
