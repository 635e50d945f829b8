// The snapshot file (KVPOOL_PERSIST, else /tmp/KvPoolData.bin): the first
// usedSize bytes of the segment, byte for byte, whatever backend holds the
// pool. A save never leaves the machine without a whole snapshot; a load
// copies nothing it has not checked.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PersistPolicy.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"  // decimalText
#include "pool/PoolRecords.h"
#include "pool/PoolSettings.h"
#include "pool/SnapshotFile.h"
#include "support/FileIo.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"
#include "support/UniqueFd.h"

namespace kvpool {
namespace {

// A new snapshot is written beside the file as "<name>.<pid>.XXXXXX": the
// writer's pid tells a save that died from one still running.
constexpr std::size_t kTempRandomChars = 6;  // mkostemp's XXXXXX

// The file's own name, and the prefix of its temporary files.
std::string snapshotBaseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string failedStep(const char* step, const std::string& path) {
  return std::string(step) + " failed for " + path + ": " + std::strerror(errno);
}

// The pid of the save writing the temporary snapshot that the directory
// entry name is; 0 when name is no such file.
int tempSnapshotWriter(const char* name) {
  const std::string prefixText = snapshotBaseName(snapshotFilePath()) + ".";
  const std::size_t prefix = prefixText.size();
  if (std::strncmp(name, prefixText.c_str(), prefix) != 0) return 0;
  const char* digits = name + prefix;
  char* end = nullptr;
  errno = 0;
  const long pid = std::strtol(digits, &end, 10);
  if (end == digits || *digits < '1' || *digits > '9' || errno != 0 || pid > INT32_MAX) return 0;
  if (*end != '.' || std::strlen(end + 1) != kTempRandomChars) return 0;
  return static_cast<int>(pid);
}

// Makes the temporary file's bytes durable and puts them in place in one
// step; false with the step noted and traced.
bool commitSnapshot(UniqueFd& fd, const std::string& temp, const std::string& path,
                    const std::function<void(const std::string&)>& note) {
  if (fsync(fd.get()) != 0) {
    note(failedStep("fsync()", temp));
    Log("  >storeKvPoolToFile: fsync() failed\n");
    return false;
  }
  if (!fd.close()) {
    note(failedStep("close()", temp));
    Log("  >storeKvPoolToFile: close() failed\n");
    return false;
  }
  // Only a regular file of one name is replaced: what else a path in /tmp
  // names (a link, a FIFO, a directory) may be another user's.
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0 &&
      (!S_ISREG(existing.st_mode) || existing.st_nlink != 1)) {
    note(path + " is not a regular file of one name, not replaced");
    Log("  >storeKvPoolToFile: %s is not a regular file of one name, not replaced\n", path.c_str());
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    note(failedStep("rename()", path));
    Log("  >storeKvPoolToFile: rename() failed\n");
    return false;
  }
  return true;
}

// The save's body, under the writer lock its caller holds (a PoolChangeLock:
// a store a killed writer left half done is not saved as it stands).
bool writeHeldPool(const PoolView& pool, int fd) {
  PoolControl header = readPoolControl(pool.base);
  const unsigned char* image = pool.base;
  if (header.usedSize < kPoolHeaderBytes) {
    // A header nobody has written yet: the pool is empty.
    header = {pool.capacity, 0, kPoolHeaderBytes};
    image = reinterpret_cast<const unsigned char*>(&header);
  } else if (header.usedSize > pool.segmentBytes) {
    Log("  >storeKvPoolToFile: usedSize %d is beyond the segment\n", header.usedSize);
    return false;
  }
  return writeSnapshotBytes(fd, image, static_cast<std::size_t>(header.usedSize));
}

// The load's body, under the writer lock its caller holds: only an empty
// pool that can hold the image takes it (true), and it counts as a change.
bool copyHeldImage(const PoolView& pool, const std::vector<unsigned char>& image, bool fits) {
  const auto size = static_cast<int32_t>(image.size());
  if (readPoolControl(pool.base).usedSize > kPoolHeaderBytes || !fits) return false;
  // Records first, header last: the header never describes bytes that are
  // not there yet.
  std::memcpy(pool.base + kPoolHeaderBytes, image.data() + kPoolHeaderBytes,
              static_cast<std::size_t>(size - kPoolHeaderBytes));
  std::memcpy(pool.base, image.data(), kPoolHeaderBytes);
  countPoolChange(pool);
  Log("    return of fwrite %d\n", size);
  logSnapshotEvent(false);
  return true;
}

// "PATH.refused-YYYYmmddTHHMMSS" (UTC), a name beside the refused file.
std::string refusedName(const std::string& path) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  return path + ".refused-" + stamp;
}

// A KVPOOL_PERSIST file that was not loaded is never written over, and event
// 20 says why. One that fails its checks is kept under a new name (one not
// taken yet); one this process cannot open or read (another user's, a disk
// error) stays where it is. True when the path is free for the pool's saves.
bool refuseFile(const std::string& path, const SnapshotImage& file) {
  const bool unreadable =
      file.refusal == SnapshotRefusal::kUnopenable || file.refusal == SnapshotRefusal::kUnreadable;
  std::string aside = refusedName(path);
  for (int attempt = 1; access(aside.c_str(), F_OK) == 0 && attempt < 100; ++attempt) {
    aside = refusedName(path) + "." + decimalText(attempt);
  }
  const bool renamed = !unreadable && rename(path.c_str(), aside.c_str()) == 0;
  std::string text = file.reason;
  if (renamed) {
    text += "; kept as " + aside + ", the pool starts empty";
  } else if (unreadable) {
    text += "; kept in place, the pool starts empty and is not saved over it";
  } else {
    text += "; it could not be renamed to " + aside + " (" + std::strerror(errno) +
            "), the pool starts empty and is not saved over it";
  }
  Log("  >initKvPoolFromFile: %s\n", text.c_str());
  logPoolEvent(CCI_LOG_WARNING, kEventPersistFileRefused, kLinePersistFileRefused,
               "initKvPoolFromFile", text.c_str());
  return renamed;
}

// The save, taking the writer lock unless its caller holds it.
int savePool(const PoolView& pool, bool takeLock, std::string* why) {
  Log("-->storeKvPoolToFile\n");
  if (pool.base == nullptr) return 1;
  const bool written = writeSnapshotFile(
      [&pool, takeLock](int fd) {
        if (!takeLock) return writeHeldPool(pool, fd);
        PoolChangeLock lock(pool, "storeKvPoolToFile");
        if (!lock.held()) {
          Log("  >storeKvPoolToFile: the pool's lock cannot be taken, nothing saved\n");
          return false;
        }
        return writeHeldPool(pool, fd);
      },
      snapshotOwnerOf(pool.segment), why);
  if (!written) return 1;
  adoptPoolFile(pool);
  logSnapshotEvent(true);
  return 0;
}

}  // namespace

// A save killed between creating its temporary file and renaming it leaves
// the file behind; the writer's pid tells it from a save still running.
DeadSavesFiles findDeadSavesFiles(bool remove) {
  DeadSavesFiles found;
  const std::string folder = snapshotDirectory();
  DIR* directory = opendir(folder.c_str());
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
      Log("  storeKvPoolToFile removed %s/%s, left by a save that died\n", folder.c_str(),
          entry->d_name);
    }
    found.files += 1;
    found.bytes += status.st_size;
  }
  closedir(directory);
  return found;
}

SnapshotOwner snapshotOwnerOf(int segment) {
  SnapshotOwner owner;
  shmid_ds status{};
  if (segment == -1 || shmctl(segment, IPC_STAT, &status) != 0) return owner;
  owner.uid = status.shm_perm.uid;
  owner.gid = status.shm_perm.gid;
  owner.mode = static_cast<mode_t>(poolFileMode(status.shm_perm.mode & 0777));
  return owner;
}

bool writeSnapshotFile(const std::function<bool(int fd)>& writeImage, const SnapshotOwner& owner,
                       std::string* why) {
  findDeadSavesFiles(true);
  const std::string path = snapshotFilePath();
  const std::string directory = snapshotDirectory();
  const auto note = [why](const std::string& text) {
    if (why != nullptr && why->empty()) *why = text;
  };
  // Made readable by its writer only (it holds the pool's data), then given
  // its owner's mode; removed again unless it was moved over the snapshot
  // path.
  std::string temp = directory + (directory == "/" ? "" : "/") + snapshotBaseName(path) + "." +
                     decimalText(getpid()) + ".XXXXXX";
  UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) {
    note(failedStep("creating a temporary file", temp));
    return false;
  }
  bool committed = false;
  const bool giveAway = geteuid() == 0 && owner.uid != static_cast<uid_t>(-1);
  if (fchmod(fd.get(), owner.mode) != 0) {
    note(failedStep("fchmod()", temp));
  } else if (giveAway && fchown(fd.get(), owner.uid, owner.gid) != 0) {
    note(failedStep("fchown()", temp));
  } else if (!writeImage(fd.get())) {
    note("writing " + path + " failed (see /tmp/KvPool.log)");
  } else {
    committed = commitSnapshot(fd, temp, path, note);
  }
  if (!committed) {
    fd.reset();
    unlink(temp.c_str());
    return false;
  }
  // The rename itself survives a crash only once the directory is synced.
  UniqueFd folder(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) fsync(folder.get());
  return true;
}

bool writeSnapshotBytes(int fd, const unsigned char* image, std::size_t size) {
  const std::size_t written = writeAll(fd, image, size);
  Log("    return of fwrite %d\n", static_cast<int>(written));
  if (written == size) return true;
  Log("  >storeKvPoolToFile: write() failed\n");
  return false;
}

bool readSnapshotFile(int32_t capacity, SnapshotFit fit, std::vector<unsigned char>* image,
                      bool* fits) {
  // A snapshot that could not be loaded anyway (larger than the pool takes)
  // is not read; the whole chain is checked before the pool is touched.
  SnapshotImage file = readSnapshotImage(snapshotFilePath().c_str(), largestSnapshot(capacity, fit),
                                         SnapshotCheck::kWhole, "the most the pool takes");
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
    default:  // too small, or a size other than its header's: no trace
      return false;
  }
}

void logSnapshotEvent(bool saved) {
  logPoolEvent(CCI_LOG_ERROR, saved ? kEventSnapshotSaved : kEventSnapshotLoaded,
               saved ? kLineSnapshotSaved : kLineSnapshotLoaded,
               saved ? "storeKvPoolToFile" : "initKvPoolFromFile", nullptr);
}

int savePoolToFile(const PoolView& pool, std::string* why) {
  return savePool(pool, true, why);
}

int savePoolToFileLocked(const PoolView& pool, std::string* why) {
  return savePool(pool, false, why);
}

int loadPoolFromFile(const PoolView& pool, SnapshotFit fit) {
  Log("-->initKvPoolFromFile\n");
  if (pool.base == nullptr) return 1;
  std::vector<unsigned char> image;
  bool fits = false;
  if (!readSnapshotFile(pool.capacity, fit, &image, &fits)) return 1;
  {
    PoolChangeLock lock(pool, "initKvPoolFromFile");
    if (!lock.held()) {
      Log("  >initKvPoolFromFile: the pool's lock cannot be taken, nothing loaded\n");
      return 1;
    }
    if (copyHeldImage(pool, image, fits)) adoptPoolFile(pool);
  }
  Log("  Shared Memory updated with the file contents\n");
  return 0;
}

bool loadPersistedPoolLocked(const PoolView& pool) {
  Log("-->initKvPoolFromFile\n");
  const std::string path = snapshotFilePath();
  // What a save of this pool wrote, a load takes: one full to the last byte too.
  SnapshotImage file =
      readSnapshotImage(path.c_str(), pool.capacity, SnapshotCheck::kWhole, "the pool's capacity");
  if (file.refusal == SnapshotRefusal::kMissing) {
    Log("  %s does not exist yet: the pool starts empty\n", path.c_str());
    return true;
  }
  if (!file.read()) return refuseFile(path, file);
  copyHeldImage(pool, file.bytes, true);
  return true;
}

}  // namespace kvpool
