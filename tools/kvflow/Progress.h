// The progress of a run: one counter of messages sent per worker, in memory
// shared with the worker processes, and the line that shows their sum on a
// terminal while a long run goes on.
#ifndef KVPOOL_TOOLS_KVFLOW_PROGRESS_H
#define KVPOOL_TOOLS_KVFLOW_PROGRESS_H

#include <atomic>
#include <chrono>
#include <cstddef>

namespace kvflow {

class Progress {
 public:
  Progress() = default;
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Maps `count` counters, all zero, that processes forked afterwards share;
  // false with errno set when mmap fails.
  bool share(std::size_t count);
  // The counter a worker adds its messages to; slot < count.
  std::atomic<long>* counter(std::size_t slot) { return &counters_[slot].sent; }

  // The line counts from now, against totalSends messages.
  void start(long totalSends);
  // Shows or refreshes the line: only on a terminal, only once the run has
  // lasted a second, at most a few times a second.
  void show();
  // Takes the line off the terminal, so that a complaint or the summary
  // starts a clean line.
  void clear();

 private:
  using Clock = std::chrono::steady_clock;

  // Each worker's counter on a cache line of its own: workers on different
  // cores adding one a message must not pull one line back and forth.
  struct alignas(64) Counter {
    std::atomic<long> sent{0};
  };

  Counter* counters_ = nullptr;
  std::size_t count_ = 0;
  long totalSends_ = 0;
  Clock::time_point start_;
  Clock::time_point lastShown_;
  bool shown_ = false;
};

}  // namespace kvflow

#endif
