#include "tools/kvpool/Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "support/FileIo.h"

namespace kvpooltool {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH};
volatile sig_atomic_t endingSignalNumber = 0;
volatile sig_atomic_t resized = 0;

void onSignal(int signalNumber) {
  if (signalNumber == SIGWINCH) {
    resized = 1;
  } else {
    endingSignalNumber = signalNumber;
  }
}

// The handlers above run without SA_RESTART: a resize interrupting the write
// must not cut the control sequence short.
void writeText(const char* text) {
  kvpool::writeAll(STDOUT_FILENO, text);
}

}  // namespace

TerminalSession::TerminalSession() {
  // No SA_RESTART: a signal wakes the watch's wait, which then looks at the flags.
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &action, &savedActions_[i]);
  }
  // Ctrl-C and Ctrl-\ arrive as keys (ISIG off), and Ctrl-Z cannot stop the
  // watch with the terminal in this state.
  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedInput_) == 0) {
    termios raw = savedInput_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    inputRaw_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
  }
  writeText("\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
}

TerminalSession::~TerminalSession() {
  writeText("\x1b[?25h\x1b[?1049l");
  if (inputRaw_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedInput_);
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &savedActions_[i], nullptr);
  }
}

int TerminalSession::endingSignal() {
  return endingSignalNumber;
}

bool TerminalSession::takeResized() {
  const bool was = resized != 0;
  resized = 0;
  return was;
}

void TerminalSession::size(int* columns, int* rows) {
  winsize window{};
  const bool known =
      ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0;
  *columns = known ? window.ws_col : 80;
  *rows = known ? window.ws_row : 24;
}

}  // namespace kvpooltool
