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
#include "support/FileIo.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"
#include "support/UniqueFd.h"

namespace {

using kvpool::kSnapshotDirectory;
using kvpool::kSnapshotPath;
// A new snapshot is written as "/tmp/KvPoolData.bin.<pid>.XXXXXX": the
// writer's pid tells a save that died from one still running.
constexpr char kTempPrefix[] = "KvPoolData.bin.";
constexpr std::size_t kTempRandomChars = 6;  // mkostemp's XXXXXX
constexpr std::size_t kTempPathMax = sizeof "/tmp/KvPoolData.bin.-2147483648.XXXXXX";
using kvpool::kPoolHeaderBytes;

using kvpool::UniqueFd;

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
    // Only a regular file of one name is replaced: what else a path in
    // /tmp names (a link, a FIFO, a directory) may be another user's.
    struct stat existing {};
    if (lstat(path, &existing) == 0 && (!S_ISREG(existing.st_mode) || existing.st_nlink != 1)) {
      Log("  >storeKvPoolToFile: %s is not a regular file of one name, not replaced\n", path);
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
  const std::size_t written = kvpool::writeAll(fd, image, size);
  Log("    return of fwrite %d\n", static_cast<int>(written));
  if (written == size) return true;
  Log("  >storeKvPoolToFile: write() failed\n");
  return false;
}

bool kvpool::readSnapshotFile(int32_t capacity, std::vector<unsigned char>* image, bool* fits) {
  // A snapshot that could not be loaded anyway (not smaller than the pool)
  // is not read; the whole chain is checked before the pool is touched.
  SnapshotImage file =
      readSnapshotImage(kSnapshotPath, capacity - 1, SnapshotCheck::kWhole, "the pool's capacity");
  image->clear();
  *fits = file.refusal != SnapshotRefusal::kTooLarge;
  switch (file.refusal) {
    case SnapshotRefusal::kNone:
      *image = std::move(file.bytes);
      return true;
    case SnapshotRefusal::kTooLarge:
      return true;
    case SnapshotRefusal::kMissing:
    case SnapshotRefusal::kUnopenable:
    case SnapshotRefusal::kLink:
    case SnapshotRefusal::kNotRegular:
      Log("  > File KvPoolData.bin does not exist or could not be opened");
      return false;
    case SnapshotRefusal::kSeveralLinks:
    case SnapshotRefusal::kForeignOwner:
      Log("  >initKvPoolFromFile: %s\n", file.reason.c_str());
      return false;
    case SnapshotRefusal::kUnreadable:
      Log("  >initKvPoolFromFile: read() failed\n");
      return false;
    case SnapshotRefusal::kDamaged:
      Log("  >initKvPoolFromFile: damaged record at offset %d\n", file.damageOffset);
      return false;
    case SnapshotRefusal::kTooSmall:
    case SnapshotRefusal::kSizeMismatch:
      return false;
  }
  return false;
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
