// What kvpool reads of the pool without joining it: a copy of the segment's
// used bytes taken under the pool's read lock (through pool/PoolAccess.h,
// which finds the pool by its keys and never creates it), or a snapshot
// file's bytes (tools/kvpool/SnapshotFile.h), and a walk of the record chain (through
// pool/PoolRecords.h) that reports every inconsistency instead of trusting it.
#ifndef KVPOOL_TOOLS_KVPOOL_POOLIMAGE_H
#define KVPOOL_TOOLS_KVPOOL_POOLIMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"

namespace kvpooltool {

// The pool's bytes as read: the segment's used part, or a snapshot file.
struct PoolImage {
  std::vector<unsigned char> bytes;
  int32_t limit = 0;  // segment size, or file size
  bool isSnapshot = false;
  bool locked = false;  // read under the read lock
  bool persistent = false;  // the pool was created with KVPOOL_PERSIST
};

// Copies the segment's used bytes under the read lock (none when the pool has
// no semaphore set), waiting at most waitSeconds for it. *status gets the
// segment as found before kvpool mapped it (zero when it could not be looked
// at). Empty optional and a reason in *why when it cannot be read.
std::optional<PoolImage> readSegment(const kvpool::PoolIds& ids, double waitSeconds,
                                     kvpool::PoolSegmentStatus* status, std::string* why);
// (Snapshot files: tools/kvpool/SnapshotFile.h.)

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
