// watch: the pool at a glance, refreshed on a terminal until q or Ctrl-C;
// printed once when standard output is not a terminal.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

#include "support/FileIo.h"
#include "tools/kvpool/Commands.h"

namespace kvpooltool {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH};
volatile sig_atomic_t endingSignal = 0;  // SIGINT, SIGTERM, SIGHUP or SIGQUIT asked to end
volatile sig_atomic_t resized = 0;

void onSignal(int signalNumber) {
  if (signalNumber == SIGWINCH) {
    resized = 1;
  } else {
    endingSignal = signalNumber;
  }
}

// For the guard's scope: keys read one at a time without echo, an alternate
// screen, no cursor. The signals that end a watch only set a flag, so every
// way out passes the destructor, which restores the terminal.
class TerminalSession {
 public:
  TerminalSession() {
    // No SA_RESTART: a signal wakes the watch's wait, which then looks at the
    // flags (and writeAll carries a write it cut short on).
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
    kvpool::writeAll(STDOUT_FILENO, "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
  }
  ~TerminalSession() {
    kvpool::writeAll(STDOUT_FILENO, "\x1b[?25h\x1b[?1049l");
    if (inputRaw_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedInput_);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], &savedActions_[i], nullptr);
    }
  }
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

 private:
  bool inputRaw_ = false;
  termios savedInput_{};
  struct sigaction savedActions_[std::size(kSignals)]{};
};

using Values = std::map<std::string, std::string>;

// bytes as shown (printable: a value can neither move the cursor nor garble
// the terminal) in at most columns, a cut marked ~, padded to pad columns;
// *width gets the columns used.
std::string fitted(std::string_view bytes, int columns, int pad = 0, int* width = nullptr) {
  std::string out;
  int used = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    std::string cell;
    const std::size_t length = kvtools::appendShown(bytes, at, kvtools::ShownAs::kData, &cell);
    // Shown as it is: one character; escaped: one column per byte of text.
    const int cellColumns = cell == bytes.substr(at, length) ? 1 : static_cast<int>(cell.size());
    at += length;
    // Room for the cut mark unless this is the last cell.
    if (used + cellColumns + (at < bytes.size() ? 1 : 0) > columns) {
      if (used < columns) {
        out += "~";
        used += 1;
      }
      break;
    }
    out += cell;
    used += cellColumns;
  }
  if (used < pad) out += std::string(static_cast<std::size_t>(pad - used), ' ');
  if (width != nullptr) *width = used;
  return out;
}

std::string bar(double share, int columns) {
  const int filled = std::clamp(static_cast<int>(share * columns + 0.5), 0, columns);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(columns - filled), '-') + "]";
}

// The view's lines; columns 0 means no limit (not a terminal). Marks with *
// the keys that are new or changed since previous, unless first.
std::vector<std::string> render(const PoolFacts& facts, const Values& previous, bool first,
                                int columns, int rows, int intervalMs) {
  const int width = columns > 0 ? columns : 1 << 20;
  std::vector<std::string> lines;
  char head[160];
  std::snprintf(head, sizeof head, "kvpool watch: every %d ms, %s; %s", intervalMs,
                counted(facts.nodeContexts(), "node context", "node contexts").c_str(),
                columns > 0 ? "q quits" : "printed once");
  lines.push_back(fitted(head, width));
  if (!facts.present()) {
    lines.push_back("no pool exists on this machine (no segment with key 99999)");
    return lines;
  }
  if (!facts.image) {
    lines.push_back(fitted("contents unreadable: " + facts.imageError, width));
    return lines;
  }
  char numbers[128];
  std::snprintf(numbers, sizeof numbers, " %d of %d bytes (%.1f%%), %s%s", facts.used(),
                facts.capacity(), 100 * facts.share(),
                counted(facts.records(), "record", "records").c_str(),
                facts.walk.sound() ? "" : ", chain damaged (kvpool verify)");
  const int barColumns = std::clamp(width - static_cast<int>(std::strlen(numbers)) - 2, 10, 50);
  lines.push_back(fitted(bar(facts.share(), barColumns) + numbers, width));
  for (const std::string& warning : facts.warnings) lines.push_back(fitted("! " + warning, width));
  lines.push_back("");
  int keyColumns = 3;
  for (const Record& record : facts.walk.records) {
    int keyWidth = 0;
    fitted(record.key, 1 << 20, 0, &keyWidth);
    keyColumns = std::max(keyColumns, keyWidth);
  }
  keyColumns = std::min(keyColumns, std::max(10, width / 3));
  lines.push_back(fitted("  " + fitted("KEY", keyColumns, keyColumns) + "  VALUE", width));
  const std::size_t room =
      rows > 0 ? static_cast<std::size_t>(std::max<int>(rows - static_cast<int>(lines.size()), 1))
               : facts.walk.records.size();
  const std::size_t records = facts.walk.records.size();
  const std::size_t shown = records > room ? room - 1 : records;
  for (std::size_t i = 0; i < shown; ++i) {
    const Record& record = facts.walk.records[i];
    const auto before = previous.find(record.key);
    const bool changed = !first && (before == previous.end() || before->second != record.value);
    std::string line = (changed ? "* " : "  ") + fitted(record.key, keyColumns, keyColumns) + "  ";
    const int valueColumns = std::max(width - keyColumns - 4, 1);
    lines.push_back(line + fitted(record.value, valueColumns));
  }
  if (shown < records) {
    lines.push_back(fitted("  ... " + counted(records - shown, "more record", "more records") +
                               " (a taller window shows them)",
                           width));
  }
  return lines;
}

void draw(const std::vector<std::string>& lines) {
  std::string screen = "\x1b[H";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    screen += lines[i] + "\x1b[K";
    if (i + 1 < lines.size()) screen += "\r\n";
  }
  screen += "\x1b[J";
  std::fwrite(screen.data(), 1, screen.size(), stdout);
  std::fflush(stdout);
}

// Waits until the next refresh; false when the watch should end.
bool waitForRefresh(int intervalMs, bool* inputOpen) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(intervalMs);
  for (;;) {
    if (endingSignal != 0) return false;
    if (resized != 0) {
      resized = 0;
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return true;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, *inputOpen ? 1 : 0, static_cast<int>(left));
    if (ready <= 0) continue;  // a signal, or the time is up
    char keys[64];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n <= 0) {
      *inputOpen = false;  // end of input: only a signal ends the watch now
      continue;
    }
    for (ssize_t i = 0; i < n; ++i) {
      // q, Ctrl-C and Ctrl-\ (the terminal sends no signals while watching).
      if (keys[i] == 'q' || keys[i] == 'Q' || keys[i] == 0x03 || keys[i] == 0x1c) return false;
    }
  }
}

int watchOnce(int intervalMs, double waitSeconds) {
  const PoolFacts facts = gatherPoolFacts(waitSeconds);
  for (const std::string& line : render(facts, {}, true, 0, 0, intervalMs)) {
    std::cout << line << "\n";
  }
  if (!facts.present()) return noPool();
  if (!facts.image) return fail("the pool's contents could not be read: " + facts.imageError);
  return kExitDone;
}

}  // namespace

int runWatch(int intervalMs, double waitSeconds) {
  if (!isatty(STDOUT_FILENO)) return watchOnce(intervalMs, waitSeconds);
  // A refresh waits for the lock no longer than the refresh interval, so
  // keys are answered in time even while a writer holds the pool.
  const double lockWait = std::min(waitSeconds, intervalMs / 1000.0);
  int signalNumber = 0;
  {
    TerminalSession terminal;
    Values previous;
    bool first = true;
    bool inputOpen = true;
    do {
      const PoolFacts facts = gatherPoolFacts(lockWait);
      // 80 x 24 when the window's size is unknown.
      winsize window{};
      const bool known =
          ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0;
      draw(render(facts, previous, first, known ? window.ws_col : 80, known ? window.ws_row : 24,
                  intervalMs));
      if (facts.image || !facts.present()) {
        previous.clear();
        for (const Record& record : facts.walk.records) previous[record.key] = record.value;
        first = !facts.present();
      }
    } while (waitForRefresh(intervalMs, &inputOpen));
    signalNumber = endingSignal;
  }
  // The terminal is restored; a signal other than an interrupt now ends the
  // process as it would have without the watch.
  if (signalNumber != 0 && signalNumber != SIGINT) {
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
  }
  return kExitDone;
}

}  // namespace kvpooltool
