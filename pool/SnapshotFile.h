// The snapshot file /tmp/KvPoolData.bin as both backends write and read it:
// the segment's layout (pool/PoolRecords.h), written through a new
// owner-only file that is synced and renamed over the old one, and read only
// when it is a regular file whose whole record chain is sound. Every step
// traces as storeKvPoolToFile and initKvPoolFromFile do. The names and the
// sweep of dead saves' files are also kvpool's, so both find the same files.
#ifndef KVPOOL_POOL_SNAPSHOTFILE_H
#define KVPOOL_POOL_SNAPSHOTFILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"

struct KvPoolBackend;

namespace kvpool {

constexpr const char* kSnapshotPath = "/tmp/KvPoolData.bin";
constexpr const char* kSnapshotDirectory = "/tmp";

// The pid of the save writing the temporary snapshot that the directory
// entry name (in kSnapshotDirectory) is, "KvPoolData.bin.<pid>.XXXXXX"; 0
// when name is no such file.
int tempSnapshotWriter(const char* name);

// The temporary files of saves that died before their rename: regular files
// (never links) named as a save names them whose writer no longer runs.
struct DeadSavesFiles {
  int files = 0;
  int64_t bytes = 0;
};
// Counts them all, whoever owns them (remove false); or removes those of
// this user and counts what it removed (a live save's file and another
// user's stay), tracing each removal.
DeadSavesFiles findDeadSavesFiles(bool remove);

// Makes a new temporary file beside the snapshot, lets writeImage fill it
// (false: give up), then syncs it and renames it over the snapshot. False
// when any step failed; the old snapshot then stays.
bool writeSnapshotFile(const std::function<bool(int fd)>& writeImage);
// Writes all of image to fd, tracing the count.
bool writeSnapshotBytes(int fd, const unsigned char* image, std::size_t size);

// Reads the snapshot for a pool of capacity bytes. False when there is no
// usable file: missing, a link or not a regular file, 12 bytes or less, a
// size other than its usedSize, a damaged chain. True otherwise, with *fits
// false and *image empty when it is not smaller than capacity.
bool readSnapshotFile(int32_t capacity, std::vector<unsigned char>* image, bool* fits);

// Event 14 (saved) or 13 (loaded).
void logSnapshotEvent(bool saved);

// The snapshot of a backend whose table has no saveSnapshot/loadSnapshot
// (Redis), made through the table's calls in the segment's layout.
enum class RemoteSnapshot {
  kDone,
  kUnavailable,   // the backend could not be used (*error)
  kTooLarge,      // save: the keys do not fit the largest pool; load: nor the file
  kFileFailed,    // save: the file could not be written; load: none usable
  kPoolNotEmpty,  // load: the pool holds keys
  kFull,          // load: the backend refused the records for memory
};
// Save: every key in key order, written through a new file synced and
// renamed over /tmp/KvPoolData.bin (event 14). *records counts them.
RemoteSnapshot saveTablePoolToFile(KvPoolBackend& backend, int* records, std::string* error);
// Load: the file checked as for shared memory, then stored in one call of
// storeMany, only when the pool holds no key (event 13).
RemoteSnapshot loadTablePoolFromFile(KvPoolBackend& backend, int* records, std::string* error);
// The capacity such a snapshot is checked against: the largest
// shared-memory pool.
inline constexpr int32_t kRemoteSnapshotCapacity = KVPOOL_MAX_PAGES * KVPOOL_PAGE_SIZE;

}  // namespace kvpool

#endif
