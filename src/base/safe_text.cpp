#include "base/safe_text.h"

namespace tarnlink {

std::string replace_unsafe_bytes(std::string_view text, char with, KeepBytes keep,
                                 std::string_view also) {
  std::string safe(text);
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    // A terminal acts on a C0 control or DEL instead of showing it: a line feed
    // forges a line, an escape sequence sets the title or moves the cursor.
    const bool control = byte < 0x20 || byte == 0x7F;
    const bool kept = keep == KeepBytes::kPrintableAscii ? !control && byte < 0x80 : !control;
    if (!kept || also.find(c) != std::string_view::npos) c = with;
  }
  return safe;
}

}  // namespace tarnlink
