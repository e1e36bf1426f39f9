// velk-emu's command line:
//   velk-emu [--dir DIR] [--device NAME]... [--answer MODE] [--answer-delay MS]
//            [--capture DIR] [--fault SPEC]... [--rate BYTES_PER_S]
//   velk-emu --help | --version
//   velk-emu --usb [--device NAME]... [--answer MODE] [--answer-delay MS]
//            [--capture DIR] [--fault SPEC]... [--rate BYTES_PER_S]
//            [--usb-id VVVV:PPPP] -- COMMAND [ARG...]
// --dir belongs to the Linux service alone, --usb to Linux.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velk_emu {

// Largest pattern answer, so that a typo cannot eat the machine's memory.
inline constexpr std::uint64_t kMaxPatternSize = std::uint64_t{1} << 32;

enum class AnswerMode { kEcho, kFile, kPattern, kSilent };

// What the command line asks for: instruments to serve, or a text to print.
enum class Request { kServe, kHelp, kVersion };

// Faults apply to every instrument of the process; write and read numbers count
// from 1 at each open.
struct Faults {
  std::vector<std::uint32_t> short_writes;  // these writes take one byte fewer
  std::vector<std::uint32_t> write_errors;  // these writes fail
  std::vector<std::uint32_t> read_errors;   // these reads fail
  std::vector<std::uint32_t> disconnects;   // the instrument vanishes after these writes
  std::optional<std::int32_t> readback;     // get-timeout always answers this
  bool empty_readback = false;              // get-timeout answers no bytes
  bool busy = false;                        // every open is refused
};

struct Options {
  std::string dir;  // empty: $VELK_DEVICE_DIR, else /run/velk
  std::vector<std::string> devices;
  AnswerMode answer = AnswerMode::kEcho;
  std::string answer_file;
  std::uint64_t pattern_size = 0;
  std::chrono::milliseconds answer_delay{0};
  std::string capture_dir;  // empty: no capture
  Faults faults;
  std::uint64_t rate = 0;  // bytes per second each way; 0: unlimited
  Request asked = Request::kServe;
  // --usb: the instruments sit on an emulated USB bus, and `command` runs inside it.
  bool usb = false;
  std::uint16_t usb_vendor = 0x1209;
  std::uint16_t usb_product = 0x0001;
  std::vector<std::string> command;
};

// What the command line of one transport allows beyond the common options.
struct Transport {
  const char* default_device;
  bool takes_dir;  // --dir DIR: where the instruments are published
  bool (*valid_device_name)(const std::string& name);
  // The transport that --usb switches to; null where there is no USB bus.
  const Transport* usb = nullptr;
};

// The emulated USB bus: no --dir; a NAME, the serial number, is 1 to 126
// letters, digits and dashes.
extern const Transport kUsbBus;

// The Windows bridge: no --dir; a NAME is 1 to 64 lower-case letters, digits
// and dashes.
extern const Transport kDriverBridge;

// Parses argv[1..argc-1] as `transport`'s command line. On failure returns
// false with a one-line reason in `error`. Fills in the default device when
// none is given. --help or --version ends the parse with options.asked set.
bool parse_options(int argc, const char* const* argv, const Transport& transport, Options& options,
                   std::string& error);

// The usage text of `transport`'s command line, ending in a newline.
std::string usage(const Transport& transport);

// What --help (the usage) or --version asked for, for standard output; "" when
// the command line asks to serve.
std::string requested_text(const Options& options, const Transport& transport);

// Whether `number` (a write or read count) is among `list`.
bool listed(const std::vector<std::uint32_t>& list, std::uint32_t number);

}  // namespace velk_emu
