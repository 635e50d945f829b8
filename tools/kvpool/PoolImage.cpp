// Finding, locking, copying and walking the pool for kvpool.
#include "tools/kvpool/PoolImage.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace kvpooltool {
namespace {

constexpr int32_t kHeaderSize = sizeof(PoolControl);
constexpr int32_t kRecordHeaderSize = sizeof(PoolBlock);
constexpr int32_t kMaxKeyBytes = 255;

// Unmaps on every path.
class Mapping {
 public:
  explicit Mapping(int segment) : address_(shmat(segment, nullptr, SHM_RDONLY)) {}
  ~Mapping() {
    if (valid()) shmdt(address_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  bool valid() const { return address_ != reinterpret_cast<void*>(-1); }
  const unsigned char* bytes() const { return static_cast<const unsigned char*>(address_); }

 private:
  void* address_;
};

bool runSemop(int semaphores, sembuf* ops, std::size_t count) {
  while (semop(semaphores, ops, count) == -1) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::string at(int32_t offset) {
  return "offset " + std::to_string(offset);
}

// A record's text field: its bytes must end in the one NUL.
std::optional<std::string> textField(const unsigned char* bytes, int32_t length,
                                     const std::string& what, std::vector<std::string>& damage,
                                     const std::string& where) {
  const auto* begin = reinterpret_cast<const char*>(bytes);
  if (bytes[length - 1] != 0) {
    damage.push_back(where + ": the " + what + " lacks its terminating NUL");
    return std::nullopt;
  }
  const std::size_t textLength = strnlen(begin, static_cast<std::size_t>(length));
  if (textLength + 1 != static_cast<std::size_t>(length)) {
    damage.push_back(where + ": the " + what + " holds a NUL at byte " +
                     std::to_string(textLength) + " of " + std::to_string(length - 1));
  }
  return std::string(begin, textLength);
}

}  // namespace

PoolIds findPool() {
  PoolIds ids;
  ids.segment = shmget(KVPOOL_SHM_KEY, 0, 0);
  ids.semaphores = semget(KVPOOL_SEM_KEY, 0, 0);
  return ids;
}

std::optional<SemaphoreValues> readSemaphores(int semaphores) {
  if (semaphores == -1) return std::nullopt;
  SemaphoreValues values;
  values.writer = semctl(semaphores, 0, GETVAL);
  values.readers = semctl(semaphores, 1, GETVAL);
  values.freeSlots = semctl(semaphores, 2, GETVAL);
  if (values.writer < 0 || values.readers < 0 || values.freeSlots < 0) return std::nullopt;
  return values;
}

ReadLock::ReadLock(int semaphores) : semaphores_(semaphores) {
  sembuf ops[] = {{0, 0, 0}, {1, +1, SEM_UNDO}};
  held_ = runSemop(semaphores_, ops, 2);
  if (!held_) error_ = errno;
}

ReadLock::~ReadLock() {
  if (!held_) return;
  sembuf ops[] = {{1, -1, SEM_UNDO}};
  runSemop(semaphores_, ops, 1);
}

std::optional<PoolImage> readSegment(const PoolIds& ids, shmid_ds* status, std::string* why) {
  if (shmctl(ids.segment, IPC_STAT, status) != 0) {
    *why =
        std::string("cannot look at the segment: shmctl(IPC_STAT) failed: ") + std::strerror(errno);
    return std::nullopt;
  }
  Mapping mapping(ids.segment);
  if (!mapping.valid()) {
    *why = std::string("cannot map the segment: shmat failed: ") + std::strerror(errno);
    return std::nullopt;
  }
  PoolImage image;
  image.limit = static_cast<int32_t>(std::min<std::size_t>(status->shm_segsz, INT32_MAX));
  std::optional<ReadLock> lock;
  if (ids.semaphores != -1) {
    lock.emplace(ids.semaphores);
    if (!lock->held()) {
      *why =
          std::string("cannot take the pool's read lock: semop failed: ") +
          std::strerror(lock->error()) +
          (lock->error() == EIDRM || lock->error() == EINVAL ? " (the pool was just removed)" : "");
      return std::nullopt;
    }
    image.locked = true;
  }
  PoolControl header{};
  if (image.limit >= kHeaderSize) std::memcpy(&header, mapping.bytes(), sizeof header);
  const int32_t used = std::clamp(header.usedSize, std::min(kHeaderSize, image.limit), image.limit);
  image.bytes.assign(mapping.bytes(), mapping.bytes() + used);
  return image;
}

std::optional<PoolImage> readSnapshotFile(const std::string& path, std::string* why) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  PoolImage image;
  image.isSnapshot = true;
  unsigned char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = "cannot read " + path + ": " + std::strerror(errno);
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    image.bytes.insert(image.bytes.end(), buffer, buffer + n);
  }
  close(fd);
  image.limit = static_cast<int32_t>(std::min<std::size_t>(image.bytes.size(), INT32_MAX));
  return image;
}

Walk walkPool(const PoolImage& image) {
  Walk walk;
  const unsigned char* bytes = image.bytes.data();
  const auto size = static_cast<int32_t>(image.bytes.size());
  const std::string container = image.isSnapshot ? "the file" : "the segment";
  if (size < kHeaderSize) {
    walk.damage.push_back(container + " holds " + std::to_string(size) +
                          " bytes, less than the 12-byte header");
    return walk;
  }
  std::memcpy(&walk.header, bytes, sizeof walk.header);
  const PoolControl& header = walk.header;
  if (!image.isSnapshot && header.totalSize == 0 && header.blockCount == 0 &&
      header.usedSize == 0) {
    walk.notes.push_back("the header is not written yet (a segment being created): empty");
    return walk;
  }
  if (header.usedSize < kHeaderSize) {
    walk.damage.push_back("header: usedSize " + std::to_string(header.usedSize) +
                          " is below the 12-byte header");
    return walk;
  }
  if (header.usedSize > image.limit) {
    walk.damage.push_back("header: usedSize " + std::to_string(header.usedSize) +
                          " reaches past the " + std::to_string(image.limit) + " bytes of " +
                          container);
  } else if (image.isSnapshot && header.usedSize != image.limit) {
    walk.damage.push_back("header: usedSize " + std::to_string(header.usedSize) +
                          " differs from the file's size " + std::to_string(image.limit));
  }
  if (header.blockCount < 0) {
    walk.damage.push_back("header: blockCount " + std::to_string(header.blockCount) +
                          " is negative");
  }
  if (!image.isSnapshot && header.totalSize != image.limit) {
    walk.notes.push_back("header: totalSize " + std::to_string(header.totalSize) +
                         " differs from the segment's " + std::to_string(image.limit) +
                         " bytes (a snapshot taken elsewhere was loaded); it is not used");
  }

  const int32_t end = std::min(header.usedSize, size);
  std::map<std::string, int> firstIndex;
  int32_t offset = kHeaderSize;
  int index = 0;
  bool followed = true;
  while (offset < end) {
    const std::string where = "record " + std::to_string(index + 1) + " at " + at(offset);
    if (end - offset < kRecordHeaderSize) {
      walk.damage.push_back(at(offset) + ": " + std::to_string(end - offset) +
                            " stray bytes after the last record, too few for a record header");
      followed = false;
      break;
    }
    PoolBlock record;
    std::memcpy(&record, bytes + offset, sizeof record);
    const int64_t sum = int64_t{kRecordHeaderSize} + record.keyLength + record.valueLength;
    const bool lengthsSound = record.keyLength >= 1 && record.valueLength >= 1;
    if (record.keyLength < 1) {
      walk.damage.push_back(where + ": keyLength " + std::to_string(record.keyLength) +
                            " is below 1");
    }
    if (record.valueLength < 1) {
      walk.damage.push_back(where + ": valueLength " + std::to_string(record.valueLength) +
                            " is below 1");
    }
    if (lengthsSound && sum != record.blockSize) {
      walk.damage.push_back(where + ": blockSize " + std::to_string(record.blockSize) +
                            " is not 12 + keyLength " + std::to_string(record.keyLength) +
                            " + valueLength " + std::to_string(record.valueLength));
    }
    if (record.blockSize < kRecordHeaderSize + 2 || int64_t{offset} + record.blockSize > end) {
      walk.damage.push_back(where + ": blockSize " + std::to_string(record.blockSize) +
                            " does not fit between the record's start and the end of the "
                            "records at " +
                            std::to_string(end) + "; the chain cannot be followed further");
      followed = false;
      break;
    }
    if (lengthsSound && sum == record.blockSize) {
      auto key = textField(bytes + offset + kRecordHeaderSize, record.keyLength, "key", walk.damage,
                           where);
      auto value = textField(bytes + offset + kRecordHeaderSize + record.keyLength,
                             record.valueLength, "value", walk.damage, where);
      if (key && static_cast<int32_t>(key->size()) > kMaxKeyBytes) {
        walk.damage.push_back(where + ": the key has " + std::to_string(key->size()) +
                              " bytes, more than 255");
      }
      if (key) {
        auto [first, inserted] = firstIndex.emplace(*key, index + 1);
        if (!inserted) {
          walk.damage.push_back(where + ": key \"" + *key + "\" is stored already as record " +
                                std::to_string(first->second));
        }
        walk.records.push_back({offset, *key, value.value_or("")});
      }
    }
    offset += record.blockSize;
    ++index;
  }
  if (followed && index != header.blockCount) {
    walk.damage.push_back("header: blockCount " + std::to_string(header.blockCount) +
                          " but the chain holds " + std::to_string(index) + " records");
  }
  return walk;
}

}  // namespace kvpooltool
