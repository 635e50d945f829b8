// The snapshot file "/tmp/KvPoolData.bin": the first usedSize bytes of the
// segment, byte for byte. A save never leaves the machine without a whole
// snapshot; a load copies nothing it has not checked.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/SnapshotFile.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

namespace {

using kvpool::kSnapshotDirectory;
using kvpool::kSnapshotPath;
// A new snapshot is written as "/tmp/KvPoolData.bin.<pid>.XXXXXX": the
// writer's pid tells a save that died from one still running.
constexpr char kTempPrefix[] = "KvPoolData.bin.";
constexpr std::size_t kTempRandomChars = 6;  // mkostemp's XXXXXX
constexpr std::size_t kTempPathMax = sizeof "/tmp/KvPoolData.bin.-2147483648.XXXXXX";
using kvpool::kPoolHeaderBytes;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports the result (a delayed write error shows here).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// A new snapshot, written beside the old one under a fresh name, readable by
// its owner only (it holds the pool's data). Removed again unless it was
// moved over the snapshot path.
class TempSnapshot {
 public:
  TempSnapshot() {
    std::snprintf(path_, sizeof path_, "%s/%s%d.XXXXXX", kSnapshotDirectory, kTempPrefix,
                  static_cast<int>(getpid()));
    fd_.reset(mkostemp(path_, O_CLOEXEC));
    if (fd_.valid() && fchmod(fd_.get(), S_IRUSR | S_IWUSR) != 0) discard();
  }
  ~TempSnapshot() { discard(); }
  TempSnapshot(const TempSnapshot&) = delete;
  TempSnapshot& operator=(const TempSnapshot&) = delete;

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  // Makes the written bytes durable and puts them in place in one step.
  bool commitAs(const char* path) {
    if (fsync(fd_.get()) != 0) {
      Log("  >storeKvPoolToFile: fsync() failed\n");
      return false;
    }
    if (!fd_.close()) {
      Log("  >storeKvPoolToFile: close() failed\n");
      return false;
    }
    if (rename(path_, path) != 0) {
      Log("  >storeKvPoolToFile: rename() failed\n");
      return false;
    }
    committed_ = true;
    return true;
  }

 private:
  void discard() {
    fd_.reset();
    if (!committed_ && path_[0] != '\0') unlink(path_);
    path_[0] = '\0';
  }

  char path_[kTempPathMax];
  UniqueFd fd_;
  bool committed_ = false;
};

std::size_t writeAll(int fd, const unsigned char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::size_t readAll(int fd, unsigned char* data, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// The rename itself survives a crash only once the directory is synced.
void syncDirectory(const char* path) {
  UniqueFd directory(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.valid()) fsync(directory.get());
}

}  // namespace

int kvpool::tempSnapshotWriter(const char* name) {
  const std::size_t prefix = sizeof kTempPrefix - 1;
  if (std::strncmp(name, kTempPrefix, prefix) != 0) return 0;
  const char* digits = name + prefix;
  char* end = nullptr;
  errno = 0;
  const long pid = std::strtol(digits, &end, 10);
  if (end == digits || *digits < '1' || *digits > '9' || errno != 0 || pid > INT32_MAX) return 0;
  if (*end != '.' || std::strlen(end + 1) != kTempRandomChars) return 0;
  return static_cast<int>(pid);
}

// A save killed between creating its temporary file and renaming it leaves
// the file behind; the writer's pid tells it from a save still running.
kvpool::DeadSavesFiles kvpool::findDeadSavesFiles(bool remove) {
  DeadSavesFiles found;
  DIR* directory = opendir(kSnapshotDirectory);
  if (directory == nullptr) return found;
  const int directoryFd = dirfd(directory);
  while (const dirent* entry = readdir(directory)) {
    const pid_t writer = tempSnapshotWriter(entry->d_name);
    if (writer == 0 || kill(writer, 0) == 0 || errno != ESRCH) continue;
    struct stat status {};
    if (fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(status.st_mode)) continue;
    if (remove) {
      if (status.st_uid != geteuid() || unlinkat(directoryFd, entry->d_name, 0) != 0) continue;
      Log("  storeKvPoolToFile removed %s/%s, left by a save that died\n", kSnapshotDirectory,
          entry->d_name);
    }
    found.files += 1;
    found.bytes += status.st_size;
  }
  closedir(directory);
  return found;
}

bool kvpool::writeSnapshotFile(const std::function<bool(int fd)>& writeImage) {
  findDeadSavesFiles(true);
  TempSnapshot file;
  if (!file.valid()) return false;
  if (!writeImage(file.fd())) return false;
  if (!file.commitAs(kSnapshotPath)) return false;
  syncDirectory(kSnapshotDirectory);
  return true;
}

bool kvpool::writeSnapshotBytes(int fd, const unsigned char* image, std::size_t size) {
  const std::size_t written = writeAll(fd, image, size);
  Log("    return of fwrite %d\n", static_cast<int>(written));
  if (written == size) return true;
  Log("  >storeKvPoolToFile: write() failed\n");
  return false;
}

bool kvpool::readSnapshotFile(int32_t capacity, std::vector<unsigned char>* image, bool* fits) {
  // /tmp is world-writable: a link planted at the path is not followed, and
  // only a regular file is read (O_NONBLOCK keeps a planted FIFO from
  // blocking the open).
  UniqueFd file(open(kSnapshotPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    Log("  > File KvPoolData.bin does not exist or could not be opened");
    return false;
  }
  if (status.st_size <= kPoolHeaderBytes || status.st_size > INT32_MAX) return false;
  const auto size = static_cast<int32_t>(status.st_size);
  unsigned char fileHeaderBytes[kPoolHeaderBytes];
  if (readAll(file.get(), fileHeaderBytes, sizeof fileHeaderBytes, 0) != sizeof fileHeaderBytes) {
    return false;
  }
  const PoolControl fileHeader = readPoolControl(fileHeaderBytes);
  if (fileHeader.usedSize != size) return false;

  // Read and check the whole chain before the pool is touched; a snapshot
  // that could not be loaded anyway (too large) is not read.
  *fits = size < capacity;
  image->clear();
  if (!*fits) return true;
  image->resize(static_cast<std::size_t>(size));
  if (readAll(file.get(), image->data(), image->size(), 0) != image->size()) {
    Log("  >initKvPoolFromFile: read() failed\n");
    return false;
  }
  const int32_t damage = findPoolImageDamage(image->data(), size);
  if (damage >= 0) {
    Log("  >initKvPoolFromFile: damaged record at offset %d\n", damage);
    return false;
  }
  return true;
}

void kvpool::logSnapshotEvent(bool saved) {
  int rc = 0;
  if (saved) {
    cciLog(&rc, CCI_LOG_ERROR, kvpool::kEventFile, kvpool::kLineSnapshotSaved, "storeKvPoolToFile",
           constKvCatalog, kvpool::kEventSnapshotSaved, kvpool::kVTRL2Text,
           static_cast<const char*>(nullptr));
  } else {
    cciLog(&rc, CCI_LOG_ERROR, kvpool::kEventFile, kvpool::kLineSnapshotLoaded,
           "initKvPoolFromFile", constKvCatalog, kvpool::kEventSnapshotLoaded, kvpool::kVTRL2Text,
           static_cast<const char*>(nullptr));
  }
}

int kvpool::savePoolToFile(const PoolView& pool) {
  Log("-->storeKvPoolToFile\n");
  const unsigned char* base = pool.base;
  if (base == nullptr) return 1;
  const bool written = writeSnapshotFile([&pool, base](int fd) {
    PoolWriteLock lock(pool.semaphores);
    if (!lock.held()) {
      Log("  >storeKvPoolToFile: the pool's lock cannot be taken, nothing saved\n");
      return false;
    }
    // A store a killed writer left half done is not saved as it stands.
    repairInterruptedStore(pool, "storeKvPoolToFile");
    PoolControl header = readPoolControl(base);
    const unsigned char* image = base;
    if (header.usedSize < kPoolHeaderBytes) {
      // A header nobody has written yet: the pool is empty.
      header = {pool.capacity, 0, kPoolHeaderBytes};
      image = reinterpret_cast<const unsigned char*>(&header);
    } else if (header.usedSize > pool.segmentBytes) {
      Log("  >storeKvPoolToFile: usedSize %d is beyond the segment\n", header.usedSize);
      return false;
    }
    return writeSnapshotBytes(fd, image, static_cast<std::size_t>(header.usedSize));
  });
  if (!written) return 1;
  logSnapshotEvent(true);
  return 0;
}

int kvpool::loadPoolFromFile(const PoolView& pool) {
  Log("-->initKvPoolFromFile\n");
  unsigned char* base = pool.base;
  if (base == nullptr) return 1;
  std::vector<unsigned char> image;
  bool fits = false;
  if (!readSnapshotFile(pool.capacity, &image, &fits)) return 1;
  const auto size = static_cast<int32_t>(image.size());
  {
    PoolWriteLock lock(pool.semaphores);
    if (!lock.held()) {
      Log("  >initKvPoolFromFile: the pool's lock cannot be taken, nothing loaded\n");
      return 1;
    }
    const PoolControl current = readPoolControl(base);
    if (current.usedSize <= kPoolHeaderBytes && fits) {
      // Records first, header last: the header never describes bytes that
      // are not there yet.
      std::memcpy(base + kPoolHeaderBytes, image.data() + kPoolHeaderBytes,
                  static_cast<std::size_t>(size - kPoolHeaderBytes));
      std::memcpy(base, image.data(), kPoolHeaderBytes);
      Log("    return of fwrite %d\n", size);
      logSnapshotEvent(false);
    }
  }
  Log("  Shared Memory updated with the file contents\n");
  return 0;
}
