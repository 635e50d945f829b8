// Where kvpool writes a file an operator names (export -o); nothing but the
// target's contents ever changes.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "support/FileIo.h"
#include "support/UniqueFd.h"
#include "tools/kvpool/Commands.h"

namespace kvpooltool {
namespace {

// Writes text to file and closes it; the failed step ("write", "fsync" when
// synced, "close") and the system's reason in *why.
bool writeAndClose(kvpool::UniqueFd& file, const std::string& path, const std::string& text,
                   bool sync, std::string* why) {
  const char* step = nullptr;
  int error = 0;
  if (!kvpool::writeAll(file.get(), text)) {
    step = "write", error = errno;
  } else if (sync && fsync(file.get()) != 0) {
    step = "fsync", error = errno;
  }
  if (!file.close() && step == nullptr) step = "close", error = errno;
  if (step == nullptr) return true;
  *why = "cannot write " + path + ": " + step + " failed: " + std::strerror(error);
  return false;
}

// A new owner-only file (an export holds the pool's data), synced and
// renamed over path: a crash leaves the old file whole.
bool replaceFile(const std::string& path, const std::string& text, std::string* why) {
  std::string temporary = path + ".XXXXXX";
  kvpool::UniqueFd file(mkostemp(temporary.data(), O_CLOEXEC));
  if (file.get() < 0) {
    *why = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  bool done = writeAndClose(file, path, text, true, why);
  if (done && rename(temporary.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path + ": rename failed: " + std::strerror(errno);
    done = false;
  }
  if (!done) unlink(temporary.c_str());
  return done;
}

// Writes into the device or FIFO found, only if the path still names it.
// A FIFO that no process reads fails at once (ENXIO) instead of waiting.
bool writeInto(const std::string& path, const struct stat& found, const std::string& text,
               std::string* why) {
  kvpool::UniqueFd file(
      open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) {
    if (errno == ENXIO && S_ISFIFO(found.st_mode)) {
      *why = path + " is a FIFO that no process reads: nothing exported";
    } else {
      *why = "cannot open " + path + ": " + std::strerror(errno);
    }
    return false;
  }
  struct stat opened {};
  const char* step = nullptr;
  if (fstat(fd, &opened) != 0) {
    step = "fstat";
  } else if (opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
    *why = path + " changed while it was opened: nothing exported";
    return false;
  } else if (const int flags = fcntl(fd, F_GETFL);
             flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // A reader slower than the writer makes a blocking write wait, not fail.
    step = "fcntl";
  }
  if (step == nullptr) return writeAndClose(file, path, text, false, why);
  *why = "cannot write " + path + ": " + step + " failed: " + std::strerror(errno);
  return false;
}

}  // namespace

bool writeOutputFile(const std::string& path, const std::string& text, std::string* why) {
  struct stat found {};
  if (lstat(path.c_str(), &found) != 0) {
    if (errno == ENOENT) return replaceFile(path, text, why);
    *why = "cannot look at " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISLNK(found.st_mode)) {
    *why = path + " is a symbolic link: refused (an export is never written through a link " +
           "nor over one; -o - writes to standard output)";
    return false;
  }
  if (S_ISREG(found.st_mode)) {
    if (found.st_nlink != 1) {
      *why = path + " is a regular file with " + std::to_string(found.st_nlink) +
             " links: refused (replacing it would part it from its other names)";
      return false;
    }
    return replaceFile(path, text, why);
  }
  if (S_ISCHR(found.st_mode) || S_ISFIFO(found.st_mode)) return writeInto(path, found, text, why);
  *why = path + " is " + kvpool::describeFileKind(found.st_mode) +
         ": refused (an export goes to a regular file, a character device or a FIFO)";
  return false;
}

}  // namespace kvpooltool
