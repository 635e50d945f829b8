// The shared key/value pool: one System V segment (key 99999) guarded by one
// set of three semaphores (key 88888), shared by every node context of every
// process on the machine.
//
// pool/ offers three headers:
//  - this one: the plug-in's exported pool interface, on this process's own
//    handles (hKvMem, hKvMemView, hSemaphore), which node contexts attach
//    and detach; the records exchanged across it; the keys and limits.
//  - pool/PoolAccess.h: the same get, store, save, load and lock on any
//    opened pool, for tools beside the plug-in, without joining the pool.
//  - pool/PoolRecords.h: the one reader and writer of the segment layout:
//      PoolControl (12 bytes) | PoolBlock records back to back | free space
//    (native byte order, no alignment between records).
// and, for the pool on Redis instead (opt-in, KVPOOL_BACKEND):
//  - pool/PoolBackend.h: the settings and the process's choice;
//  - redis/RedisPool.h: the pool on a Redis server, the message's exchange.
// pool/ includes support/ only: events it logs are named in
// support/KvPoolConstants.h.
//
// Caveats:
//  - fork: a child inherits the mapping and the ids but no user slot; it must
//    not detach what it did not attach.
//  - A process that dies holding a lock gives it back (SEM_UNDO). A store it
//    left half-done can leave a chain that does not add up; gets stop at the
//    damage, and the next store cuts the pool back to the sound records
//    before it. A replacement cut short after its move can leave a stale
//    copy of the last record that still looks sound: that is not detected.
//  - A set whose creator died before setting the user slots is set up by the
//    next process after about a second; until then node creation waits.
//  - A pool is removed only by the machine's last node context, deciding under
//    the writer lock; a node creation takes its slot only while no writer
//    holds the lock, so it either keeps the pool alive or, finding it removed
//    (EIDRM), looks it up again and joins or makes the next one.
//  - A pool removed under live node contexts (by an operator): every get,
//    store, save or load whose lock fails does nothing and fails (5, or 1 for
//    the snapshot calls); the process's next one first looks the pool up
//    again as a node creation does (joining, or making, the pool found by
//    key) and takes its node contexts' slots on it. A process without node
//    contexts keeps failing until it creates one.
//  - Processes with differing KVPOOL_MEMORY_PAGES share the segment the first
//    one created, at its real size: the variable sizes only a pool that the
//    process creates itself.
#ifndef KVPOOL_POOL_KVPOOLSHM_H
#define KVPOOL_POOL_KVPOOLSHM_H

#include <stddef.h>
#include <stdint.h>

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { KVPOOL_SEM_KEY = 88888, KVPOOL_SHM_KEY = 99999 };
// The pool's companion segment: the store journal (pool/StoreJournal.h),
// created and removed with the pool.
enum { KVPOOL_JOURNAL_KEY = 99998 };
enum { KVPOOL_PAGE_SIZE = 4096, KVPOOL_MAX_PAGES = 5000, KVPOOL_USER_SLOTS = 10000 };
// Result codes of the block store.
enum {
  KVPOOL_OK = 0,
  KVPOOL_KEY_NOT_FOUND = 2,
  // The pool's lock could not be taken (its set was removed, for instance):
  // nothing was read or changed. getKvPoolUnavailableText says why. On Redis
  // (redis/RedisPool.h): the server could not be used.
  KVPOOL_POOL_UNAVAILABLE = 5,
  KVPOOL_POOL_FULL = 8
};

typedef struct PoolControl {
  int32_t totalSize;
  int32_t blockCount;
  int32_t usedSize;
} PoolControl;

// The 12-byte header of one record; key and value (both NUL-terminated) follow.
typedef struct PoolBlock {
  int32_t blockSize;
  int32_t keyLength;
  int32_t valueLength;
} PoolBlock;

// The caller's request for a get or a store. The first three fields have the
// layout of a PoolBlock header.
typedef struct PoolBlockRequest {
  int32_t blockSize;
  int32_t keyLength;
  int32_t valueLength;
  char* key;
  char* value;
} PoolBlockRequest;

KVPOOL_EXPORT extern int hKvMem;         // segment id, -1 when none is known
KVPOOL_EXPORT extern void* hKvMemView;   // this process's mapping, null when unmapped
KVPOOL_EXPORT extern int hSemaphore;     // semaphore set id, -1 when none is known
KVPOOL_EXPORT extern int poolUsers;      // node contexts alive in this process
KVPOOL_EXPORT extern int noOfPoolPages;  // pages of 4096 bytes this process creates a pool with

// Finds or creates the semaphore set and the segment. 1 when the segment was
// known or existed already, 0 when this call created it (or failed to).
KVPOOL_EXPORT int initHandleOfKvPool(void);
// Maps the segment once per process; writes the empty header when existed is 0.
KVPOOL_EXPORT void initHandleOfKvPoolView(int existed);
// Writes the empty header (capacity, 0, 12) under the writer lock, unless a
// process that found the new segment first has already stored into it.
KVPOOL_EXPORT void initKvPoolMemory(void);
KVPOOL_EXPORT void closeHandleOfKvPoolView(void);
KVPOOL_EXPORT void closeHandleOfKvPool(void);

// The reader/writer lock on hSemaphore (kvpool::PoolWriteLock and
// PoolReadLock on a given set). Not re-entrant. Each returns holding the lock
// (interrupted waits are retried); a failure is traced.
KVPOOL_EXPORT void sem_WLock(void);
KVPOOL_EXPORT void sem_WUnLock(void);
KVPOOL_EXPORT void sem_RLock(void);
KVPOOL_EXPORT void sem_RUnLock(void);

// The four calls below are kvpool::getPoolValue .. loadPoolFromFile on this
// process's own pool (kvpool::processPoolView). In a process whose pool is on
// Redis (pool/PoolBackend.h) they go there instead (redis/RedisPool.h): get
// and store may then also return 5 (the server cannot be used), 8 means the
// server refused the store for memory, and save and load write and read the
// same snapshot layout.
//
// Reads the value stored under key. 0: request->value is a new copy the
// caller frees; 2: no such key, a damaged chain before it, or no memory for
// the copy (request->value unchanged); 5: the lock could not be taken. Takes
// the read lock.
KVPOOL_EXPORT int getKvPoolDataBlock(PoolBlockRequest* request, const char* key);
// Stores request->value under request->key, replacing an older record (which
// moves to the end). 0 stored; 5 the lock could not be taken (nothing
// changed); 8 the pool cannot take it (full, or its header is beyond the
// segment). Takes the write lock. A damaged chain is first cut back to its
// sound records.
KVPOOL_EXPORT int storeKvPoolDataBlock(PoolBlockRequest* request);

// Saves the pool to "/tmp/KvPoolData.bin" through a new owner-only file
// ("/tmp/KvPoolData.bin.<pid>.XXXXXX") that is synced and renamed over it, so
// the old snapshot stays whole until then. First removes the files of saves
// that died before their rename: regular files of this user whose pid names
// no process.
// 0 saved (event 14); 1 no mapping, the lock could not be taken, or the file
// could not be written (the old snapshot is kept). Takes the write lock while
// copying.
KVPOOL_EXPORT int storeKvPoolToFile(void);
// Loads the snapshot into an empty pool that can hold it (event 13). 1 no
// usable file: missing, a link, 12 bytes or less, size and usedSize differ, a
// record chain that does not add up or breaks the pool's rules
// (pool/PoolRecords.h), or the lock could not be taken (on Redis: the server
// could not be used, or refused the records for memory); 0 otherwise, loaded
// or not. Takes the write lock while
// copying.
KVPOOL_EXPORT int initKvPoolFromFile(void);

// The pool's share of node creation and deletion (not exported). A node
// creation calls attachKvPool, then takeKvPoolUserSlot; when either returns
// nonzero it has logged event 9 (line 414), and the caller releases its
// context and raises the configuration exception (line 415).
//
// Finds or creates the semaphore set and the segment, and maps the segment;
// 0 when both are there (without its set a pool cannot be locked: no segment
// is made then). Objects it creates get the permissions KVPOOL_MODE gives
// (octal, read and write bits only, the owner's included; 0666 when unset);
// any other KVPOOL_MODE refuses the creation before anything is looked up.
// With KVPOOL_MODE given, a segment or set found is joined only when it has
// that mode and an owner the mode admits (pool/SegmentLifecycle.h); the journal
// only when its owner, creator and mode are the segment's. A refusal names
// the object (getKvPoolAttachProblem).
int attachKvPool(void);
// Takes one machine-wide user slot, only while no writer holds the lock, and
// counts one more poolUsers. A set removed meanwhile (the machine's last node
// context removed the pool) is forgotten with its segment and the pool looked
// up again, a few times. 0 taken; nonzero not (nothing counted).
int takeKvPoolUserSlot(void);
// Releases the slot; the last node context on the machine decides, under the
// writer lock, whether to remove the pool, and removes it.
void detachKvPool(void);
// What is wrong with this process's configuration when the calling thread's
// last attachKvPool was refused for it (KVPOOL_MODE, say), else null; the
// text is the insert of event 9. Valid until the thread's next attach.
const char* getKvPoolAttachProblem(void);
// Why the calling thread's last pool call found the pool unavailable: the
// system call that failed and its error text, e.g. "semop(): Identifier
// removed". Valid until the thread's next pool call.
const char* getKvPoolUnavailableText(void);

// Size of the mapped segment as the system reports it (learned when mapping);
// 0 when nothing is mapped. Not exported.
int32_t getKvPoolSegmentSize(void);
// The bound of every store: the mapped segment's real size, whoever created
// it; noOfPoolPages * 4096 while nothing is mapped. Not exported.
int32_t getKvPoolCapacity(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(PoolControl) == 12, "PoolControl is 12 bytes");
static_assert(sizeof(PoolBlock) == 12, "PoolBlock header is 12 bytes");
static_assert(offsetof(PoolControl, blockCount) == 4 && offsetof(PoolControl, usedSize) == 8,
              "PoolControl fields at 0, 4, 8");
static_assert(offsetof(PoolBlock, keyLength) == 4 && offsetof(PoolBlock, valueLength) == 8,
              "PoolBlock fields at 0, 4, 8");
static_assert(offsetof(PoolBlockRequest, key) >= 12, "request starts with a block header");

namespace kvpool {
// Fault injection for tests: called by the machine's last node context once
// it has decided, under the writer lock, to remove the pool, before it does.
// Null in production.
using PoolRemovalHook = void (*)();
extern PoolRemovalHook poolRemovalHook;
}  // namespace kvpool
#endif

#endif
