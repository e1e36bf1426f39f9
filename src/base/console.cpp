#include "base/console.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace tarnlink {
namespace {
constexpr std::string_view kErase = "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
static_assert(kErase.size() == 30);

// Where a stream keeps the error number of its first failed write.
int error_slot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
}

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
  // A stream that failed once writes nothing more, so the first failure is the
  // one whose cause is worth telling.
  const bool was_good = out.good();
  errno = 0;
  out.write(whole, static_cast<std::streamsize>(size));
  if (line_end) out.flush();
  if (was_good && !out.good()) out.iword(error_slot()) = errno != 0 ? errno : EIO;
}

}  // namespace

void write_line(std::ostream& out, std::string_view text) { emit(out, {}, text, true); }

void write_progress(std::ostream& out, std::string_view text) { emit(out, kErase, text, false); }

void write_summary_line(std::ostream& out, std::string_view text) {
  emit(out, kErase, text, true);
}

int write_error(std::ostream& out) { return static_cast<int>(out.iword(error_slot())); }

std::string decimal(std::int64_t value) { return std::to_string(value); }

}  // namespace tarnlink
