// Esc typed into a real terminal (tmux) while tarnlink sends: the send stops with
// the break message, and the terminal gets its settings back. And tarnlink as a
// job of a shell on a pseudo-terminal: signals that end it, stop it, or a shell
// that takes the terminal back while it runs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "matrix_report.h"
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

std::string signal_name(int signal_number) {
  const char* name = sigabbrev_np(signal_number);
  return name != nullptr ? name : "RTMIN+" + std::to_string(signal_number - SIGRTMIN);
}

// How a case sends its signal: the key typed on the terminal, or its name.
std::string sent_by(const char* key, int signal_number) {
  if (key == nullptr) return signal_name(signal_number);
  return std::string("Ctrl+") + static_cast<char>('@' + key[0]) + " (" +
         signal_name(signal_number) + ")";
}

// A job-control shell on a new pseudo-terminal, as the test's child: it leads a
// session whose controlling terminal is the pseudo-terminal, starts tarnlink as
// a job (a process group of its own, in the foreground), and on each request
// waits for the job to stop or end, takes the terminal back, or hands it to the
// job again and continues it. Each case reports one row of the reliability
// document.
class JobShellTest : public ReportedTest {
 protected:
  void TearDown() override {
    if (job_ > 0) kill(job_, SIGKILL);
    if (shell_ > 0) {
      kill(shell_, SIGKILL);
      waitpid(shell_, nullptr, 0);
    }
    for (const int fd : {terminal_, master_, requests_, answers_}) {
      if (fd >= 0) close(fd);
    }
    ReportedTest::TearDown();
  }

  // Starts tarnlink with `args`, its standard input the terminal or /dev/null;
  // false when it could not.
  bool start(const std::vector<std::string>& args, bool input_is_terminal) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    const std::string name = ptsname(master_);
    // The test's own view of the terminal's settings.
    terminal_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::vector<std::string> text{tarnlink_binary()};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<std::string> env_text{"VELK_DEVICE_DIR=" + device_dir(), "TARNLINK_USB_IDS="};
    std::vector<char*> argv, env;
    for (std::string& arg : text) argv.push_back(arg.data());
    for (std::string& entry : env_text) env.push_back(entry.data());
    argv.push_back(nullptr);
    env.push_back(nullptr);
    const std::string work = root();
    int requests[2], answers[2];
    if (terminal_ < 0 || pipe2(requests, O_CLOEXEC) != 0) return false;
    if (pipe2(answers, O_CLOEXEC) != 0) return false;
    requests_ = requests[1];
    answers_ = answers[0];
    if ((shell_ = fork()) < 0) return false;
    if (shell_ == 0) {
      serve_job(name, input_is_terminal, work, argv.data(), env.data(), requests[0], answers[1]);
    }
    close(requests[0]);
    close(answers[1]);
    int job = -1;
    if (!answer(job) || job <= 0) return false;
    job_ = job;
    return true;
  }

  // The shell, in the child: never returns.
  [[noreturn]] static void serve_job(const std::string& name, bool input_is_terminal,
                                     const std::string& work, char** argv, char** env,
                                     int requests, int answers) {
    const auto reply = [&](int value) { (void)!write(answers, &value, sizeof value); };
    // Opened by the leader of a session without a terminal, the pseudo-terminal
    // becomes its terminal. A shell sets the terminal's group from the background.
    const int tty = setsid() < 0 ? -1 : open(name.c_str(), O_RDWR);
    signal(SIGTTOU, SIG_IGN);
    const pid_t job = tty < 0 ? -1 : fork();
    if (job == 0) {
      const rlimit no_core{0, 0};
      const int null = open("/dev/null", O_RDWR);
      (void)setpgid(0, 0);
      if (tcsetpgrp(tty, getpid()) != 0 || null < 0 || chdir(work.c_str()) != 0 ||
          setrlimit(RLIMIT_CORE, &no_core) != 0 || dup2(input_is_terminal ? tty : null, 0) < 0 ||
          dup2(null, 1) < 0 || dup2(null, 2) < 0) {
        _exit(126);
      }
      signal(SIGTTOU, SIG_DFL);
      execve(argv[0], argv, env);
      _exit(127);
    }
    if (job > 0) (void)setpgid(job, job);
    reply(job);
    for (char request; read(requests, &request, 1) == 1;) {
      int status = -1;
      switch (request) {
        case 'w':  // wait until it stops or ends
          if (waitpid(job, &status, WUNTRACED) != job) status = -1;
          break;
        case 'r': {  // whether it still runs
          int ignored = 0;
          status = waitpid(job, &ignored, WNOHANG | WUNTRACED) == 0 ? 1 : 0;
          break;
        }
        case 't':  // take the terminal back
          status = tcsetpgrp(tty, getpgrp());
          break;
        case 'f':  // fg
          status = tcsetpgrp(tty, job) == 0 ? kill(-job, SIGCONT) : -1;
          break;
      }
      reply(status);
    }
    _exit(0);
  }

  // The shell's answer to the last request, within the step limit.
  bool answer(int& value) {
    pollfd entry{answers_, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(kStepLimit.count())) == 1 &&
           read(answers_, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
  }
  bool ask(char request, int& value) {
    return write(requests_, &request, 1) == 1 && answer(value);
  }
  // Waits until the job stops or ends; its wait status.
  bool wait_job(int& status) {
    if (!ask('w', status) || status == -1) return false;
    if (!WIFSTOPPED(status)) job_ = -1;
    return true;
  }

  // Bytes as if typed on the terminal's keyboard.
  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Whether the terminal reads lines with echo, as a shell leaves it.
  bool line_mode() const {
    termios settings{};
    return tcgetattr(terminal_, &settings) == 0 && (settings.c_lflag & ICANON) != 0 &&
           (settings.c_lflag & ECHO) != 0;
  }
  std::string mode_text() const { return line_mode() ? "line mode" : "key mode"; }

  // Waits until instrument "velk" has been sent a block.
  bool sending() {
    return wait_until(
        [&] {
          const std::vector<std::string> log = log_of("velk");
          return std::find(log.begin(), log.end(), "write 4096") != log.end();
        },
        kStepLimit);
  }

  static std::string describe(int status) {
    if (WIFSTOPPED(status)) return "stopped by " + signal_name(WSTOPSIG(status));
    if (WIFSIGNALED(status)) return "ended by " + signal_name(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
  }

  int master_ = -1;
  int terminal_ = -1;
  int requests_ = -1;
  int answers_ = -1;
  pid_t shell_ = -1;
  pid_t job_ = -1;
};

// A signal that ends tarnlink: the terminal gets its settings back, a file made
// for an answer that has not begun is removed, and the process ends by the
// signal all the same.
struct Ending {
  const char* name;
  int signal_number;
  const char* key;  // typed on the terminal instead of sent with kill()
  bool input_is_terminal;
  bool answer_began;
};

class EndingSignalTest : public JobShellTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(EndingSignalTest, RestoresTheTerminalRemovesTheFileMadeAndEndsByTheSignal) {
  const Ending& c = GetParam();
  const std::string answer = root() + "/answer.bin";
  // Before the answer a slow send; once it began, 100 bytes stored and a long
  // link timeout waiting for more.
  const std::vector<std::string> emulator =
      c.answer_began ? std::vector<std::string>{"--device", "velk", "--answer", "pattern:100"}
                     : std::vector<std::string>{"--device", "velk", "--rate", "2000"};
  ASSERT_NE(start_emulator(emulator), nullptr);
  ASSERT_TRUE(start({input_file("data.bin", sample_bytes(10000)), answer, "/T", "100000"},
                    c.input_is_terminal));
  if (c.input_is_terminal) {
    ASSERT_TRUE(wait_until([&] { return !line_mode(); }, kStepLimit))
        << "tarnlink never took the terminal for its Esc key";
  }
  const auto began = [&] { return read_file(answer).size() == 100; };
  ASSERT_TRUE(c.answer_began ? wait_until(began, kStepLimit) : sending());
  if (c.key != nullptr) {
    type(c.key);
  } else {
    ASSERT_EQ(kill(job_, c.signal_number), 0);
  }
  int status = 0;
  ASSERT_TRUE(wait_job(status)) << "tarnlink did not end";
  const bool kept = access(answer.c_str(), F_OK) == 0;
  row_ = {sent_by(c.key, c.signal_number) +
              (c.answer_began ? " once the answer began" : " during the send"),
          c.input_is_terminal ? "terminal" : "/dev/null", describe(status), mode_text(),
          kept ? std::to_string(read_file(answer).size()) + " bytes" : "removed"};
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number) << describe(status);
  EXPECT_TRUE(line_mode()) << "the terminal was left without line input or echo";
  EXPECT_EQ(kept, c.answer_began) << "the file made for the answer";
}

void PrintTo(const Ending& c, std::ostream* out) { *out << c.name; }

INSTANTIATE_TEST_SUITE_P(
    Signals, EndingSignalTest,
    ::testing::Values(Ending{"PIPE", SIGPIPE, nullptr, true, false},
                      Ending{"XFSZ", SIGXFSZ, nullptr, true, false},
                      Ending{"TERM", SIGTERM, nullptr, true, false},
                      Ending{"HUP", SIGHUP, nullptr, true, false},
                      Ending{"USR1", SIGUSR1, nullptr, true, false},
                      Ending{"ALRM", SIGALRM, nullptr, true, false},
                      Ending{"RT", SIGRTMIN + 1, nullptr, true, false},
                      Ending{"CtrlC", SIGINT, "\x03", true, false},
                      Ending{"CtrlCInputNotATerminal", SIGINT, "\x03", false, false},
                      Ending{"TermInputNotATerminal", SIGTERM, nullptr, false, false},
                      Ending{"HupInputNotATerminal", SIGHUP, nullptr, false, false},
                      Ending{"TermOnceTheAnswerBegan", SIGTERM, nullptr, true, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A stop signal: tarnlink stops with the terminal as the shell expects it, takes
// it back when continued in the foreground, and finishes as if never stopped.
struct Stop {
  const char* name;
  int signal_number;
  const char* key;  // typed on the terminal instead of sent with kill()
};

class StopSignalTest : public JobShellTest, public ::testing::WithParamInterface<Stop> {};

TEST_P(StopSignalTest, StopsWithTheTerminalRestoredAndFinishesAfterFg) {
  const Stop& c = GetParam();
  ASSERT_NE(start_emulator({"--device", "velk", "--rate", "40000"}), nullptr);
  const std::string data = sample_bytes(40000), answer = root() + "/answer.bin";
  ASSERT_TRUE(start({input_file("data.bin", data), answer, "/T", "300"}, true));
  ASSERT_TRUE(wait_until([&] { return !line_mode(); }, kStepLimit))
      << "tarnlink never took the terminal for its Esc key";
  ASSERT_TRUE(sending());
  if (c.key != nullptr) {
    type(c.key);
  } else {
    ASSERT_EQ(kill(job_, c.signal_number), 0);
  }
  int stopped = 0, status = 0, done = 0;
  ASSERT_TRUE(wait_job(stopped)) << "tarnlink did not stop";
  const std::string while_stopped = mode_text();
  ASSERT_TRUE(ask('t', done) && ask('f', done));
  const bool taken_back = wait_until([&] { return !line_mode(); }, kStepLimit);
  ASSERT_TRUE(wait_job(status)) << "tarnlink did not end";
  stop_emulators();
  row_ = {sent_by(c.key, c.signal_number) + " during the send, then fg",
          "terminal", describe(stopped) + ", then " + describe(status),
          while_stopped + " while stopped, " + (taken_back ? "key mode" : "line mode") +
              " after fg, " + mode_text() + " at the end",
          std::to_string(read_file(answer).size()) + " of " + std::to_string(data.size()) +
              " bytes"};
  EXPECT_TRUE(WIFSTOPPED(stopped) && WSTOPSIG(stopped) == c.signal_number) << describe(stopped);
  EXPECT_EQ(while_stopped, "line mode");
  EXPECT_TRUE(taken_back) << "the terminal stayed in line mode after fg";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
  EXPECT_TRUE(line_mode());
  EXPECT_EQ(bin_of("velk"), data);
  EXPECT_EQ(read_file(answer), data);
}

void PrintTo(const Stop& c, std::ostream* out) { *out << c.name; }

INSTANTIATE_TEST_SUITE_P(JobControl, StopSignalTest,
                         ::testing::Values(Stop{"CtrlZ", SIGTSTP, "\x1a"},
                                           Stop{"TTIN", SIGTTIN, nullptr},
                                           Stop{"TTOU", SIGTTOU, nullptr}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The shell takes the terminal back while tarnlink runs, as it does when the
// job's shell script is killed: tarnlink, now in the background, leaves the
// terminal as the shell set it.
TEST_F(JobShellTest, LeavesTheTerminalAloneOnceInTheBackground) {
  ASSERT_NE(start_emulator({"--device", "velk", "--rate", "40000"}), nullptr);
  ASSERT_TRUE(start({input_file("data.bin", sample_bytes(40000)), root() + "/answer.bin", "/T",
                     "300"},
                    true));
  ASSERT_TRUE(wait_until([&] { return !line_mode(); }, kStepLimit))
      << "tarnlink never took the terminal for its Esc key";
  int done = 0, running = 0, status = 0;
  ASSERT_TRUE(sending() && ask('t', done));
  // The shell's line editing: lines, no echo.
  termios shell_mode{};
  ASSERT_EQ(tcgetattr(terminal_, &shell_mode), 0);
  shell_mode.c_lflag = (shell_mode.c_lflag | ICANON) & ~static_cast<tcflag_t>(ECHO);
  ASSERT_EQ(tcsetattr(terminal_, TCSANOW, &shell_mode), 0);
  ASSERT_TRUE(ask('r', running));
  ASSERT_EQ(running, 1) << "tarnlink ended before the shell took the terminal";
  ASSERT_TRUE(wait_job(status)) << "tarnlink did not end";
  termios after{};
  ASSERT_EQ(tcgetattr(terminal_, &after), 0);
  const bool left_alone = (after.c_lflag & (ICANON | ECHO)) == ICANON;
  row_ = {"the shell takes the terminal back during the send", "terminal", describe(status),
          left_alone ? "as the shell set it" : "changed under the shell", "-"};
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
  EXPECT_TRUE(left_alone) << "tarnlink changed the terminal from the background";
}

}  // namespace
}  // namespace tarnlink::e2e
