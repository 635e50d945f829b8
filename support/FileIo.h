// Whole reads and writes on a descriptor: a short write or read and EINTR
// are carried on until every byte moved, the end of the file was met, or a
// real error stopped it (errno then says why). Whole files read and replaced
// without following links. Header-only, POSIX only, for the plug-in, the
// stand-in broker and the tools alike.
#ifndef KVPOOL_SUPPORT_FILEIO_H
#define KVPOOL_SUPPORT_FILEIO_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "support/UniqueFd.h"

namespace kvpool {

// Writes byteCount bytes of data to fd; returns how many were written, which
// is less only when write() failed (errno kept) or wrote nothing.
inline std::size_t writeAll(int fd, const void* data, std::size_t byteCount) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < byteCount) {
    const ssize_t n = ::write(fd, bytes + done, byteCount - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// True when all of text was written to fd.
inline bool writeAll(int fd, std::string_view text) {
  return writeAll(fd, text.data(), text.size()) == text.size();
}

// Reads up to byteCount bytes from fd at offset (pread: the file position
// stays); returns how many were read, which is less at the end of the file
// or when pread() failed (errno then set, and 0 on a clean end).
inline std::size_t readAllAt(int fd, void* data, std::size_t byteCount, off_t offset) {
  auto* bytes = static_cast<unsigned char*>(data);
  std::size_t done = 0;
  while (done < byteCount) {
    const ssize_t n =
        ::pread(fd, bytes + done, byteCount - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = 0;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// Reads the whole file at path into *text, refusing more than maxBytes. Only
// a regular file of one name is read: a link is not followed and a FIFO or
// device never blocks the open. False with *why saying why (the caller names
// the file). *found, when given, gets the status of the file read, as its
// descriptor had it.
inline bool readRegularFile(const std::string& path, std::size_t maxBytes, std::string* text,
                            std::string* why, struct stat* found = nullptr) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  const char* refusal = nullptr;
  if (!file.valid()) {
    refusal = errno == ELOOP ? "a symbolic link (not followed: give the file it names)"
                             : std::strerror(errno);
  } else if (::fstat(file.get(), &status) != 0) {
    refusal = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode) || status.st_nlink != 1) {
    refusal = "not a regular file of one name";
  }
  std::string tooLarge;
  if (refusal == nullptr && static_cast<std::size_t>(status.st_size) > maxBytes) {
    tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    refusal = tooLarge.c_str();
  }
  if (refusal == nullptr) {
    text->resize(static_cast<std::size_t>(status.st_size));
    const std::size_t got = readAllAt(file.get(), text->data(), text->size(), 0);
    if (got != text->size()) refusal = errno != 0 ? std::strerror(errno) : "file shrank while read";
  }
  if (refusal != nullptr) *why = refusal;
  if (found != nullptr) *found = status;
  return refusal == nullptr;
}

// Replaces the file at path with text, whole: a temporary made new beside
// it (never one planted there) gets mode, text and fsync, then is renamed
// over path, and with syncDirectory the directory is synced so the rename
// outlives a crash. A reader sees the old file or the new one, never half.
// Only a new path or a regular file of one name is replaced. False with *why
// naming the failing step and the system's reason (the caller names the
// file); the temporary is then gone, and the old file stays unless only the
// directory's sync failed.
inline bool replaceRegularFile(const std::string& path, std::string_view text, mode_t mode,
                               bool syncDirectory, std::string* why) {
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0 &&
      (!S_ISREG(existing.st_mode) || existing.st_nlink != 1)) {
    *why = "not a regular file of one name: left alone";
    return false;
  }
  std::string temporary = path + ".XXXXXX";
  UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  const bool made = file.valid();
  const char* step = made ? nullptr : "mkostemp";
  if (step == nullptr && ::fchmod(file.get(), mode) != 0) step = "fchmod";
  if (step == nullptr && !writeAll(file.get(), text)) step = "write";
  if (step == nullptr && ::fsync(file.get()) != 0) step = "fsync";
  if (step == nullptr && !file.close()) step = "close";
  if (step == nullptr && ::rename(temporary.c_str(), path.c_str()) != 0) step = "rename";
  if (step != nullptr) {
    const int savedErrno = errno;
    if (made) ::unlink(temporary.c_str());
    *why = std::string(step) + " failed: " + std::strerror(savedErrno);
    return false;
  }
  if (!syncDirectory) return true;
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  UniqueFd folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid() && ::fsync(folder.get()) == 0) return true;
  *why = std::string("fsync of the directory failed: ") + std::strerror(errno);
  return false;
}

// Writes text into the character device or FIFO that found (lstat of path)
// describes, only while path still names that very file: it is opened
// without following a link, without blocking or becoming a controlling
// terminal, then compared with found, so one swapped in between the look and
// the open is not written. A FIFO no process reads fails at once (ENXIO)
// instead of waiting; once open, a slow reader makes the writes wait. False
// with *why naming path, the step and the system's reason.
inline bool writeIntoFoundFile(const std::string& path, const struct stat& found,
                               std::string_view text, std::string* why) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) {
    if (errno == ENXIO && S_ISFIFO(found.st_mode)) {
      *why = path + " is a FIFO that no process reads: nothing written";
    } else {
      *why = "cannot open " + path + ": " + std::strerror(errno);
    }
    return false;
  }
  struct stat opened {};
  const char* step = nullptr;
  if (::fstat(fd, &opened) != 0) {
    step = "fstat";
  } else if (opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
    *why = path + " changed between the look and the open: nothing written";
    return false;
  } else if (const int flags = ::fcntl(fd, F_GETFL);
             flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    step = "fcntl";
  }
  if (step == nullptr && !writeAll(fd, text)) step = "write";
  if (step == nullptr && !file.close()) step = "close";
  if (step == nullptr) return true;
  *why = "cannot write " + path + ": " + step + " failed: " + std::strerror(errno);
  return false;
}

}  // namespace kvpool

#endif
