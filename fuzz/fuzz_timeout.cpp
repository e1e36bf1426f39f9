// The number after "/T" against a reading of its rule written apart from the
// parser: one or more ASCII digits whose value is at most 214748.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/dispatch.h"

namespace {

constexpr std::uint64_t kLargest = 214748;

// Whether the rule accepts `text`, and the value it then stands for. Leading
// zeros are allowed, so the value is built with room to spare and compared once.
bool accepted(const std::string& text, std::uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kLargest * 10) value = kLargest + 1;  // stays too large, never wraps
  }
  return value <= kLargest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint64_t expected = 0;
  const bool expect_ok = accepted(text, expected);

  std::int32_t milliseconds = -1;
  const bool ok = tarnlink::ParseTimeoutMilliseconds(text, milliseconds);
  if (ok != expect_ok) std::abort();
  if (ok && static_cast<std::uint64_t>(milliseconds) != expected) std::abort();
  return 0;
}
