// The terminal as watch uses it: keys read one at a time without echo, an
// alternate screen with the cursor hidden, and the terminal as it was on
// every way out: the guard's destructor restores it, and the signals that
// end a watch only set a flag, so the watch returns through the destructor.
#ifndef KVPOOL_TOOLS_KVPOOL_TERMINAL_H
#define KVPOOL_TOOLS_KVPOOL_TERMINAL_H

#include <termios.h>

#include <csignal>

namespace kvpooltool {

class TerminalSession {
 public:
  // Takes over standard output (a terminal) and, when it is one, standard
  // input; installs the signal handlers.
  TerminalSession();
  ~TerminalSession();
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  // The signal that asked the watch to end (SIGINT, SIGTERM, SIGHUP, SIGQUIT),
  // or 0.
  static int endingSignal();
  // True once after the window changed size.
  static bool takeResized();
  // Columns and rows of the window (80 x 24 when unknown).
  static void size(int* columns, int* rows);

 private:
  bool inputRaw_ = false;
  termios savedInput_{};
  struct sigaction savedActions_[5]{};
};

}  // namespace kvpooltool

#endif
