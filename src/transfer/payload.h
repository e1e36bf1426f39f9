// Payload sources: the bytes a job sends, from a file or from a command-line string.
#pragma once

#include <cstdint>
#include <cwchar>
#include <memory>
#include <ostream>

#include "platform/platform.h"

namespace tarnlink {

// A stream position as byte streams report it. The payload's byte count is
// PayloadCount(): the offset plus the low 32 bits of the position, as a signed
// 32-bit number. Every consumer computes it that way.
struct PayloadSize {
  std::int32_t offset = 0;
  std::int64_t position = 0;
  std::mbstate_t state{};
};
std::int32_t PayloadCount(PayloadSize size);

// The payload's bytes, owned by the entry point for the rest of the run.
using Payload = std::unique_ptr<std::uint8_t[]>;

// Reads the whole file. Returns null after printing why when it cannot be
// opened or read from start to end, or is 2 GiB or larger; `size` is then left
// as it was.
Payload LoadFile(std::ostream& out, PayloadSize& size, const NativeString& name);

// The text as ISO 8859-1 bytes, followed by a zero byte that is not counted.
// Returns null after printing why when the text holds a character above U+00FF.
// On POSIX the text is UTF-8; a byte outside a valid sequence stands for itself.
Payload MakeStringPayload(std::ostream& out, PayloadSize& size, const NativeString& text);

}  // namespace tarnlink
