#include "platform/posix/terminal_key.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

#include <termios.h>
#include <unistd.h>

namespace tarnlink::posix {
namespace {

constexpr unsigned char kEscape = 0x1B;

// The terminal's settings as we found them, and whether ours are in force. Read
// from signal handlers, so both are set up before a handler can run.
struct termios g_saved;
volatile std::sig_atomic_t g_active = 0;

// Every signal whose default action ends the process (the real-time ones are
// added at run time): the terminal goes back before the process does.
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

// tcsetattr from a background process would stop it with SIGTTOU, so that
// signal is held back while the settings go back.
void restore_terminal() {
  if (g_active == 0) return;
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGTTOU);
  (void)sigprocmask(SIG_BLOCK, &block, &previous);
  (void)tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  g_active = 0;
}

bool in_foreground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

// Input byte by byte, without echo, and reads that return at once. Signals from
// the keyboard (Ctrl+C) stay on.
bool enter_key_mode() {
  struct termios raw = g_saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  g_active = 1;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
    g_active = 0;
    return false;
  }
  return true;
}

// Ends the process as the signal would have, so that its exit status is the
// one the shell expects (141 for SIGPIPE). The signal stays blocked until the
// handler returns, and is then taken with its default action.
void on_fatal_signal(int signal_number) {
  restore_terminal();
  (void)std::signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

// Restores the terminal on `signal_number` unless the process was started with
// it ignored: an ignored signal stays ignored.
void restore_on(int signal_number) {
  struct sigaction action;
  if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) return;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_fatal_signal;
  sigemptyset(&action.sa_mask);
  (void)sigaction(signal_number, &action, nullptr);
}

void on_stop_signal(int) {
  // Stop with the terminal as the shell expects it, and take it back on return.
  restore_terminal();
  (void)std::signal(SIGTSTP, SIG_DFL);
  (void)raise(SIGTSTP);
  (void)std::signal(SIGTSTP, on_stop_signal);
  if (in_foreground()) enter_key_mode();
}

// Sets up the restore paths once; false when there is no terminal to read.
bool prepare() {
  static const bool usable = [] {
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &g_saved) != 0) return false;
    (void)std::atexit(restore_terminal);
    for (const int signal_number : kEndingSignals) restore_on(signal_number);
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
      restore_on(signal_number);
    }
    struct sigaction stop;
    std::memset(&stop, 0, sizeof stop);
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    (void)sigaction(SIGTSTP, &stop, nullptr);
    return true;
  }();
  return usable;
}

// A lone Esc; an Esc that starts a cursor or function key sequence is not one.
bool holds_lone_escape(const unsigned char* bytes, ssize_t count) {
  for (ssize_t i = 0; i < count; ++i) {
    if (bytes[i] != kEscape) continue;
    if (i + 1 < count && (bytes[i + 1] == '[' || bytes[i + 1] == 'O')) continue;
    return true;
  }
  return false;
}

}  // namespace

bool terminal_escape_pressed() {
  if (!prepare() || !in_foreground()) return false;
  if (g_active == 0 && !enter_key_mode()) return false;
  bool pressed = false;
  unsigned char pending[64];
  ssize_t count;
  while ((count = read(STDIN_FILENO, pending, sizeof pending)) > 0) {
    pressed = pressed || holds_lone_escape(pending, count);
  }
  return pressed;
}

}  // namespace tarnlink::posix
