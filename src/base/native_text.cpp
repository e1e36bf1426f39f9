#include "base/native_text.h"

#include <cstdint>
#include <type_traits>

#include "base/utf8.h"

namespace tarnlink {
namespace {
std::uint32_t fold_ascii(std::uint32_t c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }
}  // namespace

bool equals_ignoring_case(const NativeString& text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    // Unsigned on both sides, so a byte or unit above 0x7F never folds onto a letter.
    const auto a = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<NativeChar>>(text[i]));
    const auto b = static_cast<std::uint32_t>(static_cast<unsigned char>(word[i]));
    if (fold_ascii(a) != fold_ascii(b)) return false;
  }
  return true;
}

#ifdef _WIN32
std::string console_text(const NativeString& text) {
  std::string utf8;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(text[i]);
    const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
                      static_cast<std::uint16_t>(text[i + 1]) >= 0xDC00 &&
                      static_cast<std::uint16_t>(text[i + 1]) <= 0xDFFF;
    if (pair) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(text[++i]) - 0xDC00u);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    append_utf8(utf8, c);
  }
  return utf8;
}
#else
std::string console_text(const NativeString& text) { return text; }
#endif

}  // namespace tarnlink
