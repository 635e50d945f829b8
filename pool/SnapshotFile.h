// The snapshot file /tmp/KvPoolData.bin as both backends write and read it:
// the segment's layout (pool/PoolRecords.h), written through a new
// owner-only file that is synced and renamed over the old one, and read only
// when it is a regular file whose whole record chain is sound. Internal to
// pool/; every step traces as storeKvPoolToFile and initKvPoolFromFile do.
#ifndef KVPOOL_POOL_SNAPSHOTFILE_H
#define KVPOOL_POOL_SNAPSHOTFILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kvpool {

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

}  // namespace kvpool

#endif
