#include "base/console.h"

#include <algorithm>
#include <array>

namespace tarnlink {
namespace {
constexpr std::string_view kErase = "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
static_assert(kErase.size() == 30);

// Each text goes out in one write, so an unbuffered console never shows half of
// it. Texts that fit (every progress text does) are put together on the stack:
// a send rewrites its progress text every third block.
void emit(std::ostream& out, std::string_view prefix, std::string_view text, bool line_end) {
  const std::size_t size = prefix.size() + text.size() + (line_end ? 1 : 0);
  std::array<char, 128> local;
  std::string large;
  char* whole = local.data();
  if (size > local.size()) {
    large.resize(size);
    whole = large.data();
  }
  char* end = std::copy(prefix.begin(), prefix.end(), whole);
  end = std::copy(text.begin(), text.end(), end);
  if (line_end) *end = '\n';
  out.write(whole, static_cast<std::streamsize>(size));
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
