// The Esc key on a POSIX terminal. A terminal program cannot see whether a key
// is held, so an Esc typed into the controlling terminal counts as held at the
// next test.
#pragma once

namespace tarnlink::posix {

// True when an Esc byte is among the input typed into the terminal since the
// previous test. Never blocks. Only when standard input is the controlling
// terminal and the process is in its foreground group; otherwise always false.
// The first test switches the terminal to unbuffered input without echo; its
// settings come back when the process exits, also on every signal whose default
// action ends the process (which then ends it as before), and while a stop
// signal (SIGTSTP, SIGTTIN, SIGTTOU) holds it; continued in the foreground, it
// takes the terminal again. The terminal is touched only from the foreground.
bool terminal_escape_pressed();

}  // namespace tarnlink::posix
