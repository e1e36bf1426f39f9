// The program's texts as its tests expect them, byte for byte, and the data
// the tests send.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarnlink::testing {

inline const std::string kBanner = "tarnlink ver 2.3 - Morlend - DRQ \n";
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

// The payload file or string refused, and the answer's file that failed.
inline const std::string kUnableToOpen = "Unable to open file\n";
inline const std::string kUnableToRead = "Unable to read file\n";
inline const std::string kFileTooLarge = "File too large\n";
inline const std::string kNotEnoughMemory = "Not enough memory\n";
inline const std::string kAboveLatin1 = "Character above U+00FF in string\n";
inline const std::string kFirmwareTooShort = "Firmware image too short\n";
inline const std::string kFirmwareTooLarge = "Firmware image too large\n";
inline const std::string kUnableToCreate = "Unable to create file\n";
inline const std::string kUnableToWrite = "Unable to write file\n";

// No instrument to connect to, a listing that failed, and a job whose listing
// failed before it found one.
inline const std::string kNotFound = "Device not found!\n";
inline const std::string kEnumerationError = "Error - GetCountActiveDevices\n";
inline const std::string kListingFailed = kEnumerationError + kNotFound;

// `lines` followed by `more`: expected logs are built from pieces.
inline std::vector<std::string> concat(std::vector<std::string> lines,
                                       const std::vector<std::string>& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

// A progress or summary text of the block sender and the receiver: 30
// backspaces, then the text.
inline std::string progress(const std::string& text) { return std::string(30, '\b') + text; }

// The progress texts a send of `total` bytes shows up to its block `blocks`
// (from 1): one before every third block, with the bytes sent before it.
inline std::string send_progress(std::size_t blocks, std::size_t total) {
  std::string shown;
  for (std::size_t block = 3; block <= blocks; block += 3) {
    shown += progress(std::to_string((block - 1) * 4096) + " / " + std::to_string(total));
  }
  return shown;
}

// What a whole send of `size` bytes shows: its progress texts, then the total.
inline std::string sent(std::size_t size) {
  return send_progress((size + 4095) / 4096, size) +
         progress("Send: " + std::to_string(size) + " bytes\n");
}

// A failed step, and Esc held.
inline const std::string kErrorLine = "    Error ! \n";
inline const std::string kBreakLine = "    Break ! \n";

// What sending 10000 bytes shows, and the instrument's capture log of its blocks.
inline const std::string kSent10000 = progress("8192 / 10000") + progress("Send: 10000 bytes\n");
inline const std::vector<std::string> kWrites10000 = {"write 4096", "write 4096", "write 1808"};

// The handshake after the open, as the instrument's capture log and the fake
// platform's record show it, and the capture log of a connection: the open and
// the handshake.
inline const std::vector<std::string> kHandshake = {
    "get-timeout -> 80000000", "set-timeout 80000000", "get-timeout -> 80000000"};
inline const std::vector<std::string> kHandshakeLog = concat({"open"}, kHandshake);

// The capture log of a connection whose read-back answers `readback` (a value,
// or "empty") instead of the timeout just set: the handshake fails and closes.
inline std::vector<std::string> refused_handshake_log(const std::string& readback) {
  return {"open", "get-timeout -> " + readback, "set-timeout 80000000",
          "get-timeout -> " + readback, "close"};
}

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

// A firmware image of 10000 bytes whose bytes 30 to 32 are marked, and the
// preamble sent before it: those three bytes, then 10000 / 3 = 3333 = 0x000D05
// in three bytes, then three zeros.
inline std::string firmware_image_10000() {
  std::string image = sample_bytes(10000);
  image.replace(30, 3, "\x11\x22\x33");
  return image;
}
inline const std::string kPreamble10000("\x11\x22\x33\x05\x0D\x00\x00\x00\x00", 9);

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
