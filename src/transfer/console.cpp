#include "transfer/console.h"

namespace tarnlink {
namespace {
constexpr std::string_view kErase = "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
static_assert(kErase.size() == 30);

// Each text goes out in one write, so an unbuffered console never shows half of it.
void emit(std::ostream& out, std::string_view prefix, std::string_view text, bool line_end) {
  std::string whole;
  whole.reserve(prefix.size() + text.size() + 1);
  whole.append(prefix).append(text);
  if (line_end) whole.push_back('\n');
  out.write(whole.data(), static_cast<std::streamsize>(whole.size()));
  if (line_end) out.flush();
}

}  // namespace

void write_line(std::ostream& out, std::string_view text) { emit(out, {}, text, true); }

void write_progress(std::ostream& out, std::string_view text) { emit(out, kErase, text, false); }

void write_summary_line(std::ostream& out, std::string_view text) {
  emit(out, kErase, text, true);
}

std::string decimal(std::int64_t value) { return std::to_string(value); }

}  // namespace tarnlink
