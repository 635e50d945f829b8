// The snapshot file /tmp/KvPoolData.bin as both backends write and read it:
// the segment's layout (pool/PoolRecords.h), written through a new
// owner-only file that is synced and renamed over the old one, and read only
// when it is a regular file of one link whose whole record chain is sound.
// Every step traces as storeKvPoolToFile and initKvPoolFromFile do; kvpool
// uses the same names and sweep of dead saves' files.
#ifndef KVPOOL_POOL_SNAPSHOTFILE_H
#define KVPOOL_POOL_SNAPSHOTFILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"

struct KvPoolBackend;

namespace kvpool {

constexpr const char* kSnapshotPath = "/tmp/KvPoolData.bin";

// The temporary files of saves that died before their rename: regular files
// (never links) named as a save names them ("<file>.<pid>.XXXXXX") whose
// writer no longer runs.
struct DeadSavesFiles {
  int files = 0;
  int64_t bytes = 0;
};
// Counts them all, whoever owns them (remove false); or removes those of
// this user and counts what it removed (a live save's file and another
// user's stay), tracing each removal.
DeadSavesFiles findDeadSavesFiles(bool remove);

// Whose a new snapshot is: by default its writer's, readable by it alone.
// A snapshot of a shared-memory pool gets the pool's mode (poolFileMode), and
// when root saves another user's pool, that user and group: the pool's
// brokers must be able to load it.
struct SnapshotOwner {
  uid_t uid = static_cast<uid_t>(-1);  // -1: the writer
  gid_t gid = static_cast<gid_t>(-1);
  mode_t mode = 0600;
};
// The owner a snapshot of the pool segment gets; the default for -1 or a
// segment that cannot be looked at.
SnapshotOwner snapshotOwnerOf(int segment);

// Makes a new temporary file beside the snapshot, gives it to owner, lets
// writeImage fill it (false: give up), then syncs it and renames it over the
// snapshot. False when any step failed; the old snapshot then stays.
// *why (when given and empty) names the failed step, the file and the
// system's reason.
bool writeSnapshotFile(const std::function<bool(int fd)>& writeImage, const SnapshotOwner& owner,
                       std::string* why = nullptr);
// Writes all of image to fd, tracing the count.
bool writeSnapshotBytes(int fd, const unsigned char* image, std::size_t size);

// Why a snapshot file was not read, or kNone.
enum class SnapshotRefusal {
  kNone,
  kMissing,       // no file at the path
  kUnopenable,    // open() or fstat() failed for another reason
  kLink,          // a symbolic link: never followed (/tmp is anyone's)
  kNotRegular,    // a FIFO, a directory, a device, ...
  kSeveralLinks,  // a regular file with more than one name
  kForeignOwner,  // owned by neither this process's user nor root: placed by another user
  kTooLarge,      // more bytes than allowed, or it grew past that while read
  kUnreadable,    // read() failed
  // Only when the content is checked (SnapshotCheck::kWhole):
  kTooSmall,      // 12 bytes or less: no record
  kSizeMismatch,  // a size other than its header's usedSize
  kDamaged,       // the record chain breaks the pool's rules (checkPoolImage)
};

// What a read checks: the file alone (kFile: the tools, which then walk the
// chain and report every fault), or also its content (kWhole: a load).
enum class SnapshotCheck { kFile, kWhole };

// A snapshot file as read: its bytes, or why it was refused. reason is one
// line naming the path and the cause (with the system's error, the sizes or
// the first damage and its offset); damageOffset is that damage's offset.
struct SnapshotImage {
  SnapshotRefusal refusal = SnapshotRefusal::kNone;
  std::string reason;
  int32_t damageOffset = -1;
  std::vector<unsigned char> bytes;
  bool read() const { return refusal == SnapshotRefusal::kNone; }
};

// Reads the file at path as a snapshot: opened without following a link and
// without blocking (a planted FIFO), then only a regular file of one link
// and at most mostBytes bytes (at most INT32_MAX) is read, never more than
// one byte past mostBytes even when it grows meanwhile. kWhole first checks
// the header against the file's size, and the record chain once read; a
// file larger than mostBytes is then refused only after its header was
// found to match its size. Never throws but std::bad_alloc.
// limitName names mostBytes in the reason ("the largest pool").
SnapshotImage readSnapshotImage(const char* path, int64_t mostBytes, SnapshotCheck check,
                                const char* limitName);

// What a file's mode says it is: "a regular file", "a symbolic link", "a
// FIFO", "a directory", "a character device", ...
std::string describeFileKind(mode_t mode);

// Reads the snapshot for a pool of capacity bytes, tracing as
// initKvPoolFromFile. False when there is no usable file (any refusal of
// readSnapshotImage's kWhole but kTooLarge). True otherwise, with *fits false
// and *image empty when it is larger than fit allows.
bool readSnapshotFile(int32_t capacity, SnapshotFit fit, std::vector<unsigned char>* image,
                      bool* fits);
// The most bytes a snapshot for a pool of capacity bytes may have.
inline int32_t largestSnapshot(int32_t capacity, SnapshotFit fit) {
  return fit == SnapshotFit::kUpToCapacity ? capacity : capacity - 1;
}

// Event 14 (saved) or 13 (loaded).
void logSnapshotEvent(bool saved);

// The snapshot of a backend whose table has no saveSnapshot/loadSnapshot
// (Redis), made through the table's calls in the segment's layout.
// Every outcome but kDone comes with *error, one line saying why.
enum class RemoteSnapshot {
  kDone,
  kUnavailable,   // the backend could not be used (load: nothing stored)
  kTooLarge,      // save: the keys do not fit below the largest pool; load: nor the file
  kFileFailed,    // save: the file could not be written; load: none usable
  kPoolNotEmpty,  // load: the pool holds keys
  kFull,          // load: the backend refused the records for memory
  kRefused,       // save: a record no load would take; load: a key the backend does not take
  kPartly,        // load: only *records of the records were stored
};
// Save: every key in key order, held to the rules a load holds an image to,
// then written through a new file synced and renamed over the snapshot file
// (event 14); any refusal leaves the old file as it is. *records counts them.
RemoteSnapshot saveTablePoolToFile(KvPoolBackend& backend, int* records, std::string* error);
// Load: the file checked as for shared memory, then stored in one call of
// storeMany, only when the pool holds no key (event 13). When storeMany
// fails with 5 the pool is read again: what it holds decides between
// kDone, kPartly and kUnavailable.
RemoteSnapshot loadTablePoolFromFile(KvPoolBackend& backend, int* records, std::string* error,
                                     SnapshotFit fit = SnapshotFit::kBelowCapacity);
// The capacity such a snapshot is checked against: the largest
// shared-memory pool.
inline constexpr int32_t kRemoteSnapshotCapacity = KVPOOL_MAX_PAGES * KVPOOL_PAGE_SIZE;

}  // namespace kvpool

#endif
