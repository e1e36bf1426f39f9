#include "base/utf8.h"

#include <algorithm>

namespace tarnlink {

void append_utf8(std::string& text, std::uint32_t c) {
  if (c < 0x80) {
    text.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    text.push_back(static_cast<char>(0xC0 | (c >> 6)));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    text.push_back(static_cast<char>(0xE0 | (c >> 12)));
    text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    text.push_back(static_cast<char>(0xF0 | (c >> 18)));
    text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::optional<std::string> string_descriptor_text(const unsigned char* descriptor,
                                                  std::size_t size) {
  constexpr unsigned char kStringType = 3;
  if (size < 2 || descriptor[1] != kStringType) return std::nullopt;
  const std::size_t length = std::min<std::size_t>(size, descriptor[0]);
  const std::size_t count = length < 2 ? 0 : (length - 2) / 2;
  const unsigned char* units = descriptor + 2;
  const auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(units[2 * i] | (units[2 * i + 1] << 8));
  };
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = unit(i);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDFFF) {
      const bool pair = c <= 0xDBFF && i + 1 < count && unit(i + 1) >= 0xDC00 &&
                        unit(i + 1) <= 0xDFFF;
      if (!pair) continue;
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(++i) - 0xDC00);
    }
    append_utf8(text, c);
  }
  return text;
}

}  // namespace tarnlink
