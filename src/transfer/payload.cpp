#include "transfer/payload.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <system_error>

#include "base/console.h"

namespace tarnlink {

std::int32_t PayloadCount(PayloadSize size) {
  // Only the low 32 bits of the position count; the sum wraps like the stream's own.
  const auto sum = static_cast<std::uint32_t>(size.offset) +
                   static_cast<std::uint32_t>(static_cast<std::uint64_t>(size.position));
  return static_cast<std::int32_t>(sum);
}

Payload LoadFile(std::ostream& out, PayloadSize& size, const NativeString& name) {
  const std::filesystem::path path(name);
  // Only a regular file has a length to read up to; a directory, a FIFO or a
  // device would open as a stream and then block or never end.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    write_line(out, "Unable to open file");
    return nullptr;
  }
  std::ifstream file(path, std::ios::in | std::ios::binary | std::ios::ate);
  if (!file.is_open()) {
    write_line(out, "Unable to open file");
    return nullptr;
  }
  const std::streampos end = file.tellg();
  if (end == std::streampos(-1)) {
    write_line(out, "Unable to open file");
    return nullptr;
  }
  const std::streamoff length = end;
  if (length > std::numeric_limits<std::int32_t>::max()) {
    write_line(out, "File too large");
    return nullptr;
  }
  PayloadSize loaded;
  loaded.offset = 0;
  loaded.position = length;
  const std::int32_t count = PayloadCount(loaded);

  const auto length_bytes = static_cast<std::size_t>(count);
  Payload bytes(new (std::nothrow) std::uint8_t[length_bytes]);
  if (bytes == nullptr) {
    write_line(out, "Not enough memory");
    return nullptr;
  }
  file.seekg(0, std::ios::beg);
  file.read(reinterpret_cast<char*>(bytes.get()), count);
  // The file must end exactly where its length said: a file that shrank or grew
  // while loading, or that reports no length (/proc), would send the wrong bytes.
  const bool whole = file.gcount() == count &&
                     file.peek() == std::ifstream::traits_type::eof() && file.eof();
  if (!whole) {
    write_line(out, "Unable to read file");
    return nullptr;
  }
  size = loaded;
  return bytes;
}

namespace {

// ISO 8859-1 bytes of the text, or false when a character lies above U+00FF.
#ifdef _WIN32
bool latin1_bytes(const NativeString& text, std::string& bytes) {
  for (const wchar_t unit : text) {
    if (static_cast<std::uint32_t>(unit) > 0xFF) return false;  // surrogates included
  }
  // In the C locale, which the program never changes, the C library maps
  // U+0000..U+00FF to the byte of the same value. A library that converts
  // fewer would leave zero bytes in the payload: that text is refused too.
  bytes.assign(text.size() + 1, '\0');
  if (std::wcstombs(bytes.data(), text.c_str(), bytes.size()) != text.size()) return false;
  bytes.resize(text.size());
  return true;
}
#else
// Length of the valid UTF-8 sequence at text[i] and its code point; 0 when the
// byte does not start one (it then stands for itself).
std::size_t utf8_sequence(const std::string& text, std::size_t i, std::uint32_t& code_point) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length;
  std::uint32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code_point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code_point = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0u) != 0x80u) return 0;
    code_point = (code_point << 6) | (next & 0x3Fu);
  }
  if (code_point < minimum || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool latin1_bytes(const NativeString& text, std::string& bytes) {
  bytes.clear();
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code_point = 0;
    const std::size_t length = utf8_sequence(text, i, code_point);
    if (length == 0) {
      bytes.push_back(text[i]);
      i += 1;
      continue;
    }
    if (code_point > 0xFF) return false;
    bytes.push_back(static_cast<char>(code_point));
    i += length;
  }
  return true;
}
#endif

}  // namespace

Payload MakeStringPayload(std::ostream& out, PayloadSize& size, const NativeString& text) {
  std::string bytes;
  if (!latin1_bytes(text, bytes)) {
    write_line(out, "Character above U+00FF in string");
    return nullptr;
  }
  const auto count = static_cast<std::int32_t>(bytes.size());
  Payload array(new std::uint8_t[bytes.size() + 1]);
  std::copy(bytes.begin(), bytes.end(), array.get());
  array[bytes.size()] = 0;
  size = PayloadSize{};
  size.offset = count;
  return array;
}

}  // namespace tarnlink
