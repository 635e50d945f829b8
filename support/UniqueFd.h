// Owners of file descriptors, for the plug-in, the stand-in broker and the
// tools alike. Not thread-safe: one owner, one thread at a time.
#ifndef KVPOOL_SUPPORT_UNIQUEFD_H
#define KVPOOL_SUPPORT_UNIQUEFD_H

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kvpool {

// Owns one descriptor (or none: -1) and closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it; the caller owns it.
  int release() { return std::exchange(fd_, -1); }
  // Closes now; false on a (delayed write) error, true when nothing was held.
  bool close() {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }
  // Closes what is held, errno kept for a failure being reported; takes fd.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      const int savedErrno = errno;
      ::close(fd_);
      errno = savedErrno;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Both ends of one pipe.
struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;

  // A new pipe, closing the ends held before; false (errno set, both ends
  // empty) when pipe() fails.
  bool open() {
    int ends[2];
    if (::pipe(ends) != 0) {
      readEnd.reset();
      writeEnd.reset();
      return false;
    }
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    return true;
  }
};

}  // namespace kvpool

#endif
