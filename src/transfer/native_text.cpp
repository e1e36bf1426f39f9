#include "transfer/native_text.h"

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

}  // namespace tarnlink
