// Counting and showing the messages sent while a run goes on.
#include "tools/kvflow/Progress.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <new>

namespace kvflow {
namespace {

bool stderrIsTerminal() {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;
  return terminal;
}

}  // namespace

Progress::~Progress() {
  if (counters_ != nullptr) ::munmap(counters_, count_ * sizeof(Counter));
}

bool Progress::share(std::size_t count) {
  void* shared = ::mmap(nullptr, count * sizeof(Counter), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return false;
  counters_ = static_cast<Counter*>(shared);
  count_ = count;
  for (std::size_t i = 0; i < count; ++i) new (&counters_[i]) Counter();
  return true;
}

void Progress::start(long totalSends) {
  totalSends_ = totalSends;
  start_ = Clock::now();
}

void Progress::show() {
  if (!stderrIsTerminal() || counters_ == nullptr) return;
  const auto now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - lastShown_ < std::chrono::milliseconds(200)) {
    return;
  }
  lastShown_ = now;
  long sent = 0;
  for (std::size_t i = 0; i < count_; ++i) sent += counters_[i].sent.load();
  const double seconds = std::chrono::duration<double>(now - start_).count();
  char line[160];
  std::snprintf(line, sizeof line, "\rkvflow: %ld of %ld messages sent, %.0f messages/s\033[K",
                sent, totalSends_, seconds > 0 ? sent / seconds : 0.0);
  std::cerr << line << std::flush;
  shown_ = true;
}

void Progress::clear() {
  if (!stderrIsTerminal() || counters_ == nullptr) return;
  if (shown_) std::cerr << "\r\033[K" << std::flush;
  shown_ = false;
}

}  // namespace kvflow
