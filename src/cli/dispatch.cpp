#include "cli/dispatch.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <string_view>
#include <system_error>

#include "device/connection.h"
#include "base/driver_contract.h"
#include "transfer/block_sender.h"
#include "base/console.h"
#include "transfer/firmware.h"
#include "base/native_text.h"
#include "base/safe_text.h"
#include "transfer/payload.h"
#include "transfer/receiver.h"

namespace tarnlink {
namespace {

constexpr std::string_view kBanner = "tarnlink ver 2.3 - Morlend - DRQ ";
constexpr std::string_view kUsage[] = {
    "tarnlink <filename>  - send <filename> to VELK Device",
    "tarnlink <filename> /M - send <filename> to VELK Device as Firmware",
    // clang-format off
    "tarnlink <filename1> <filename2> [/T<n>] - send <filename> to VELK Device and read <filename2> from VELK Device",
    "     [/T<n>] - optional TimeOut",
    "tarnlink <string> <filename> /S [/T<n>] - send sequence of characters <string> to VELK Device and read <filneme> from VELK Device",
    "     [/T<n>] - optional TimeOut i mili second",
    "     - if filename is CON as output - it'll be screen",
    "     - default timeout is 8 sek",
    "tarnlink <filename> /U <USBName> - send <filename> to Velk Device connected by <USBName> port.",
    // clang-format on
};
// The forms beyond the nine usage lines.
constexpr std::string_view kMoreUsage[] = {
    "tarnlink /L - list the VELK Devices present: index and device path, one a line",
    "tarnlink /? - show this help",
    "tarnlink --help - show this help",
    "tarnlink --version - show the version",
};
// A bad form of four arguments, and of five or more.
constexpr std::string_view kInvalidFour = " Invalid  parameters";
constexpr std::string_view kInvalidMore = "  Invalid  parameters";

// The largest count of milliseconds whose 100-ns units fit a signed 32-bit timeout.
constexpr std::int32_t kMaxTimeoutMilliseconds =
    std::numeric_limits<std::int32_t>::max() / contract::kUnitsPerMillisecond;

enum class JobKind { kSend, kFirmware, kSendReceive, kStringReceive, kNamedSend };

struct Job {
  JobKind kind = JobKind::kSend;
  bool has_timeout = false;
  std::int32_t timeout_ms = 0;

  bool receives() const { return kind == JobKind::kSendReceive || kind == JobKind::kStringReceive; }
};

// Every word the program reads as a switch, alone or in a form.
constexpr std::string_view kSwitches[] = {"/M", "/S", "/T", "/U", "/L", "/?", "--help",
                                          "--version"};

bool is_switch(const NativeString& word) {
  return std::any_of(std::begin(kSwitches), std::end(kSwitches),
                     [&](std::string_view name) { return equals_ignoring_case(word, name); });
}

// Chooses the job from the argument count and the switches at fixed places.
// False, after printing the message, for a form that is not valid.
bool choose_job(int argc, const NativeChar* const* argv, std::ostream& out, Job& job) {
  const auto is = [&](int i, std::string_view word) {
    return equals_ignoring_case(NativeString(argv[i]), word);
  };
  const auto timeout_from = [&](int i) {
    job.has_timeout = ParseTimeoutMilliseconds(argv[i], job.timeout_ms);
    return job.has_timeout;
  };
  bool valid = true;
  switch (argc) {
    case 2:
      job.kind = JobKind::kSend;
      break;
    case 3:
      job.kind = is(2, "/M") ? JobKind::kFirmware : JobKind::kSendReceive;
      break;
    case 4:
      if (is(3, "/S")) {
        job.kind = JobKind::kStringReceive;
      } else if (is(2, "/U")) {
        job.kind = JobKind::kNamedSend;
      } else {
        write_line(out, kInvalidFour);
        return false;
      }
      break;
    case 5:
      job.kind = JobKind::kSendReceive;
      valid = is(3, "/T") && timeout_from(4);
      break;
    case 6:
      job.kind = JobKind::kStringReceive;
      valid = is(4, "/T") && is(3, "/S") && timeout_from(5);
      break;
    default:
      // Seven or more arguments name no job: saying nothing and exiting 0 would
      // report success for work that was never done.
      valid = false;
      break;
  }
  // A switch where the answer's file name belongs is a mistyped form, not a name:
  // taken as one, the job would send to an instrument nobody chose and store the
  // answer in a file at the root.
  if (valid && job.receives() && is_switch(argv[2])) valid = false;
  if (!valid) write_line(out, kInvalidMore);
  return valid;
}

// The answer went to the screen; whether it got there is known only once the
// output is flushed. When it did not, standard error is the one place left to
// say so.
int check_screen_output(std::ostream& out, std::ostream& err) {
  out.flush();
  if (out.good()) return 0;
  const int error = write_error(out);
  write_line(err, "Unable to write standard output: " +
                      std::generic_category().message(error != 0 ? error : EIO));
  return -1;
}

// Why the chosen instrument could not be opened, as the operator is told it;
// empty when that is not known.
std::string_view open_failure_text(OpenFailure failure) {
  switch (failure) {
    case OpenFailure::kPermission:
      return "permission denied; see the udev rule "
             "/usr/share/doc/tarnlink/examples/70-tarnlink.rules";
    case OpenFailure::kHeld:
      return "another program holds it";
    case OpenFailure::kKernelDriver:
      return "a kernel driver holds its interface";
    case OpenFailure::kGone:
      return "it is gone";
    case OpenFailure::kFailed:
      return "the system refused to open it";
    case OpenFailure::kUnknown:
      break;
  }
  return {};
}

// A connection that failed says nothing on standard output; why the open failed,
// when it is known, goes to standard error, where it leaves the output as it is.
void report_refused_open(const DeviceAccess& device, std::ostream& err) {
  const OpenRefusal& refused = device.refused_open();
  const std::string_view why = open_failure_text(refused.failure);
  if (why.empty()) return;
  write_line(err, "Unable to open " +
                      replace_unsafe_bytes(console_text(refused.path), '?',
                                           KeepBytes::kAllButControls) +
                      ": " + std::string(why));
}

// The steps after the payload: connect, then send and receive, with an Esc test
// between the steps. `answer_file` is open when the answer goes to a file. -1 at
// the first step that fails.
int run_job(const Job& job, const NativeChar* const* argv, DeviceAccess& device, std::ostream& out,
            std::ostream& err, const Payload& payload, PayloadSize size, AnswerFile* answer_file) {
  const std::int32_t connected = job.kind == JobKind::kNamedSend
                                     ? ConnectByName(device, out, argv[3])
                                     : ConnectDefault(device, out);
  if (connected != 0) {
    report_refused_open(device, err);
    return -1;
  }
  if (job.has_timeout) device.SetTimeout(job.timeout_ms * contract::kUnitsPerMillisecond);
  if (CheckBreak(device, out)) return -1;

  switch (job.kind) {
    case JobKind::kSend:
    case JobKind::kNamedSend:
      return SendBuffer(device, out, payload.get(), size) == 0 ? 0 : -1;
    case JobKind::kFirmware:
      if (SendFirmwarePreamble(device, out, payload.get(), size) != 0) return -1;
      if (CheckBreak(device, out)) return -1;
      return SendBuffer(device, out, payload.get(), size) == 0 ? 0 : -1;
    case JobKind::kSendReceive:
    case JobKind::kStringReceive:
      if (SendBuffer(device, out, payload.get(), size) != 0) return -1;
      if (CheckBreak(device, out)) return -1;
      if (answer_file != nullptr) return ReceiveAnswer(device, out, *answer_file) == 0 ? 0 : -1;
      if (ReceiveAnswer(device, out, argv[2]) != 0) return -1;
      return check_screen_output(out, err);
  }
  return -1;
}

}  // namespace

bool CheckBreak(DeviceAccess& device, std::ostream& out) {
  if (!device.platform().escape_held()) return false;
  write_line(out, "    Break ! ");
  return true;
}

bool ParseTimeoutMilliseconds(const NativeString& text, std::int32_t& milliseconds) {
  if (text.empty()) return false;
  std::int32_t value = 0;
  for (const NativeChar c : text) {
    if (c < NativeChar('0') || c > NativeChar('9')) return false;
    value = value * 10 + static_cast<std::int32_t>(c - NativeChar('0'));
    if (value > kMaxTimeoutMilliseconds) return false;
  }
  milliseconds = value;
  return true;
}

int RunTarnlink(int argc, const NativeChar* const* argv, DeviceAccess& device, std::ostream& out,
                std::ostream& err) {
  write_line(out, kBanner);
  if (argc < 2) {
    for (const std::string_view line : kUsage) write_line(out, line);
    return 0;
  }
  if (argc == 2) {
    const NativeString only(argv[1]);
    if (equals_ignoring_case(only, "/L")) return ListInstruments(device, out);
    if (equals_ignoring_case(only, "/?") || equals_ignoring_case(only, "--help")) {
      for (const std::string_view line : kUsage) write_line(out, line);
      for (const std::string_view line : kMoreUsage) write_line(out, line);
      return 0;
    }
    if (equals_ignoring_case(only, "--version")) return 0;
  }
  Job job;
  if (!choose_job(argc, argv, out, job)) return -1;

  PayloadSize size;
  const Payload payload = job.kind == JobKind::kStringReceive
                              ? MakeStringPayload(out, size, argv[1])
                              : LoadFile(out, size, argv[1]);
  // The break test comes before the payload is looked at: a failed load with Esc
  // held reports both.
  if (CheckBreak(device, out)) return -1;
  if (!payload) return -1;
  if (CheckBreak(device, out)) return -1;
  // What the job cannot do with its payload or its output is found out before an
  // instrument is opened. An answer file made here goes again if no answer comes.
  if (job.kind == JobKind::kFirmware && !FirmwareImageFits(out, size)) return -1;
  AnswerFile answer_file;
  const bool to_file = job.receives() && !IsScreenName(argv[2]);
  if (to_file && !answer_file.open(out, argv[2])) return -1;
  return run_job(job, argv, device, out, err, payload, size, to_file ? &answer_file : nullptr);
}

}  // namespace tarnlink
