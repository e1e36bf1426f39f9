#include "platform/posix/terminal_key.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include "platform/posix/exit_cleanup.h"

namespace tarnlink::posix {
namespace {

constexpr unsigned char kEscape = 0x1B;

// The run's settings: input byte by byte, without echo, and reads that return
// at once. Signals from the keyboard (Ctrl+C, Ctrl+Z) stay on. Set before any
// handler can read them.
struct termios g_key_mode;

// Stops as the signal would, with the terminal as the shell expects it. The
// signal is held while its handler runs, and raising it then would only leave
// it pending: its default action goes back in and it is let through first.
void on_stop_signal(int signal_number) {
  const int saved_errno = errno;
  restore_terminal();
  (void)std::signal(signal_number, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, signal_number);
  (void)sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  (void)raise(signal_number);
  // Continued: SIGCONT's handler takes the terminal back once this one returns.
  catch_signal(signal_number, on_stop_signal);
  errno = saved_errno;
}

// Continued, by fg or by a shell that did not stop us: the run's settings go
// back while we are in the foreground; a job continued in the background
// leaves the terminal to the shell.
void on_continue(int) {
  const int saved_errno = errno;
  (void)change_terminal(g_key_mode);
  errno = saved_errno;
}

// Sets up the run's settings and their restore paths once; false when there is
// no terminal to read.
bool prepare() {
  static const bool usable = [] {
    struct termios saved;
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) return false;
    g_key_mode = saved;
    g_key_mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    g_key_mode.c_cc[VMIN] = 0;
    g_key_mode.c_cc[VTIME] = 0;
    keep_terminal_settings(saved);
    for (const int signal_number : {SIGTSTP, SIGTTIN, SIGTTOU}) {
      catch_signal(signal_number, on_stop_signal);
    }
    catch_signal(SIGCONT, on_continue);
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
  if (!terminal_changed() && !change_terminal(g_key_mode)) return false;
  bool pressed = false;
  unsigned char pending[64];
  ssize_t count;
  while ((count = read(STDIN_FILENO, pending, sizeof pending)) > 0) {
    pressed = pressed || holds_lone_escape(pending, count);
  }
  return pressed;
}

}  // namespace tarnlink::posix
