// End-to-end harness: the real tarnlink binary against velk-emu instruments in a
// fresh temporary directory. Every step has a time bound; a child that outlives
// its bound is killed and the step fails. Emulators are always stopped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/expected_text.h"
#include "support/temp_dir.h"

namespace tarnlink::e2e {

// Bound for one run of a program and for an emulator to become ready.
inline constexpr std::chrono::milliseconds kStepLimit{30000};
// Bound for an emulator to exit after SIGTERM before it is killed.
inline constexpr std::chrono::milliseconds kStopLimit{10000};

// The binaries under test, as built next to this harness.
const char* tarnlink_binary();
const char* velk_emu_binary();

struct RunResult {
  std::string output;    // every byte the program wrote to standard output
  int exit_status = -1;  // 0 to 255; -1 when it did not exit by itself
  bool timed_out = false;
  std::string failure;   // why the program could not be run or waited for
};

struct RunOptions {
  std::map<std::string, std::string> env;  // set on top of this process's environment
  std::string stdin_path = "/dev/null";
  std::string work_dir;                    // empty: this process's
  std::chrono::milliseconds limit = kStepLimit;
  // run_on_bus: the command that tarnlink and its arguments follow, as in
  // {"sh", "-c", SCRIPT, "sh"}; empty: tarnlink runs as it is.
  std::vector<std::string> wrapper;
};

// Polls `done` until it holds or `limit` passes; false when it never held.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit);

// What /proc/PID/syscall starts with for a process that waits in the open of a
// FIFO: the kernel's number of that call, then a space. Under qemu-user it is the
// build machine's number, not this program's SYS_openat, so it is learnt from a
// thread of this process that waits so, in the open of `fifo`, a FIFO that
// nothing else opens. Empty when the thread was never seen waiting.
std::string fifo_open_call(const std::string& fifo);

// Runs `binary` with `args` and waits, at most options.limit, for it to end.
RunResult run_program(const std::string& binary, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// One velk-emu process. The constructor starts it with `args` and waits for its
// "ready" line; ready() tells whether that happened.
class Emulator {
 public:
  explicit Emulator(const std::vector<std::string>& args);
  // Stops the process if it still runs.
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  bool ready() const { return ready_; }
  // Why the emulator is not ready.
  const std::string& failure() const { return failure_; }
  // The device paths it printed, in order.
  const std::vector<std::string>& device_paths() const { return paths_; }
  pid_t pid() const { return pid_; }

  // SIGTERM, then at most kStopLimit for it to exit, then SIGKILL. Returns its
  // exit status, or -1 when it had to be killed or was not running.
  int stop();
  // SIGKILL: its sockets stay behind, served by nobody.
  void kill_hard();
  // SIGSTOP / SIGCONT: a service that stops answering.
  void pause();
  void resume();

 private:
  int wait_for_exit(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int pid_fd_ = -1;
  int output_fd_ = -1;
  bool ready_ = false;
  std::string failure_;
  std::vector<std::string> paths_;
};

// The shared files, texts and data, as the suites use them.
using tarnlink::testing::concat;
using tarnlink::testing::firmware_image_10000;
using tarnlink::testing::kAboveLatin1;
using tarnlink::testing::kBanner;
using tarnlink::testing::kBreakLine;
using tarnlink::testing::kErrorLine;
using tarnlink::testing::kFileTooLarge;
using tarnlink::testing::kFirmwareTooLarge;
using tarnlink::testing::kFirmwareTooShort;
using tarnlink::testing::kHandshakeLog;
using tarnlink::testing::kInvalidFour;
using tarnlink::testing::kInvalidMore;
using tarnlink::testing::kListingFailed;
using tarnlink::testing::kNotFound;
using tarnlink::testing::kPreamble10000;
using tarnlink::testing::kSent10000;
using tarnlink::testing::kUnableToCreate;
using tarnlink::testing::kUnableToOpen;
using tarnlink::testing::kUnableToRead;
using tarnlink::testing::kUnableToWrite;
using tarnlink::testing::kUsage;
using tarnlink::testing::kWrites10000;
using tarnlink::testing::pattern_bytes;
using tarnlink::testing::progress;
using tarnlink::testing::read_file;
using tarnlink::testing::read_lines;
using tarnlink::testing::refused_handshake_log;
using tarnlink::testing::sample_bytes;
using tarnlink::testing::send_progress;
using tarnlink::testing::sent;

// velk-emu's arguments for one instrument per name.
std::vector<std::string> device_args(const std::vector<std::string>& names);

// A temporary directory with a device directory ("dev", created by the first
// emulator) and a capture directory ("capture"), emulators started into it, and
// tarnlink run against it from the temporary directory.
class E2eTest : public ::testing::Test {
 protected:
  void TearDown() override;

  std::string root() const { return temp_.path().string(); }
  std::string device_dir() const { return (temp_.path() / "dev").string(); }
  std::string capture_dir() const { return (temp_.path() / "capture").string(); }
  // The device path of instrument `name` in device_dir().
  std::string device_path(const std::string& name) const { return device_dir() + "/" + name; }
  // What tarnlink /L prints for the instruments `names` of device_dir(), in order.
  std::string listing(const std::vector<std::string>& names) const;

  // Starts velk-emu with --dir device_dir() --capture capture_dir() and `args`.
  // Returns null (with a test failure recorded) when it did not become ready.
  Emulator* start_emulator(const std::vector<std::string>& args);
  // Stops every emulator still running, so that their logs are complete.
  void stop_emulators();

  // Writes `bytes` to a file in the temporary directory and returns its path.
  std::string input_file(const std::string& name, const std::string& bytes);
  // Runs tarnlink with VELK_DEVICE_DIR=device_dir() and no USB instrument configured
  // (unless `options` say otherwise), in root().
  RunResult run(const std::vector<std::string>& args, RunOptions options = {});
  // Runs tarnlink the same way, but inside `velk-emu --usb` with `emulator` (its
  // instruments, answers and faults; the capture goes to capture_dir()), which
  // puts its instruments on an emulated USB bus for that run alone. Their ID is
  // the one tarnlink looks for.
  RunResult run_on_bus(const std::vector<std::string>& emulator,
                       const std::vector<std::string>& args, RunOptions options = {});

  // The capture of instrument `name`: its log lines and the bytes written to it.
  std::vector<std::string> log_of(const std::string& name) const;
  std::string bin_of(const std::string& name) const;

 private:
  // Runs `binary` with the device directory and from root().
  RunResult run_in_root(const std::string& binary, const std::vector<std::string>& args,
                        RunOptions options);

  tarnlink::testing::TempDir temp_;
  std::vector<std::unique_ptr<Emulator>> emulators_;
};

}  // namespace tarnlink::e2e
