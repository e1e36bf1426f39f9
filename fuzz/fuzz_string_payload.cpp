// The string payload against a decoder written from the well-formed UTF-8 byte
// table: every byte that starts no well-formed sequence stands for itself, a
// sequence for a code point up to U+00FF becomes that byte, and any well-formed
// sequence for a code point above U+00FF refuses the whole string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "transfer/payload.h"

namespace {

struct Range {
  std::uint8_t low;
  std::uint8_t high;
};

// The length of the well-formed sequence at text[i] and its code point; 0 when
// there is none. The ranges of the second byte per lead byte come from the
// table of well-formed sequences, not from limits on the decoded value.
std::size_t well_formed(const std::string& text, std::size_t i, std::uint32_t& code_point) {
  const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(text[i + k]); };
  const std::uint8_t lead = at(0);
  std::size_t length = 0;
  Range second{0x80, 0xBF};
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3, second = {0xA0, 0xBF};
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    length = 3;
  } else if (lead == 0xED) {
    length = 3, second = {0x80, 0x9F};
  } else if (lead == 0xF0) {
    length = 4, second = {0x90, 0xBF};
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4, second = {0x80, 0x8F};
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (at(1) < second.low || at(1) > second.high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (at(k) < 0x80 || at(k) > 0xBF) return 0;
  }
  static constexpr std::uint8_t kLeadMask[] = {0, 0, 0x1F, 0x0F, 0x07};
  code_point = lead & kLeadMask[length];
  for (std::size_t k = 1; k < length; ++k) code_point = code_point * 64 + (at(k) & 0x3Fu);
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<std::uint8_t> expected;
  bool refused = false;
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code_point = 0;
    const std::size_t length = well_formed(text, i, code_point);
    if (length == 0) {
      expected.push_back(static_cast<std::uint8_t>(text[i]));
      ++i;
    } else if (code_point > 0xFF) {
      refused = true;
      break;
    } else {
      expected.push_back(static_cast<std::uint8_t>(code_point));
      i += length;
    }
  }

  std::ostringstream out;
  tarnlink::PayloadSize payload_size;
  const tarnlink::Payload payload = tarnlink::MakeStringPayload(out, payload_size, text);
  if (refused) {
    if (payload != nullptr || out.str().empty()) std::abort();
    return 0;
  }
  if (payload == nullptr || !out.str().empty()) std::abort();
  const std::int32_t count = tarnlink::PayloadCount(payload_size);
  if (count < 0 || static_cast<std::size_t>(count) != expected.size()) std::abort();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (payload[i] != expected[i]) std::abort();
  }
  if (payload[expected.size()] != 0) std::abort();
  return 0;
}
