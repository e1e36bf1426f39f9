// Esc typed into a real terminal (tmux) while tarnlink sends: the send stops with
// the break message, and the terminal gets its settings back. And a signal that
// ends tarnlink on a pseudo-terminal: the settings come back, and the process
// ends by that signal all the same.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

// tmux's full path, or "" when it is not installed.
std::string find_tmux() {
  const RunResult found = run_program("/bin/sh", {"-c", "command -v tmux"});
  if (found.exit_status != 0 || found.output.empty()) return "";
  return found.output.substr(0, found.output.find('\n'));
}

class BreakKeyTest : public E2eTest {
 protected:
  void SetUp() override {
    tmux_ = find_tmux();
    if (tmux_.empty()) GTEST_SKIP() << "tmux is not installed";
    socket_ = "tarnlink-e2e-" + std::to_string(getpid());
  }
  void TearDown() override {
    if (!tmux_.empty()) run_program(tmux_, {"-L", socket_, "kill-server"});
    E2eTest::TearDown();
  }
  RunResult tmux(const std::vector<std::string>& args) {
    std::vector<std::string> all{"-L", socket_};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(tmux_, all);
  }
  std::string tmux_;
  std::string socket_;
};

TEST_F(BreakKeyTest, EscStopsTheSendAndRestoresTheTerminal) {
  // A slow link, so that the send is still going when the key arrives.
  ASSERT_NE(start_emulator({"--device", "velk", "--rate", "20000"}), nullptr);
  const std::string data(400000, 'x');
  const std::string file = input_file("data.bin", data);
  const std::string out = root() + "/out.txt", status = root() + "/status", tty = root() + "/stty";
  const std::string command = "VELK_DEVICE_DIR='" + device_dir() + "' '" + tarnlink_binary() +
                              "' '" + file + "' >'" + out + "'; echo $? >'" + status +
                              ".tmp'; stty -a >'" + tty + "'; mv '" + status + ".tmp' '" +
                              status + "'; sleep 60";
  ASSERT_EQ(tmux({"new-session", "-d", "-s", "t", "-x", "120", "-y", "20", command}).exit_status, 0);

  const std::string log = capture_dir() + "/velk.log";
  ASSERT_TRUE(wait_until(
      [&] { return read_file(log).find("write 4096") != std::string::npos; }, kStepLimit))
      << "the send did not start";
  ASSERT_EQ(tmux({"send-keys", "-t", "t", "Escape"}).exit_status, 0);
  ASSERT_TRUE(wait_until([&] { return access(status.c_str(), F_OK) == 0; }, kStepLimit))
      << "tarnlink did not stop";

  EXPECT_EQ(read_file(status), "255\n");
  const std::string shown = read_file(out);
  ASSERT_GE(shown.size(), kBreakLine.size());
  EXPECT_EQ(shown.substr(shown.size() - kBreakLine.size()), kBreakLine);
  EXPECT_EQ(shown.find("Send:"), std::string::npos);
  stop_emulators();
  EXPECT_LT(bin_of("velk").size(), data.size());

  const std::string settings = read_file(tty);
  EXPECT_NE(settings.find(" icanon"), std::string::npos) << settings;
  EXPECT_NE(settings.find(" echo "), std::string::npos) << settings;
}

// tarnlink in a session of its own whose controlling terminal is a new
// pseudo-terminal, as a shell would start it there.
class TerminalSignalTest : public E2eTest, public ::testing::WithParamInterface<int> {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (const int fd : {terminal_, master_}) {
      if (fd >= 0) close(fd);
    }
    E2eTest::TearDown();
  }

  // Starts tarnlink with `args` on the terminal; false when it could not.
  bool start(const std::vector<std::string>& args) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    const std::string name = ptsname(master_);
    // The test's own view of the terminal's settings.
    terminal_ = open(name.c_str(), O_RDWR | O_NOCTTY);
    std::vector<std::string> text{tarnlink_binary()};
    text.insert(text.end(), args.begin(), args.end());
    text.push_back("VELK_DEVICE_DIR=" + device_dir());
    std::vector<char*> argv;
    for (std::string& arg : text) argv.push_back(arg.data());
    char* env[] = {argv.back(), nullptr};
    argv.back() = nullptr;
    const std::string work = root();
    if (terminal_ < 0 || (pid_ = fork()) < 0) return false;
    if (pid_ == 0) {
      // Only calls that are safe between fork and exec. Opened by the leader of
      // a session without a terminal, the pseudo-terminal becomes its terminal.
      const rlimit no_core{0, 0};
      const int null = open("/dev/null", O_WRONLY);
      const int tty = setsid() < 0 ? -1 : open(name.c_str(), O_RDWR);
      if (tty < 0 || null < 0 || chdir(work.c_str()) != 0 || setrlimit(RLIMIT_CORE, &no_core) != 0 ||
          dup2(tty, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) {
        _exit(126);
      }
      execve(argv[0], argv.data(), env);
      _exit(127);
    }
    return true;
  }

  // Whether the terminal reads lines with echo, as a shell leaves it.
  bool line_mode() const {
    termios settings{};
    return tcgetattr(terminal_, &settings) == 0 && (settings.c_lflag & ICANON) != 0 &&
           (settings.c_lflag & ECHO) != 0;
  }

  int master_ = -1;
  int terminal_ = -1;
  pid_t pid_ = -1;
};

TEST_P(TerminalSignalTest, RestoresTheTerminalAndEndsByTheSignal) {
  const int signal_number = GetParam();
  // A silent instrument and a long link timeout: tarnlink waits in the receive.
  ASSERT_NE(start_emulator({"--device", "velk", "--answer", "silent"}), nullptr);
  ASSERT_TRUE(start({input_file("one.bin", "x"), root() + "/answer.bin", "/T", "100000"}));
  ASSERT_TRUE(line_mode()) << "a new terminal reads lines with echo";
  ASSERT_TRUE(wait_until([&] { return !line_mode(); }, kStepLimit))
      << "tarnlink never took the terminal for its Esc key";
  ASSERT_EQ(kill(pid_, signal_number), 0);
  int status = 0;
  ASSERT_TRUE(wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, kStepLimit))
      << "tarnlink did not end";
  pid_ = -1;
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number)
      << "wait status " << status;
  EXPECT_TRUE(line_mode()) << "the terminal was left without line input or echo";
}

INSTANTIATE_TEST_SUITE_P(EndingSignals, TerminalSignalTest,
                         ::testing::Values(SIGPIPE, SIGXFSZ, SIGTERM, SIGHUP, SIGUSR1, SIGALRM,
                                           SIGRTMIN + 1),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                           const char* name = sigabbrev_np(param_info.param);
                           return std::string(name != nullptr ? name : "RT");
                         });

}  // namespace
}  // namespace tarnlink::e2e
