// What the program puts right on every way out of the process: the terminal's
// settings, and a file it created that is not to outlive the job. Done at exit
// and in the handler of every signal whose default action ends the process,
// which then ends as that signal would have ended it. The handlers go in at the
// first call below; a signal ignored then stays ignored.
#pragma once

#include <termios.h>

namespace tarnlink::posix {

// Keeps `saved`, the settings standard input's terminal had before the program
// changed them, to be put back on the way out.
void keep_terminal_settings(const termios& saved);
// Whether the process is in the foreground group of standard input's terminal:
// only then does it change the terminal. Async-signal-safe.
bool in_foreground();
// Sets standard input's terminal to `settings` while the process is in the
// terminal's foreground group and not on its way out; false otherwise, or when
// the terminal refused. Async-signal-safe.
bool change_terminal(const termios& settings);
// Whether change_terminal() has set settings that were not put back since.
bool terminal_changed();
// Puts the kept settings back, now, if they were changed and the process is in
// the terminal's foreground group. Async-signal-safe.
void restore_terminal();

// Creates the file `path` for writing (mode 0666 less the umask), failing with
// EEXIST when anything, a dangling link included, is at the name. Until
// keep_created_file(), the file is removed on the way out while `path` still
// leads to it. One file at a time: a second replaces the first here. Returns
// the descriptor, or -1 with errno set.
int create_file(const char* path);
// The created file stays from now on.
void keep_created_file();
// Removes the created file now, as the way out would; forgets it either way.
void remove_created_file();

// Installs `handler` for `signal_number` where the signal has its default
// action: an ignored or already handled signal is left as it is. The handler
// runs with every other signal held; calls it interrupts restart.
void catch_signal(int signal_number, void (*handler)(int));

}  // namespace tarnlink::posix
