// velk-emu as a program: its command line, its directory, and its exit; with
// --usb, the COMMAND it runs and the umockdev directory it leaves behind.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/posix/device_directory.h"
#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* stream = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(stream)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// velk-emu with `args`, allowed at most `files` open files when not 0.
RunResult run_emulator(std::vector<std::string> args, int files = 0) {
  if (files == 0) return run_program(velk_emu_binary(), args);
  args.insert(args.begin(), {"-c", "ulimit -n " + std::to_string(files) + " && exec \"$0\" \"$@\"",
                             velk_emu_binary()});
  return run_program("/bin/sh", args);
}

class VelkEmuTest : public E2eTest {};

class BadOptionTest : public VelkEmuTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(BadOptionTest, ExitsWithStatusTwoAndPublishesNothing) {
  std::vector<std::string> args{"--dir", device_dir()};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  const RunResult result = run_program(velk_emu_binary(), args);
  EXPECT_TRUE(result.failure.empty()) << result.failure;
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(entries(device_dir()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadOptionTest,
    ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"--device"},
                      std::vector<std::string>{"--device", "a/b"},
                      std::vector<std::string>{"--device", "x.lock"},
                      std::vector<std::string>{"--device", "a", "--device", "a"},
                      std::vector<std::string>{"--answer", "loud"},
                      std::vector<std::string>{"--answer", "pattern:-1"},
                      std::vector<std::string>{"--answer", "file:/nonexistent/answer"},
                      // A folder, and a file that opens but fails every read.
                      std::vector<std::string>{"--answer", "file:/"},
                      std::vector<std::string>{"--answer", "file:/proc/self/mem"},
                      // Names that would forge a line or command a client's terminal.
                      std::vector<std::string>{"--device", "evil\n2 FAKE-SN0042"},
                      std::vector<std::string>{"--device", "\x1b]0;title\x07"},
                      std::vector<std::string>{"--device", "del\x7f"},
                      std::vector<std::string>{"--answer-delay", "1s"},
                      std::vector<std::string>{"--fault", "short-write:0"},
                      std::vector<std::string>{"--fault", "readback:2147483648"},
                      std::vector<std::string>{"--fault", "sometimes"},
                      std::vector<std::string>{"--rate", "0"}));

TEST_F(VelkEmuTest, PrintsItsPathsThenStopsCleanlyLeavingNothingBehind) {
  Emulator* emulator = start_emulator({"--device", "one", "--device", "two"});
  ASSERT_NE(emulator, nullptr);
  EXPECT_EQ(emulator->device_paths(),
            (std::vector<std::string>{device_path("one"), device_path("two")}));
  struct stat st {};
  ASSERT_EQ(stat(device_dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(lstat(device_path("one").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_EQ(emulator->stop(), 0);
  EXPECT_TRUE(entries(device_dir()).empty());
}

TEST_F(VelkEmuTest, HelpAndVersionGoToStandardOutput) {
  const RunResult help = run_program(velk_emu_binary(), {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.output.rfind("usage: velk-emu [--dir DIR] [--device NAME]...", 0), 0u)
      << help.output;
  const RunResult version = run_program(velk_emu_binary(), {"--device", "a", "--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.output, "velk-emu " TARNLINK_VERSION "\n");
}

TEST_F(VelkEmuTest, DefaultInstrumentName) {
  Emulator* emulator = start_emulator({});
  ASSERT_NE(emulator, nullptr);
  EXPECT_EQ(emulator->device_paths(),
            (std::vector<std::string>{device_path("velk-usb-1-1-SN0001")}));
}

TEST_F(VelkEmuTest, ANameServedByAnotherProcessIsNotTakenOver) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const RunResult second = run_program(velk_emu_binary(), {"--dir", device_dir(), "--device", "dev"});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_EQ(second.output, "");
  // The presence file is the first service's, and it still serves.
  std::vector<std::string> paths;
  EXPECT_EQ(posix::present_devices(device_dir(), paths), 0u);
  EXPECT_EQ(paths, std::vector<std::string>{device_path("dev")});
}

TEST_F(VelkEmuTest, ALeftoverSocketIsReplaced) {
  Emulator* first = start_emulator({"--device", "dev"});
  ASSERT_NE(first, nullptr);
  first->kill_hard();
  EXPECT_NE(start_emulator({"--device", "dev"}), nullptr);
}

// A publish of "a" then `second` that fails at `second`.
class FailedPublishTest : public VelkEmuTest {
 protected:
  // `planted`, a path under the root, is made a directory first (none when empty).
  RunResult publish_a_then(const std::string& second, const std::string& planted, int files = 0) {
    std::filesystem::create_directories(capture_dir());
    if (!planted.empty()) std::filesystem::create_directories(root() + "/" + planted);
    return run_emulator({"--dir", device_dir(), "--capture", capture_dir(), "--device", "a",
                         "--device", second},
                        files);
  }
};

struct FailedStep {
  const char* name;
  std::string second;
  const char* planted;
  std::vector<std::string> left;  // the device directory afterwards
};

void PrintTo(const FailedStep& step, std::ostream* out) { *out << step.name; }

class FailedStepTest : public FailedPublishTest, public ::testing::WithParamInterface<FailedStep> {};

TEST_P(FailedStepTest, ExitsWithStatusOneLeavingNothingItCreated) {
  const RunResult result = publish_a_then(GetParam().second, GetParam().planted);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(entries(device_dir()), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailedStepTest,
    ::testing::Values(FailedStep{"SocketNameTaken", "b", "dev/b", {"b"}},
                      FailedStep{"PathTooLongForASocket", std::string(100, 'n'), "", {}},
                      FailedStep{"CaptureFilesCannotBeMade", "b", "capture/b.bin", {}}),
    [](const ::testing::TestParamInfo<FailedStep>& param_info) {
      return std::string(param_info.param.name);
    });

// Each limit starves another step: the directory, a presence file, a socket, a
// capture file; with the most, b's capture fails on its own. Below some limit
// the program cannot even load (127); where that is depends on what it inherits.
TEST_F(FailedPublishTest, EveryStepThatRunsOutOfFilesLeavesNothing) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime opens files of its own at exit and fails fatally
  // without them; the native build runs this sweep.
  GTEST_SKIP() << "a starved descriptor table starves the sanitizers too";
#endif
  int ran = 0;
  for (int files = 4; files <= 24; ++files) {
    const int status = publish_a_then("b", "capture/b.bin", files).exit_status;
    if (status == 127 && ran == 0) continue;
    ++ran;
    EXPECT_EQ(status, 1) << files << " files";
    EXPECT_TRUE(entries(device_dir()).empty()) << files << " files";
  }
  EXPECT_GE(ran, 9);
}

class VelkEmuUsbTest : public VelkEmuTest {
 protected:
  // velk-emu --usb `args`, its temporary files in this test's directory unless
  // options.env names another TMPDIR, its standard error merged into its
  // output, the signals `ignored` (names, as trap takes them) ignored from its
  // start. Its pid goes to emulator.pid in root().
  RunResult run_usb(const std::vector<std::string>& args, RunOptions options = {},
                    const std::string& ignored = "") {
    std::vector<std::string> wrapped{
        "-c", (ignored.empty() ? "" : "trap '' " + ignored + "; ") +
                  "echo $$ > \"$0\" && exec \"$@\" 2>&1",
        root() + "/emulator.pid", velk_emu_binary(), "--usb"};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    options.env.emplace("TMPDIR", root());
    return run_program("/bin/sh", wrapped, options);
  }
  void TearDown() override {
    for (const std::string& name : entries(root())) {
      EXPECT_NE(name.rfind("umockdev.", 0), 0u) << name << " left behind";
    }
    VelkEmuTest::TearDown();
  }
};

class BadUsbOptionTest : public VelkEmuUsbTest,
                         public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(BadUsbOptionTest, ExitsWithStatusTwoWithoutRunningTheCommand) {
  RunOptions options;
  options.env["TMPDIR"] = root();
  const RunResult result = run_program(velk_emu_binary(), GetParam(), options);
  EXPECT_TRUE(result.failure.empty()) << result.failure;
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.output, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadUsbOptionTest,
    ::testing::Values(std::vector<std::string>{"--usb", "--dir", "d", "--", "echo", "ran"},
                      std::vector<std::string>{"--usb", "--fault", "readback:5", "--", "echo"},
                      std::vector<std::string>{"--usb", "--fault", "empty-readback", "--", "echo"},
                      std::vector<std::string>{"--usb"}, std::vector<std::string>{"--usb", "--"},
                      std::vector<std::string>{"--usb", "--usb-id", "1209:001", "--", "echo"},
                      std::vector<std::string>{"--usb", "--usb-id", "12g9:0001", "--", "echo"},
                      std::vector<std::string>{"--usb", "--device", "a_b", "--", "echo"},
                      std::vector<std::string>{"--usb", "--device", std::string(127, 'a'), "--",
                                               "echo"},
                      std::vector<std::string>{"--usb-id", "1209:0001"},
                      std::vector<std::string>{"--", "echo", "ran"}));

struct CommandCase {
  const char* name;
  std::map<std::string, std::string> env;
  std::vector<std::string> emulator;  // velk-emu's options before "--"
  std::vector<std::string> command;
  std::string output;  // standard output and error
  int exit_status;
  std::string ignored = "";  // signals ignored from velk-emu's start
  // What qemu-user does otherwise than a kernel, where that decides the case.
  const char* not_emulated = nullptr;
};

// Whether this program runs under an emulator of another processor (qemu-user):
// the kernel then numbers its calls as the build machine's, as
// /proc/thread-self/syscall shows while it is read.
bool emulated() {
  const int fd = open("/proc/thread-self/syscall", O_RDONLY);
  char text[32] = {};
  const ssize_t got = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
  if (fd >= 0) close(fd);
  return got > 0 && std::atol(text) != SYS_read;
}

void PrintTo(const CommandCase& c, std::ostream* out) { *out << c.name; }

class CommandTest : public VelkEmuUsbTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, RunsInTheBusEnvironmentAndEndsWithItsStatusLeavingNothing) {
  if (GetParam().not_emulated != nullptr && emulated()) {
    GTEST_SKIP() << "qemu-user " << GetParam().not_emulated;
  }
  std::vector<std::string> args = GetParam().emulator;
  args.push_back("--");
  args.insert(args.end(), GetParam().command.begin(), GetParam().command.end());
  RunOptions options;
  options.env = GetParam().env;
  const RunResult result = run_usb(args, options, GetParam().ignored);
  EXPECT_EQ(result.output, GetParam().output);
  EXPECT_EQ(result.exit_status, GetParam().exit_status) << result.failure;
  // A COMMAND that wrote down its pid has ended, and velk-emu has reaped it.
  if (const std::string pid = read_file(root() + "/command.pid"); !pid.empty()) {
    const bool running = kill(std::stoi(pid), 0) == 0;
    EXPECT_FALSE(running) << "COMMAND still runs";
    if (running) kill(std::stoi(pid), SIGKILL);
  }
}

const char* const kShowEnvironment =
    "echo \"$TARNLINK_USB_IDS\"; case $LD_PRELOAD in *libumockdev-preload.so.0*) echo preload;; "
    "esac; case $UMOCKDEV_DIR in \"$TMPDIR\"/umockdev.*) test -d \"$UMOCKDEV_DIR\" && echo dir;; "
    "esac";

// A COMMAND that writes down its pid, sends velk-emu `signal_number` and runs until ended.
std::vector<std::string> signalling(int signal_number) {
  return {"sh", "-c",
          "ulimit -c 0; echo $$ > \"$TMPDIR/command.pid\" && kill -" +
              std::to_string(signal_number) + " $PPID && exec tail -f /dev/null"};
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTest,
    ::testing::Values(
        CommandCase{"Environment", {}, {}, {"sh", "-c", kShowEnvironment},
                    "1209:0001\npreload\ndir\n", 0},
        CommandCase{"EnvironmentOfAnotherId", {}, {"--usb-id", "BEEF:00a1"},
                    {"sh", "-c", kShowEnvironment}, "beef:00a1\npreload\ndir\n", 0},
        CommandCase{"IdsAlreadySet", {{"TARNLINK_USB_IDS", ""}}, {}, {"sh", "-c", kShowEnvironment},
                    "\npreload\ndir\n", 0},
        // A --help after "--" is the command's, not velk-emu's.
        CommandCase{"ExitStatus", {}, {}, {"sh", "-c", "exit 3", "--help"}, "", 3},
        CommandCase{"KilledBySignal", {}, {}, {"sh", "-c", "kill -KILL $$"}, "", 128 + 9},
        CommandCase{"NotFound", {}, {}, {"no-such-command-anywhere"},
                    "velk-emu: cannot run no-such-command-anywhere: No such file or directory\n",
                    127, "", "reports no failed start of a program to posix_spawn"},
        CommandCase{"NoTemporaryFolder", {{"TMPDIR", "/nonexistent"}}, {}, {"echo", "ran"},
                    "velk-emu: cannot make a temporary directory in /nonexistent: No such file "
                    "or directory\n",
                    1},
        // Every signal that would end velk-emu ends COMMAND first.
        CommandCase{"EmulatorStoppedBySigterm", {}, {}, signalling(SIGTERM), "", 128 + SIGTERM},
        CommandCase{"EmulatorStoppedBySigquit", {}, {}, signalling(SIGQUIT), "", 128 + SIGQUIT},
        CommandCase{"EmulatorStoppedBySigusr1", {}, {}, signalling(SIGUSR1), "", 128 + SIGUSR1},
        CommandCase{"EmulatorStoppedBySigalrm", {}, {}, signalling(SIGALRM), "", 128 + SIGALRM},
        CommandCase{"EmulatorStoppedByARealTimeSignal", {}, {}, signalling(SIGRTMIN + 1), "",
                    128 + SIGRTMIN + 1, "", "numbers real-time signals otherwise than the shell"},
        // As under nohup: COMMAND is not hung up either.
        CommandCase{"IgnoredSignalStaysIgnored", {}, {},
                    {"sh", "-c", "kill -HUP $PPID; kill -HUP $$; echo survived"}, "survived\n", 0,
                    "HUP", "starts a program without the ignores it was started with"}),
    [](const ::testing::TestParamInfo<CommandCase>& param_info) {
      return std::string(param_info.param.name);
    });

// velk-emu waits in open() for a writer of its answer FIFO; a signal still ends
// the wait, and a writer's bytes are read through what that open() gave.
TEST_F(VelkEmuUsbTest, TheWaitForAWriterOfTheAnswerFifoEndsByASignalOrAWriter) {
  const std::string fifo = root() + "/answer";
  const std::string pid_file = root() + "/emulator.pid";
  const std::string probe = root() + "/probe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(probe.c_str(), 0600), 0);
  const std::string openat = fifo_open_call(probe);
  ASSERT_FALSE(openat.empty()) << "no thread was seen waiting in the open of a FIFO";
  for (const int signal_number : {SIGTERM, SIGINT, 0}) {
    std::filesystem::remove(pid_file);
    auto run = std::async(std::launch::async,
                          [&] { return run_usb({"--answer", "file:" + fifo, "--", "true"}); });
    std::string pid;
    // Asleep in openat(): the FIFO's open, not a library's.
    const bool waiting = wait_until(
        [&] {
          pid = read_file(pid_file);
          if (pid.empty() || pid.back() != '\n') return false;
          pid.pop_back();
          return read_file("/proc/" + pid + "/stat").find(") S ") != std::string::npos &&
                 read_file("/proc/" + pid + "/syscall").rfind(openat, 0) == 0;
        },
        kStepLimit);
    EXPECT_TRUE(waiting);
    if (waiting && signal_number != 0) kill(std::stoi(pid), signal_number);
    // Nobody opens the FIFO again once this writer has gone.
    if (waiting && signal_number == 0) std::ofstream(fifo) << "answer";
    const RunResult result = run.get();
    EXPECT_FALSE(result.timed_out) << signal_number;
    EXPECT_EQ(result.exit_status, signal_number == 0 ? 0 : -1) << signal_number;
  }
}

}  // namespace
}  // namespace tarnlink::e2e
