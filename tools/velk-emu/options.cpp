#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "base/safe_text.h"

namespace velk_emu {
namespace {

// A plain decimal number from `min` to `max`: no sign, no blanks, no suffix.
bool parse_number(const std::string& text, std::uint64_t min, std::uint64_t max,
                  std::uint64_t& value) {
  if (text.empty() || text.size() > 20 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

bool parse_signed32(const std::string& text, std::int32_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  std::uint64_t magnitude = 0;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (!parse_number(negative ? text.substr(1) : text, 0, limit, magnitude)) return false;
  const auto wide = static_cast<std::int64_t>(magnitude);
  value = static_cast<std::int32_t>(negative ? -wide : wide);
  return true;
}

bool parse_answer(const std::string& mode, Options& options) {
  if (mode == "echo") {
    options.answer = AnswerMode::kEcho;
  } else if (mode == "silent") {
    options.answer = AnswerMode::kSilent;
  } else if (mode.rfind("file:", 0) == 0 && mode.size() > 5) {
    options.answer = AnswerMode::kFile;
    options.answer_file = mode.substr(5);
  } else if (mode.rfind("pattern:", 0) == 0 &&
             parse_number(mode.substr(8), 0, kMaxPatternSize, options.pattern_size)) {
    options.answer = AnswerMode::kPattern;
  } else {
    return false;
  }
  return true;
}

bool parse_fault(const std::string& spec, Faults& faults) {
  if (spec == "busy") {
    faults.busy = true;
    return true;
  }
  if (spec == "empty-readback") {
    faults.empty_readback = true;
    return true;
  }
  const auto colon = spec.find(':');
  if (colon == std::string::npos) return false;
  const std::string kind = spec.substr(0, colon);
  const std::string value = spec.substr(colon + 1);
  if (kind == "readback") {
    std::int32_t readback = 0;
    if (!parse_signed32(value, readback)) return false;
    faults.readback = readback;
    return true;
  }
  std::vector<std::uint32_t>* list = kind == "short-write"  ? &faults.short_writes
                                     : kind == "write-error" ? &faults.write_errors
                                     : kind == "read-error"  ? &faults.read_errors
                                     : kind == "disconnect"  ? &faults.disconnects
                                                             : nullptr;
  std::uint64_t number = 0;
  if (list == nullptr || !parse_number(value, 1, std::numeric_limits<std::uint32_t>::max(), number)) {
    return false;
  }
  list->push_back(static_cast<std::uint32_t>(number));
  return true;
}

// Names that every Windows path and device interface reference can carry as they are.
bool valid_bridge_device_name(const std::string& name) {
  return !name.empty() && name.size() <= 64 &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
         });
}

// A serial number that a string descriptor carries and a device path shows as it is.
bool valid_serial_name(const std::string& name) {
  return !name.empty() && name.size() <= 126 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  });
}

bool parse_usb_id(const std::string& text, Options& options) {
  const auto hex4 = [&](std::size_t at, std::uint16_t& value) {
    const std::string digits = text.substr(at, 4);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(c) != 0; })) {
      return false;
    }
    value = static_cast<std::uint16_t>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
  };
  return text.size() == 9 && text[4] == ':' && hex4(0, options.usb_vendor) &&
         hex4(5, options.usb_product);
}

// Where --usb comes before any "--": it chooses the transport, wherever it stands.
bool wants_usb(int argc, const char* const* argv) {
  for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
    if (std::string(argv[i]) == "--usb") return true;
  }
  return false;
}

}  // namespace

const Transport kDriverBridge{"velk-usb-1-1-sn0001", false, valid_bridge_device_name};
const Transport kUsbBus{"SN0001", false, valid_serial_name};

std::string usage(const Transport& transport) {
  return std::string("usage: velk-emu ") + (transport.takes_dir ? "[--dir DIR] " : "") +
         "[--device NAME]... [--answer MODE] [--answer-delay MS]\n"
         "                [--capture DIR] [--fault SPEC]... [--rate BYTES_PER_S]\n" +
         (transport.usb == nullptr
              ? ""
              : "       velk-emu --usb [--device NAME]... [--answer MODE] [--answer-delay MS]\n"
                "                [--capture DIR] [--fault SPEC]... [--rate BYTES_PER_S]\n"
                "                [--usb-id VVVV:PPPP] -- COMMAND [ARG...]\n") +
         "  MODE: echo | file:PATH | pattern:N | silent\n"
         "  SPEC: short-write:K | write-error:K | read-error:K | disconnect:K | readback:V |\n"
         "        empty-readback | busy\n";
}

std::string requested_text(const Options& options, const Transport& transport) {
  switch (options.asked) {
    case Request::kHelp:
      return usage(transport);
    case Request::kVersion:
      return "velk-emu " VELK_EMU_VERSION "\n";
    case Request::kServe:
      break;
  }
  return "";
}

bool listed(const std::vector<std::uint32_t>& list, std::uint32_t number) {
  return std::find(list.begin(), list.end(), number) != list.end();
}

bool parse_options(int argc, const char* const* argv, const Transport& given, Options& options,
                   std::string& error) {
  options.usb = given.usb != nullptr && wants_usb(argc, argv);
  const Transport& transport = options.usb ? *given.usb : given;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (options.usb && option == "--usb") continue;
    if (options.usb && option == "--") {
      options.command.assign(argv + i + 1, argv + argc);
      break;
    }
    // Everything after "--" is the command's own, its --help included.
    if (option == "--help" || option == "--version") {
      options.asked = option == "--help" ? Request::kHelp : Request::kVersion;
      return true;
    }
    if (options.usb && option == "--dir") {
      error = "--dir cannot be used with --usb";
      return false;
    }
    if ((option != "--dir" || !transport.takes_dir) && (option != "--usb-id" || !options.usb) &&
        option != "--device" &&
        option != "--answer" && option != "--answer-delay" && option != "--capture" &&
        option != "--fault" && option != "--rate") {
      error = "unknown option '" + option + "'";
      return false;
    }
    if (i + 1 >= argc) {
      error = "option " + option + " needs a value";
      return false;
    }
    const std::string value = argv[++i];
    std::uint64_t number = 0;
    if (option == "--dir") {
      if (value.empty()) {
        error = "--dir needs a directory";
        return false;
      }
      options.dir = value;
    } else if (option == "--usb-id") {
      if (!parse_usb_id(value, options)) {
        error = "invalid USB ID '" + value + "'";
        return false;
      }
    } else if (option == "--device") {
      // The name ends up in the path every client shows: a control byte in it
      // would reach their terminals.
      const std::string shown = tarnlink::replace_unsafe_bytes(
          value, '?', tarnlink::KeepBytes::kAllButControls);
      if (shown != value || !transport.valid_device_name(value)) {
        error = "invalid device name '" + shown + "'";
        return false;
      }
      if (std::find(options.devices.begin(), options.devices.end(), value) != options.devices.end()) {
        error = "device '" + value + "' given twice";
        return false;
      }
      options.devices.push_back(value);
    } else if (option == "--answer") {
      if (!parse_answer(value, options)) {
        error = "invalid answer mode '" + value + "'";
        return false;
      }
    } else if (option == "--answer-delay") {
      if (!parse_number(value, 0, 86400000, number)) {
        error = "invalid answer delay '" + value + "'";
        return false;
      }
      options.answer_delay = std::chrono::milliseconds(number);
    } else if (option == "--capture") {
      if (value.empty()) {
        error = "--capture needs a directory";
        return false;
      }
      options.capture_dir = value;
    } else if (option == "--fault") {
      if (!parse_fault(value, options.faults)) {
        error = "invalid fault '" + value + "'";
        return false;
      }
    } else {
      if (!parse_number(value, 1, std::uint64_t{1} << 40, number)) {
        error = "invalid rate '" + value + "'";
        return false;
      }
      options.rate = number;
    }
  }
  if (options.usb && options.command.empty()) {
    error = "--usb needs a COMMAND after --";
    return false;
  }
  // On USB the link timeout lives on the host: nothing would answer them.
  if (options.usb && (options.faults.readback || options.faults.empty_readback)) {
    error = "faults readback and empty-readback cannot be used with --usb";
    return false;
  }
  if (options.devices.empty()) options.devices.push_back(transport.default_device);
  return true;
}

}  // namespace velk_emu
