// The program's fixed texts as its tests expect them, byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarnlink::testing {

inline const std::string kBannerLine = "tarnlink ver 2.3 - Morlend - DRQ \n";
// The nine usage lines.
inline const std::string kUsage =
    "tarnlink <filename>  - send <filename> to VELK Device\n"
    "tarnlink <filename> /M - send <filename> to VELK Device as Firmware\n"
    "tarnlink <filename1> <filename2> [/T<n>] - send <filename> to VELK Device and read "
    "<filename2> from VELK Device\n"
    "     [/T<n>] - optional TimeOut\n"
    "tarnlink <string> <filename> /S [/T<n>] - send sequence of characters <string> to VELK "
    "Device and read <filneme> from VELK Device\n"
    "     [/T<n>] - optional TimeOut i mili second\n"
    "     - if filename is CON as output - it'll be screen\n"
    "     - default timeout is 8 sek\n"
    "tarnlink <filename> /U <USBName> - send <filename> to Velk Device connected by <USBName> "
    "port.\n";
inline const std::string kInvalidFour = " Invalid  parameters\n";
inline const std::string kInvalidMore = "  Invalid  parameters\n";


// A progress or summary text of the block sender and the receiver: 30
// backspaces, then the text.
inline std::string progress(const std::string& text) { return std::string(30, '\b') + text; }

// The step failure line, and what sending 10000 bytes shows.
inline const std::string kErrorLine = "    Error ! \n";
inline const std::string kSent10000 = progress("8192 / 10000") + progress("Send: 10000 bytes\n");

// The instrument's capture log of a connection: the open and the handshake.
inline const std::vector<std::string> kHandshakeLog = {
    "open", "get-timeout -> 80000000", "set-timeout 80000000", "get-timeout -> 80000000"};

// Test data: `size` bytes that differ from their neighbours, and the emulator's
// pattern answer (byte i is i % 251).
inline std::string sample_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 256);
  return bytes;
}
inline std::string pattern_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

// `text` with every line ended by CR LF, as a Windows program's text-mode
// output stores it.
inline std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace tarnlink::testing
