// Esc typed into a real terminal (tmux) while tarnlink sends: the send stops with
// the break message, and the terminal gets its settings back. And tarnlink as a
// job of a shell on a pseudo-terminal: signals that end or stop it, and a shell
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

// What a case does to the job while it runs.
enum class Event { kEnd, kStop, kShellTakesTheTerminal };

struct JobCase {
  const char* name;
  Event event;
  int signal_number;  // the signal that ends or stops it
  const char* key;    // typed on the terminal instead of sent with kill()
  bool input_is_terminal;
  bool answer_began;  // the signal comes once the answer began, not during the send
};

void PrintTo(const JobCase& c, std::ostream* out) { *out << c.name; }

// tarnlink as a job of a shell on a new pseudo-terminal. The shell is the test's
// child: it leads a session whose controlling terminal is the pseudo-terminal,
// starts tarnlink in a process group of its own in the foreground, and on each
// request waits for it to stop or end ('w'), takes the terminal back ('t'), or
// hands it to the job again and continues it ('f'). Each case reports one row
// of the reliability document.
class JobTest : public ReportedTest, public ::testing::WithParamInterface<JobCase> {
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
    text.insert(text.end(), {"VELK_DEVICE_DIR=" + device_dir(), "TARNLINK_USB_IDS="});
    std::vector<char*> argv;
    for (std::string& arg : text) argv.push_back(arg.data());
    char* env[] = {argv[argv.size() - 2], argv.back(), nullptr};
    argv[argv.size() - 2] = nullptr;
    const std::string work = root();
    int requests[2], answers[2];
    if (terminal_ < 0 || pipe2(requests, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0 ||
        (shell_ = fork()) < 0) {
      return false;
    }
    if (shell_ == 0) {
      serve(name, input_is_terminal, work, argv.data(), env, requests[0], answers[1]);
    }
    requests_ = requests[1];
    answers_ = answers[0];
    close(requests[0]);
    close(answers[1]);
    return ask(0, job_) && job_ > 0;
  }

  // The shell, in the child. Only calls that are safe between fork and exec.
  [[noreturn]] static void serve(const std::string& name, bool input_is_terminal,
                                 const std::string& work, char** argv, char** env, int requests,
                                 int answers) {
    // Opened by the leader of a session without a terminal, the pseudo-terminal
    // becomes its terminal. A shell sets the terminal's group from the background.
    const int tty = setsid() < 0 ? -1 : open(name.c_str(), O_RDWR);
    signal(SIGTTOU, SIG_IGN);
    pid_t job = tty < 0 ? -1 : fork();
    if (job == 0) {
      const rlimit no_core{0, 0};
      const int null = open("/dev/null", O_RDWR);
      if (setpgid(0, 0) != 0 || tcsetpgrp(tty, getpid()) != 0 || null < 0 ||
          chdir(work.c_str()) != 0 || setrlimit(RLIMIT_CORE, &no_core) != 0 ||
          dup2(input_is_terminal ? tty : null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) {
        _exit(126);
      }
      signal(SIGTTOU, SIG_DFL);
      execve(argv[0], argv, env);
      _exit(127);
    }
    if (job > 0) (void)setpgid(job, job);
    // The first answer, unasked, is the job's process id.
    for (char request = 0;;) {
      int answer = job;
      if (request == 'w' && waitpid(job, &answer, WUNTRACED) != job) answer = -1;
      if (request == 't') answer = tcsetpgrp(tty, getpgrp());
      if (request == 'f') answer = tcsetpgrp(tty, job) == 0 ? kill(-job, SIGCONT) : -1;
      if (write(answers, &answer, sizeof answer) != sizeof answer || job < 0 ||
          read(requests, &request, 1) != 1) {
        _exit(0);
      }
    }
  }

  // Makes the shell do `request` (0: nothing, for its first answer) and reads
  // its answer, within the step limit.
  bool ask(char request, int& answer) {
    pollfd entry{answers_, POLLIN, 0};
    return (request == 0 || write(requests_, &request, 1) == 1) &&
           poll(&entry, 1, static_cast<int>(kStepLimit.count())) == 1 &&
           read(answers_, &answer, sizeof answer) == static_cast<ssize_t>(sizeof answer);
  }
  // Waits until the job stops or ends; its wait status.
  bool wait_job(int& status) {
    if (!ask('w', status) || status == -1) return false;
    if (!WIFSTOPPED(status)) job_ = -1;
    return true;
  }

  // "line mode" as a shell leaves the terminal (lines, with echo), "key mode"
  // as tarnlink sets it for the run, or "lines without echo".
  std::string mode() const {
    termios settings{};
    if (tcgetattr(terminal_, &settings) != 0) return "unknown";
    const tcflag_t flags = settings.c_lflag & (ICANON | ECHO);
    if (flags == ICANON) return "lines without echo";
    return flags == (ICANON | ECHO) ? "line mode" : "key mode";
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
// signal all the same. A stop signal: tarnlink stops with the terminal as the
// shell expects it, takes it back when continued in the foreground, and
// finishes as if never stopped. A shell that takes the terminal back (its job's
// script was killed): tarnlink, now in the background, leaves it alone.
TEST_P(JobTest, TerminalAndAnswerFileUnderJobControl) {
  const JobCase& c = GetParam();
  const bool ends = c.event == Event::kEnd;
  // A slow send; or 100 bytes of the answer stored and a long link timeout
  // waiting for more.
  const std::string data = sample_bytes(ends ? 10000 : 40000), answer = root() + "/answer.bin";
  std::vector<std::string> emulator{"--device", "velk", "--rate", ends ? "2000" : "40000"};
  if (c.answer_began) emulator = {"--device", "velk", "--answer", "pattern:100"};
  ASSERT_NE(start_emulator(emulator), nullptr);
  ASSERT_TRUE(start({input_file("data.bin", data), answer, "/T", ends ? "100000" : "300"},
                    c.input_is_terminal));
  if (c.input_is_terminal) {
    ASSERT_TRUE(wait_until([&] { return mode() == "key mode"; }, kStepLimit))
        << "tarnlink never took the terminal for its Esc key";
  }
  const auto ready = [&] {
    if (c.answer_began) return read_file(answer).size() == 100;
    const std::vector<std::string> log = log_of("velk");
    return std::find(log.begin(), log.end(), "write 4096") != log.end();
  };
  ASSERT_TRUE(wait_until(ready, kStepLimit));
  int stopped = 0, status = 0, done = 0;
  std::string terminal;
  if (c.event == Event::kShellTakesTheTerminal) {
    // The shell's line editing: lines, no echo.
    termios shell{};
    ASSERT_TRUE(ask('t', done) && tcgetattr(terminal_, &shell) == 0);
    shell.c_lflag = (shell.c_lflag | ICANON) & ~static_cast<tcflag_t>(ECHO);
    ASSERT_EQ(tcsetattr(terminal_, TCSANOW, &shell), 0);
    ASSERT_LT(read_file(answer).size(), data.size()) << "tarnlink ended before the shell acted";
  } else if (c.key != nullptr) {
    ASSERT_EQ(write(master_, c.key, 1), 1);
  } else {
    ASSERT_EQ(kill(job_, c.signal_number), 0);
  }
  ASSERT_TRUE(wait_job(status)) << "tarnlink did not stop or end";
  if (c.event == Event::kStop) {
    stopped = status;
    terminal = mode() + " while stopped, ";
    ASSERT_TRUE(ask('t', done) && ask('f', done));
    const bool taken = wait_until([&] { return mode() == "key mode"; }, kStepLimit);
    terminal += taken ? "key mode after fg, " : "line mode after fg, ";
    ASSERT_TRUE(wait_job(status)) << "tarnlink did not end";
  }
  stop_emulators();
  terminal += mode() + " at the end";
  const bool kept = access(answer.c_str(), F_OK) == 0;
  std::string what = c.key == nullptr ? signal_name(c.signal_number)
                                     : "Ctrl+" + std::string(1, static_cast<char>('@' + c.key[0]));
  if (c.event == Event::kShellTakesTheTerminal) what = "the shell takes the terminal back";
  what += c.event == Event::kStop ? " during the send, then fg"
          : c.answer_began        ? " once the answer began"
                                  : " during the send";
  row_ = {what, c.input_is_terminal ? "terminal" : "/dev/null",
          (c.event == Event::kStop ? describe(stopped) + ", then " : "") + describe(status),
          terminal, kept ? std::to_string(read_file(answer).size()) + " bytes" : "removed"};
  if (ends) {
    EXPECT_EQ(describe(status), "ended by " + signal_name(c.signal_number));
    EXPECT_EQ(terminal, "line mode at the end");
    EXPECT_EQ(kept, c.answer_began) << "the file made for the answer";
  } else {
    EXPECT_EQ(describe(status), "exit 0");
    EXPECT_EQ(read_file(answer), data);
    EXPECT_EQ(bin_of("velk"), data);
  }
  if (c.event == Event::kStop) {
    EXPECT_EQ(describe(stopped), "stopped by " + signal_name(c.signal_number));
    EXPECT_EQ(terminal, "line mode while stopped, key mode after fg, line mode at the end");
  }
  if (c.event == Event::kShellTakesTheTerminal) {
    EXPECT_EQ(terminal, "lines without echo at the end") << "changed from the background";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, JobTest,
    ::testing::Values(JobCase{"PIPE", Event::kEnd, SIGPIPE, nullptr, true, false},
                      JobCase{"XFSZ", Event::kEnd, SIGXFSZ, nullptr, true, false},
                      JobCase{"TERM", Event::kEnd, SIGTERM, nullptr, true, false},
                      JobCase{"HUP", Event::kEnd, SIGHUP, nullptr, true, false},
                      JobCase{"USR1", Event::kEnd, SIGUSR1, nullptr, true, false},
                      JobCase{"ALRM", Event::kEnd, SIGALRM, nullptr, true, false},
                      JobCase{"RT", Event::kEnd, SIGRTMIN + 1, nullptr, true, false},
                      JobCase{"CtrlC", Event::kEnd, SIGINT, "\x03", true, false},
                      JobCase{"CtrlCInputNotATerminal", Event::kEnd, SIGINT, "\x03", false, false},
                      JobCase{"TermInputNotATerminal", Event::kEnd, SIGTERM, nullptr, false, false},
                      JobCase{"HupInputNotATerminal", Event::kEnd, SIGHUP, nullptr, false, false},
                      JobCase{"TermOnceTheAnswerBegan", Event::kEnd, SIGTERM, nullptr, true, true},
                      JobCase{"CtrlZ", Event::kStop, SIGTSTP, "\x1a", true, false},
                      JobCase{"TTIN", Event::kStop, SIGTTIN, nullptr, true, false},
                      JobCase{"TTOU", Event::kStop, SIGTTOU, nullptr, true, false},
                      JobCase{"ShellTakesTheTerminal", Event::kShellTakesTheTerminal, 0, nullptr,
                              true, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tarnlink::e2e
