// What kvpool knows about the pool without joining it: finding the segment
// and the semaphore set by their keys (never creating them), the read lock,
// a copy of the segment's used bytes taken under that lock, and a walk of
// the record chain that reports every inconsistency instead of trusting it.
#ifndef KVPOOL_TOOLS_KVPOOL_POOLIMAGE_H
#define KVPOOL_TOOLS_KVPOOL_POOLIMAGE_H

#include <sys/shm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"

namespace kvpooltool {

// The pool's system objects as found by key; -1 when absent.
struct PoolIds {
  int segment = -1;
  int semaphores = -1;
  bool exists() const { return segment != -1; }
};
PoolIds findPool();

struct SemaphoreValues {
  int writer = 0;
  int readers = 0;
  int freeSlots = 0;
  int nodeContexts() const { return KVPOOL_USER_SLOTS - freeSlots; }
};
std::optional<SemaphoreValues> readSemaphores(int semaphores);

// Holds the pool's read lock (semaphore 0 must be 0, then semaphore 1 + 1,
// SEM_UNDO so a killed kvpool gives it back) for its scope.
class ReadLock {
 public:
  explicit ReadLock(int semaphores);
  ~ReadLock();
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;
  bool held() const { return held_; }
  int error() const { return error_; }  // errno of a failed lock

 private:
  int semaphores_;
  bool held_ = false;
  int error_ = 0;
};

// The pool's bytes as read: the segment's used part, or a snapshot file.
struct PoolImage {
  std::vector<unsigned char> bytes;
  int32_t limit = 0;  // segment size, or file size
  bool isSnapshot = false;
  bool locked = false;  // read under the read lock
};

// Copies the segment's used bytes under the read lock. Empty optional and
// a reason in *why when it cannot be read.
std::optional<PoolImage> readSegment(const PoolIds& ids, shmid_ds* status, std::string* why);
std::optional<PoolImage> readSnapshotFile(const std::string& path, std::string* why);

struct Record {
  int32_t offset = 0;
  std::string key;
  std::string value;
};

struct Walk {
  PoolControl header{};
  std::vector<Record> records;
  std::vector<std::string> damage;  // each inconsistency, one line
  std::vector<std::string> notes;   // worth knowing, not damage
  bool sound() const { return damage.empty(); }
};

// Walks the header and the record chain. Never reads outside the image.
Walk walkPool(const PoolImage& image);

}  // namespace kvpooltool

#endif
