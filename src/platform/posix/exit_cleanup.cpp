#include "platform/posix/exit_cleanup.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace tarnlink::posix {
namespace {

// Read by signal handlers: each value is complete before its flag is set, and
// every change is made with signals held.
struct termios g_terminal;
volatile std::sig_atomic_t g_terminal_changed = 0;
// open() takes no longer path, so one that was created fits.
char g_created_path[PATH_MAX];
dev_t g_created_device = 0;
ino_t g_created_inode = 0;
volatile std::sig_atomic_t g_created = 0;
// Set once the process is on its way out: nothing changes the terminal again.
volatile std::sig_atomic_t g_leaving = 0;

// Every signal whose default action ends the process (the real-time ones are
// added at run time).
constexpr int kEndingSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// Holds every signal for its lifetime, so that a handler never sees half a
// change, and a tcsetattr that finds the process in the background changes the
// settings instead of stopping it with SIGTTOU.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsHeld() { (void)sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

void leave() {
  g_leaving = 1;
  remove_created_file();
  restore_terminal();
}

// Ends the process as the signal would have, so that its exit status is the
// one the shell expects (141 for SIGPIPE). The signal stays held until the
// handler returns, and is then taken with its default action.
void on_ending_signal(int signal_number) {
  leave();
  (void)std::signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

void catch_ending_signals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  (void)std::atexit(leave);
  for (const int signal_number : kEndingSignals) catch_signal(signal_number, on_ending_signal);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    catch_signal(signal_number, on_ending_signal);
  }
}

}  // namespace

void keep_terminal_settings(const termios& saved) {
  catch_ending_signals();
  g_terminal = saved;
}

bool in_foreground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

bool change_terminal(const termios& settings) {
  const SignalsHeld held;
  if (g_leaving != 0 || !in_foreground() || tcsetattr(STDIN_FILENO, TCSANOW, &settings) != 0) {
    return false;
  }
  g_terminal_changed = 1;
  return true;
}

bool terminal_changed() { return g_terminal_changed != 0; }

void restore_terminal() {
  const SignalsHeld held;
  // A process left in the background is no longer the terminal's user: the
  // shell has it now, and settings put back would be put under its feet.
  if (g_terminal_changed == 0 || !in_foreground()) return;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal) == 0) g_terminal_changed = 0;
}

int create_file(const char* path) {
  catch_ending_signals();
  // Held from before the file exists until it is recorded: a signal cannot end
  // the process in between and leave the file behind.
  const SignalsHeld held;
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat status;
  const std::size_t length = std::strlen(path);
  if (length < sizeof g_created_path && fstat(fd, &status) == 0) {
    std::memcpy(g_created_path, path, length + 1);
    g_created_device = status.st_dev;
    g_created_inode = status.st_ino;
    g_created = 1;
  }
  return fd;
}

void keep_created_file() { g_created = 0; }

void remove_created_file() {
  const SignalsHeld held;
  if (g_created == 0) return;
  // Whatever else stands at the name now (a file renamed over it, a link) is
  // not ours.
  struct stat status;
  if (lstat(g_created_path, &status) == 0 && status.st_dev == g_created_device &&
      status.st_ino == g_created_inode) {
    (void)unlink(g_created_path);
  }
  g_created = 0;
}

void catch_signal(int signal_number, void (*handler)(int)) {
  struct sigaction action;
  // An ignored signal stays ignored; one that the program's host already
  // handles (a sanitizer's runtime, a fuzzer's timer) stays the host's.
  if (sigaction(signal_number, nullptr, &action) != 0 || (action.sa_flags & SA_SIGINFO) != 0 ||
      action.sa_handler != SIG_DFL) {
    return;
  }
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  (void)sigaction(signal_number, &action, nullptr);
}

}  // namespace tarnlink::posix
