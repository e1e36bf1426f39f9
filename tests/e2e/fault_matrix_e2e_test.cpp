// Every fault velk-emu can inject, against every job where it can strike, in the
// device directory and on the emulated USB bus, plus an emulator killed or
// stopped in the middle of a transfer and an instrument that never answers. Each case checks what the operator saw, the exit status, what
// reached the instrument, what was stored of its answer, and that the run ended.
//
// With TARNLINK_MATRIX_OUT set, each case appends one tab-separated row (job,
// fault, output after the banner, exit status, bytes at the instrument, bytes
// stored, verdict) to that file; make_reliability_doc.sh turns the rows into the
// reliability document.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "matrix_report.h"
#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kPayload = sample_bytes(10000);
const std::string kString = "*IDN?";
// Every job sees these two; the default choice is the last, /U picks the first.
const std::string kFirst = "usb-1-1-SN0001";
const std::string kLast = "usb-2-1-SN0002";
const std::string kSentString = progress("Send: 5 bytes\n");

enum class Job { kSend, kFirmware, kFileReceive, kScreenReceive, kNamedSend };

const char* job_name(Job job) {
  switch (job) {
    case Job::kSend:
      return "send";
    case Job::kFirmware:
      return "firmware /M";
    case Job::kFileReceive:
      return "send + receive to a file";
    case Job::kScreenReceive:
      return "string + receive to con";
    case Job::kNamedSend:
      return "named send /U";
  }
  return "";
}

bool timed(Job job) { return job == Job::kFileReceive || job == Job::kScreenReceive; }

// The log of a connection that got through the handshake, then `lines`.
std::vector<std::string> session(Job job, const std::vector<std::string>& lines) {
  std::vector<std::string> log = kHandshakeLog;
  if (timed(job)) log.push_back("set-timeout 3000000");
  log.insert(log.end(), lines.begin(), lines.end());
  return log;
}

// Sums the counts of the "read -> N" lines; the partial sums, in order, go to `sums`.
std::size_t bytes_read(const std::vector<std::string>& log,
                       std::vector<std::size_t>* sums = nullptr) {
  std::size_t total = 0;
  if (sums != nullptr) sums->assign(1, 0);
  for (const std::string& line : log) {
    if (line.rfind("read -> ", 0) != 0 || line == "read -> error") continue;
    total += std::stoul(line.substr(8));
    if (sums != nullptr) sums->push_back(total);
  }
  return total;
}

std::size_t count_lines(const std::vector<std::string>& log, const std::string& prefix) {
  std::size_t count = 0;
  for (const std::string& line : log) {
    if (line.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

struct FaultCase {
  std::string name;
  Job job;
  std::vector<std::string> emulator;  // --fault and anything else the case needs
  std::string shown;                  // output after the banner
  int exit_status;
  std::vector<std::string> log;       // the whole capture log of the instrument used
  std::size_t at_instrument;          // leading bytes of the job's stream that got there
  std::optional<std::size_t> stored;  // bytes in the output file; none: no file made
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultMatrixBase : public ReportedTest {
 protected:
  // Both instruments, with `args` (faults, answer, rate) for each.
  Emulator* instruments(std::vector<std::string> args) {
    args.insert(args.begin(), {"--device", kFirst, "--device", kLast});
    return start_emulator(args);
  }

  static const std::string& target(Job job) { return job == Job::kNamedSend ? kFirst : kLast; }

  std::string output_path() const { return root() + "/answer.bin"; }

  std::vector<std::string> arguments(Job job, const std::string& payload_file) const {
    switch (job) {
      case Job::kSend:
        return {payload_file};
      case Job::kFirmware:
        return {payload_file, "/M"};
      case Job::kFileReceive:
        return {payload_file, output_path(), "/T", "300"};
      case Job::kScreenReceive:
        return {kString, "con", "/S", "/T", "300"};
      case Job::kNamedSend:
        return {payload_file, "/U", "SN0001"};
    }
    return {};
  }

  // The bytes the job means the instrument to get, in order.
  static std::string stream(Job job, const std::string& payload) {
    if (job == Job::kScreenReceive) return kString;
    if (job != Job::kFirmware) return payload;
    // 10000 / 3 = 3333 = 0x000D05.
    return payload.substr(30, 3) + std::string("\x05\x0D\x00\x00\x00\x00", 6) + payload;
  }

  // Waits, at most `limit`, until the capture log of `name` satisfies `done`.
  // Woken by the log's changes, not by polling on a timer.
  bool wait_for_log(const std::string& name,
                    const std::function<bool(const std::vector<std::string>&)>& done,
                    std::chrono::milliseconds limit) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) return false;
    inotify_add_watch(watch, capture_dir().c_str(), IN_MODIFY | IN_CREATE);
    const auto deadline = Clock::now() + limit;
    bool reached = false;
    for (;;) {
      if (done(log_of(name))) {
        reached = true;
        break;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd entry{watch, POLLIN, 0};
      if (poll(&entry, 1, static_cast<int>(left.count())) > 0) {
        char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
      }
    }
    close(watch);
    return reached;
  }

  // Runs tarnlink with `args` while the caller goes on; the run has its own bound.
  std::future<RunResult> start_run(std::vector<std::string> args) {
    RunOptions options;
    options.limit = kRunLimit;
    return std::async(std::launch::async, [this, args, options] { return run(args, options); });
  }

  std::vector<std::string> check(const FaultCase& c, const RunResult& result);

  // The bound for a run that meets a fault: the longest wait the program may
  // make (8 s link timeout + 2 s, or the 5 s open) with room to spare.
  static constexpr std::chrono::milliseconds kRunLimit{25000};
  // The bound for the emulator to reach the point where the test interferes.
  static constexpr std::chrono::milliseconds kEventLimit{15000};

};

class FaultMatrixTest : public FaultMatrixBase, public ::testing::WithParamInterface<FaultCase> {};

// Checks one case's run, and returns its row of the reliability document.
std::vector<std::string> FaultMatrixBase::check(const FaultCase& c, const RunResult& result) {
  std::string fault;
  for (std::size_t i = 0; i + 1 < c.emulator.size(); ++i) {
    if (c.emulator[i] == "--fault") fault += (fault.empty() ? "" : " ") + c.emulator[i + 1];
    if (c.emulator[i] == "--answer")
      fault += (fault.empty() ? "" : ", ") + ("answer " + c.emulator[i + 1]);
  }
  const std::string sent = stream(c.job, kPayload);
  const std::string at_instrument = bin_of(target(c.job));
  const bool has_file = access(output_path().c_str(), F_OK) == 0;
  const std::string stored = read_file(output_path());

  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.output, kBanner + c.shown);
  EXPECT_EQ(result.exit_status, c.exit_status);
  EXPECT_EQ(log_of(target(c.job)), c.log);
  EXPECT_EQ(at_instrument, sent.substr(0, c.at_instrument));
  const std::string& other = target(c.job) == kFirst ? kLast : kFirst;
  EXPECT_TRUE(log_of(other).empty()) << other << " was touched";
  if (c.stored.has_value()) {
    EXPECT_TRUE(has_file) << "no output file";
    // The echo answers what was sent, so the file must hold its first bytes, and
    // every byte the instrument answered.
    EXPECT_EQ(stored, kPayload.substr(0, *c.stored));
    EXPECT_EQ(stored.size(), bytes_read(c.log));
  } else {
    EXPECT_FALSE(has_file) << "an output file was made";
  }
  return {job_name(c.job),
          fault,
          visible_after_banner(result.output),
          std::to_string(result.exit_status),
          std::to_string(at_instrument.size()) + " of " + std::to_string(sent.size()),
          c.job == Job::kScreenReceive ? "screen"
          : has_file                   ? std::to_string(stored.size())
                                       : "no file"};
}

TEST_P(FaultMatrixTest, OutcomeCaptureAndStoredAnswer) {
  const FaultCase& c = GetParam();
  ASSERT_NE(instruments(c.emulator), nullptr);
  RunOptions options;
  options.limit = kRunLimit;
  const RunResult result = run(arguments(c.job, input_file("payload.bin", kPayload)), options);
  stop_emulators();
  row_ = check(c, result);
}

// The same cases with both instruments on the emulated USB bus. Its rows are
// not in the document, whose tables are the device directory's.
class UsbFaultMatrixTest : public FaultMatrixBase, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UsbFaultMatrixTest, OutcomeCaptureAndStoredAnswer) {
  const FaultCase& c = GetParam();
  RunOptions options;
  options.limit = kRunLimit;
  const RunResult result =
      run_on_bus(concat({"--device", kFirst, "--device", kLast}, c.emulator),
                 arguments(c.job, input_file("payload.bin", kPayload)), options);
  check(c, result);
}

std::vector<std::string> fault(const std::string& spec) { return {"--fault", spec}; }

// A connection that fails its handshake: the same for every job.
std::vector<FaultCase> handshake_cases(const char* prefix, Job job) {
  const std::string name = prefix;
  return {
      {name + "Readback", job, fault("readback:0"), "", 255, refused_handshake_log("0"), 0,
       std::nullopt},
      {name + "EmptyReadback", job, fault("empty-readback"), "", 255,
       refused_handshake_log("empty"), 0, std::nullopt},
      {name + "Busy", job, fault("busy"), "", 255, {}, 0, std::nullopt},
  };
}

std::vector<FaultCase> all_cases() {
  std::vector<FaultCase> cases = {
      // Send: a failed block ends the send at once; the rest never goes out.
      {"Send_ShortWrite3", Job::kSend, fault("short-write:3"),
       progress("8192 / 10000") + kErrorLine, 255,
       session(Job::kSend, concat(kWrites10000, {"close"})), 8192 + 1807, std::nullopt},
      {"Send_WriteError2", Job::kSend, fault("write-error:2"), kErrorLine, 255,
       session(Job::kSend, {"write 4096", "write 4096", "close"}), 4096, std::nullopt},
      {"Send_Disconnect2", Job::kSend, fault("disconnect:2"), progress("8192 / 10000") + kErrorLine,
       255, session(Job::kSend, {"write 4096", "write 4096"}), 8192, std::nullopt},
      // Gone after the last block: everything got there, so the send succeeded.
      {"Send_Disconnect3", Job::kSend, fault("disconnect:3"), kSent10000, 0,
       session(Job::kSend, kWrites10000), 10000, std::nullopt},

      // Firmware: a failed preamble says nothing; a failed image block says Error.
      {"Firmware_ShortWrite1", Job::kFirmware, fault("short-write:1"), "", 255,
       session(Job::kFirmware, {"write 9", "close"}), 8, std::nullopt},
      {"Firmware_WriteError1", Job::kFirmware, fault("write-error:1"), "", 255,
       session(Job::kFirmware, {"write 9", "close"}), 0, std::nullopt},
      {"Firmware_WriteError3", Job::kFirmware, fault("write-error:3"), kErrorLine, 255,
       session(Job::kFirmware, {"write 9", "write 4096", "write 4096", "close"}), 9 + 4096,
       std::nullopt},
      {"Firmware_ShortWrite4", Job::kFirmware, fault("short-write:4"),
       progress("8192 / 10000") + kErrorLine, 255,
       session(Job::kFirmware, concat(concat({"write 9"}, kWrites10000), {"close"})),
       9 + 8192 + 1807, std::nullopt},
      {"Firmware_Disconnect1", Job::kFirmware, fault("disconnect:1"), kErrorLine, 255,
       session(Job::kFirmware, {"write 9"}), 9, std::nullopt},

      // Send and receive into a file: a failed send leaves no file; a failed or
      // vanished read ends the receive with what had arrived, and fails it.
      {"FileReceive_ShortWrite2", Job::kFileReceive, fault("short-write:2"), kErrorLine, 255,
       session(Job::kFileReceive, {"write 4096", "write 4096", "close"}), 4096 + 4095,
       std::nullopt},
      {"FileReceive_WriteError3", Job::kFileReceive, fault("write-error:3"),
       progress("8192 / 10000") + kErrorLine, 255,
       session(Job::kFileReceive, concat(kWrites10000, {"close"})), 8192, std::nullopt},
      {"FileReceive_Disconnect2", Job::kFileReceive, fault("disconnect:2"),
       progress("8192 / 10000") + kErrorLine, 255,
       session(Job::kFileReceive, {"write 4096", "write 4096"}), 8192, std::nullopt},
      {"FileReceive_Disconnect3", Job::kFileReceive, fault("disconnect:3"),
       kSent10000 + progress("Read: 0 bytes") + kErrorLine, 255,
       session(Job::kFileReceive, kWrites10000), 10000, 0},
      {"FileReceive_ReadError1", Job::kFileReceive, fault("read-error:1"),
       kSent10000 + progress("Read: 0 bytes") + kErrorLine, 255,
       session(Job::kFileReceive, concat(kWrites10000, {"read -> error", "close"})), 10000, 0},
      {"FileReceive_ReadError2", Job::kFileReceive, fault("read-error:2"),
       kSent10000 + progress("Read: 4 KB") + progress("Read: 4 KB") + kErrorLine, 255,
       session(Job::kFileReceive, concat(kWrites10000, {"read -> 4096", "read -> error", "close"})),
       10000, 4096},
      {"FileReceive_ReadError4", Job::kFileReceive, fault("read-error:4"),
       kSent10000 + progress("Read: 9 KB") + progress("Read: 9 KB") + kErrorLine, 255,
       session(Job::kFileReceive, concat(kWrites10000, {"read -> 4096", "read -> 4096",
                                                        "read -> 1808", "read -> error", "close"})),
       10000, 10000},

      // A string and its answer on the screen: a failed read prints nothing of
      // the answer, not even the bytes that came before the failure.
      {"ScreenReceive_ShortWrite1", Job::kScreenReceive, fault("short-write:1"), kErrorLine, 255,
       session(Job::kScreenReceive, {"write 5", "close"}), 4, std::nullopt},
      {"ScreenReceive_WriteError1", Job::kScreenReceive, fault("write-error:1"), kErrorLine, 255,
       session(Job::kScreenReceive, {"write 5", "close"}), 0, std::nullopt},
      {"ScreenReceive_Disconnect1", Job::kScreenReceive, fault("disconnect:1"), kSentString, 255,
       session(Job::kScreenReceive, {"write 5"}), 5, std::nullopt},
      {"ScreenReceive_ReadError1", Job::kScreenReceive, fault("read-error:1"), kSentString, 255,
       session(Job::kScreenReceive, {"write 5", "read -> error", "close"}), 5, std::nullopt},
      {"ScreenReceive_ReadError2", Job::kScreenReceive,
       concat(fault("read-error:2"), {"--answer", "pattern:5000"}), kSentString, 255,
       session(Job::kScreenReceive, {"write 5", "read -> 4096", "read -> error", "close"}), 5,
       std::nullopt},

      // Send to a named instrument: the same failures, and the other is untouched.
      {"NamedSend_ShortWrite1", Job::kNamedSend, fault("short-write:1"), kErrorLine, 255,
       session(Job::kNamedSend, {"write 4096", "close"}), 4095, std::nullopt},
      {"NamedSend_WriteError3", Job::kNamedSend, fault("write-error:3"),
       progress("8192 / 10000") + kErrorLine, 255,
       session(Job::kNamedSend, concat(kWrites10000, {"close"})), 8192, std::nullopt},
      {"NamedSend_Disconnect2", Job::kNamedSend, fault("disconnect:2"),
       progress("8192 / 10000") + kErrorLine, 255,
       session(Job::kNamedSend, {"write 4096", "write 4096"}), 8192, std::nullopt},

      // An instrument that never answers: the receive ends after the link
      // timeout. Into a file that is an empty answer; on the screen an empty line.
      {"FileReceive_Silent",
       Job::kFileReceive,
       {"--answer", "silent"},
       kSent10000 + progress("Read: 0 bytes"),
       0,
       session(Job::kFileReceive, concat(kWrites10000, {"read -> 0", "close"})),
       10000,
       0},
      {"ScreenReceive_Silent",
       Job::kScreenReceive,
       {"--answer", "silent"},
       kSentString + "\nRead 0 bytes \n",
       0,
       session(Job::kScreenReceive, {"write 5", "read -> 0", "close"}),
       5,
       std::nullopt},
  };
  for (const auto& [prefix, job] :
       std::vector<std::pair<const char*, Job>>{{"Send_", Job::kSend},
                                                {"Firmware_", Job::kFirmware},
                                                {"FileReceive_", Job::kFileReceive},
                                                {"ScreenReceive_", Job::kScreenReceive},
                                                {"NamedSend_", Job::kNamedSend}}) {
    const std::vector<FaultCase> more = handshake_cases(prefix, job);
    cases.insert(cases.end(), more.begin(), more.end());
  }
  return cases;
}

// The cases as they come out on the emulated USB bus, where the link timeout
// lives on the host: the instrument sees no timeout request and cannot answer
// one wrongly, a read that times out is given up by the host and not logged,
// and an instrument that disconnects is unplugged, which its log shows.
std::vector<FaultCase> usb_cases() {
  std::vector<FaultCase> cases;
  for (FaultCase c : all_cases()) {
    const auto has_fault = [&](const std::string& prefix) {
      return std::any_of(c.emulator.begin(), c.emulator.end(),
                         [&](const std::string& arg) { return arg.rfind(prefix, 0) == 0; });
    };
    if (has_fault("readback:") || has_fault("empty-readback")) continue;
    c.log.erase(std::remove_if(c.log.begin(), c.log.end(),
                               [](const std::string& line) {
                                 return line.find("-timeout") != std::string::npos ||
                                        line == "read -> 0";
                               }),
                c.log.end());
    if (has_fault("disconnect:")) c.log.push_back("vanish");
    cases.push_back(std::move(c));
  }
  return cases;
}

std::string case_name(const ::testing::TestParamInfo<FaultCase>& param_info) {
  return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixTest, ::testing::ValuesIn(all_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(UsbFaults, UsbFaultMatrixTest, ::testing::ValuesIn(usb_cases()),
                         case_name);

// The emulator killed or stopped while bytes move. A slow link (--rate) makes
// "while" last long enough; the test acts once the capture log shows the
// transfer under way.
class InterruptedLinkTest : public FaultMatrixBase {
 protected:
  void record(Job job, const std::string& what, const RunResult& result, std::size_t at_instrument,
              std::size_t sent, const std::string& stored) {
    row_ = {job_name(job),
            what,
            visible_after_banner(result.output),
            std::to_string(result.exit_status),
            std::to_string(at_instrument) + " of " + std::to_string(sent),
            stored};
  }

  // The stored column of a cut receive: the bytes in the output file against
  // the bytes the instrument answered.
  std::string stored_of_answered() {
    return std::to_string(read_file(output_path()).size()) + " of " +
           std::to_string(bytes_read(log_of(kLast))) + " answered";
  }

  static bool sending(const std::vector<std::string>& log) {
    return count_lines(log, "write ") >= 5;
  }
  static bool receiving(const std::vector<std::string>& log) {
    return count_lines(log, "read -> ") >= 3;
  }

  // What the operator sees when block `failed` (from 1) of a send of `total`
  // bytes fails: the progress texts before it, then the error.
  static std::string failed_send(std::size_t failed, std::size_t total) {
    return kBanner + send_progress(failed, total) + kErrorLine;
  }

  // Checks a send cut off by a dead or stopped instrument: an error after the
  // blocks that went through, and only leading payload bytes at the instrument.
  void expect_cut_send(const RunResult& result, const std::string& payload) {
    const std::string got = bin_of(kLast);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 255);
    EXPECT_EQ(got, payload.substr(0, got.size()));
    EXPECT_EQ(got.size() % 4096, 0u);
    EXPECT_LT(got.size(), payload.size());
    // The instrument logs a write before it stores the write's bytes, and a kill
    // can fall between the two: the fifth logged block may be missing.
    EXPECT_GE(got.size(), 4u * 4096);
    // The instrument took `blocks` blocks; the program saw all of them but at
    // most the last succeed before the one that failed.
    const std::size_t blocks = got.size() / 4096;
    EXPECT_TRUE(result.output == failed_send(blocks + 1, payload.size()) ||
                result.output == failed_send(blocks, payload.size()))
        << ::testing::PrintToString(result.output);
    const std::size_t logged = count_lines(log_of(kLast), "write ");
    EXPECT_TRUE(logged == blocks || logged == blocks + 1) << logged << " logged, " << blocks;
  }

  // Checks a receive cut off by a dead or stopped instrument: the final total,
  // then the error and exit 255, and the file holding every byte the program was
  // given, which is all the instrument answered except, at most, the one answer
  // in flight.
  void expect_cut_receive(const RunResult& result, const std::string& answer) {
    const std::string stored = read_file(output_path());
    std::vector<std::size_t> sums;
    bytes_read(log_of(kLast), &sums);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 255);
    EXPECT_EQ(stored, answer.substr(0, stored.size()));
    EXPECT_GE(stored.size(), 2u * 4096);
    EXPECT_LT(stored.size(), answer.size());
    ASSERT_GE(sums.size(), 2u);
    EXPECT_TRUE(stored.size() == sums.back() || stored.size() == sums[sums.size() - 2])
        << stored.size() << " bytes stored, " << sums.back() << " answered";
    const std::string total = stored.size() <= 1024 ? std::to_string(stored.size()) + " bytes"
                                                    : std::to_string(stored.size() / 1024) + " KB";
    const std::string tail = progress("Read: " + total) + kErrorLine;
    EXPECT_EQ(result.output.substr(0, kBanner.size()), kBanner);
    ASSERT_GE(result.output.size(), tail.size());
    EXPECT_EQ(result.output.substr(result.output.size() - tail.size()), tail);
  }
};

TEST_F(InterruptedLinkTest, KilledDuringSend) {
  Emulator* emulator = instruments({"--rate", "40000"});
  ASSERT_NE(emulator, nullptr);
  const std::string payload = sample_bytes(200000);
  auto running = start_run({input_file("big.bin", payload)});
  const bool under_way = wait_for_log(kLast, sending, kEventLimit);
  emulator->kill_hard();
  const RunResult result = running.get();
  record(Job::kSend, "SIGKILL during the send", result, bin_of(kLast).size(), payload.size(),
         "no file");
  ASSERT_TRUE(under_way) << "the send never got under way";
  expect_cut_send(result, payload);
  EXPECT_EQ(log_of(kLast).back(), "write 4096") << "a killed instrument logs no close";
}

TEST_F(InterruptedLinkTest, KilledDuringReceive) {
  Emulator* emulator = instruments({"--answer", "pattern:400000", "--rate", "100000"});
  ASSERT_NE(emulator, nullptr);
  const std::string answer = pattern_bytes(400000);
  auto running = start_run({input_file("one.bin", "x"), output_path(), "/T", "2000"});
  const bool under_way = wait_for_log(kLast, receiving, kEventLimit);
  emulator->kill_hard();
  const RunResult result = running.get();
  record(Job::kFileReceive, "SIGKILL during the receive", result, bin_of(kLast).size(), 1,
         stored_of_answered());
  ASSERT_TRUE(under_way) << "the receive never got under way";
  EXPECT_EQ(bin_of(kLast), "x");
  expect_cut_receive(result, answer);
}

TEST_F(InterruptedLinkTest, StoppedDuringSend) {
  Emulator* emulator = instruments({"--rate", "40000"});
  ASSERT_NE(emulator, nullptr);
  const std::string payload = sample_bytes(200000);
  auto running = start_run({input_file("big.bin", payload), output_path(), "/T", "300"});
  const bool under_way = wait_for_log(kLast, sending, kEventLimit);
  emulator->pause();
  // The program gives up after the link timeout (300 ms) plus 2 s.
  const RunResult result = running.get();
  stop_emulators();
  record(Job::kFileReceive, "emulator stopped (SIGSTOP) during the send", result,
         bin_of(kLast).size(), payload.size(),
         access(output_path().c_str(), F_OK) == 0 ? "file made" : "no file");
  ASSERT_TRUE(under_way) << "the send never got under way";
  // The stopped instrument may still take the block that timed out once it
  // runs again, after the program has gone.
  const std::string got = bin_of(kLast);
  EXPECT_TRUE(result.output == failed_send(got.size() / 4096, payload.size()) ||
              result.output == failed_send(got.size() / 4096 + 1, payload.size()))
      << ::testing::PrintToString(result.output);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(got, payload.substr(0, got.size()));
  EXPECT_EQ(count_lines(log_of(kLast), "read"), 0u);
  EXPECT_NE(access(output_path().c_str(), F_OK), 0) << "a failed send made the output file";
}

TEST_F(InterruptedLinkTest, StoppedDuringReceive) {
  Emulator* emulator = instruments({"--answer", "pattern:400000", "--rate", "100000"});
  ASSERT_NE(emulator, nullptr);
  const std::string answer = pattern_bytes(400000);
  auto running = start_run({input_file("one.bin", "x"), output_path(), "/T", "300"});
  const bool under_way = wait_for_log(kLast, receiving, kEventLimit);
  emulator->pause();
  const RunResult result = running.get();
  stop_emulators();
  record(Job::kFileReceive, "emulator stopped (SIGSTOP) during the receive", result,
         bin_of(kLast).size(), 1, stored_of_answered());
  ASSERT_TRUE(under_way) << "the receive never got under way";
  expect_cut_receive(result, answer);
}

TEST_F(InterruptedLinkTest, StoppedBeforeTheOpen) {
  Emulator* emulator = instruments({});
  ASSERT_NE(emulator, nullptr);
  emulator->pause();
  // The open answer is awaited for 5 s at most.
  const RunResult result =
      run({input_file("payload.bin", kPayload)}, RunOptions{{}, "/dev/null", "", kRunLimit, {}});
  stop_emulators();
  record(Job::kSend, "emulator stopped (SIGSTOP) before the open", result, bin_of(kLast).size(),
         kPayload.size(), "no file");
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(bin_of(kLast), "");
  // Once it runs again the emulator may still see the abandoned connection.
  EXPECT_EQ(count_lines(log_of(kLast), "write"), 0u);
  EXPECT_EQ(count_lines(log_of(kLast), "get-timeout"), 0u);
}

}  // namespace
}  // namespace tarnlink::e2e
