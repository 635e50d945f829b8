// The shared key/value pool: one System V segment (key 99999) guarded by one
// set of three semaphores (key 88888), shared by every node context of every
// process on the machine. This header is the plug-in's exported pool
// interface on this process's own handles (hKvMem, hKvMemView, hSemaphore),
// which node contexts attach and detach. pool/PoolAccess.h offers the same
// calls on any opened pool, for tools; pool/PoolRecords.h is the one reader
// and writer of the segment's layout:
//   PoolControl (12 bytes) | PoolBlock records back to back | free space
// (native byte order, no alignment between records). pool/PoolBackend.h
// chooses the pool on Redis instead (KVPOOL_BACKEND, redis/RedisPool.h).
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
//    again and takes its node contexts' slots on it. A process without node
//    contexts keeps failing until it creates one.
//  - Processes with differing KVPOOL_MEMORY_PAGES share the segment the first
//    one created, at its real size.
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
// The store journal (pool/StoreJournal.h), created and removed with the pool.
enum { KVPOOL_JOURNAL_KEY = 99998 };
enum { KVPOOL_PAGE_SIZE = 4096, KVPOOL_MAX_PAGES = 5000, KVPOOL_USER_SLOTS = 10000 };
// Result codes of the block store.
enum {
  KVPOOL_OK = 0,
  KVPOOL_KEY_NOT_FOUND = 2,
  // A store's key is empty or longer than 255 bytes (no snapshot could hold
  // it), or a call's request, key or value is null: nothing is read or
  // stored.
  KVPOOL_KEY_REFUSED = 4,
  // The pool's lock could not be taken: nothing was read or changed
  // (getKvPoolUnavailableText says why). On Redis: the server could not be used.
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

// The caller's request for a get or a store; it starts with a PoolBlock header.
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
// process's own pool, or on Redis when the process's pool is there: 5 then
// means the server cannot be used, 8 that it refused the store for memory,
// and the snapshot has the same layout.
//
// Reads the value stored under key. 0: request->value is a new copy the
// caller frees; 2: no such key, a damaged chain before it, or no memory for
// the copy (request->value unchanged); 4: request or key is null; 5: the
// lock could not be taken, or the call ran out of memory
// (getKvPoolUnavailableText says which). Takes the read lock.
KVPOOL_EXPORT int getKvPoolDataBlock(PoolBlockRequest* request, const char* key);
// Stores request->value under request->key, replacing an older record (which
// moves to the end). 0 stored; 4 the request, its key or its value is null,
// or the key is empty or longer than 255 bytes (nothing changed); 5 the lock
// could not be taken or the call ran out of memory (nothing changed); 8 the
// pool cannot take it (full, or its header is beyond the segment). Takes the
// write lock. A damaged chain is first cut back to its sound records.
KVPOOL_EXPORT int storeKvPoolDataBlock(PoolBlockRequest* request);

// None of these calls lets an exception of its own reach its caller
// (support/EntryGuard.h): each answers it with its failure code.
//
// Saves the pool to "/tmp/KvPoolData.bin" (KVPOOL_PERSIST when set) through
// a new owner-only file ("<file>.<pid>.XXXXXX") that is synced and renamed
// over it, first removing the files of this user's saves that died before
// their rename. 0 saved (event 14); 1 no mapping, the lock could not be
// taken, or the file could not be written (the old snapshot is kept). Takes
// the write lock while copying.
KVPOOL_EXPORT int storeKvPoolToFile(void);
// Loads the snapshot into an empty pool that can hold it (event 13). 1 no
// usable file (missing, a link, 12 bytes or less, size and usedSize differ,
// a record chain that breaks the pool's rules), or the lock could not be
// taken (on Redis: the server could not be used, or refused the records for
// memory); 0 otherwise, loaded or not. Takes the write lock while copying.
KVPOOL_EXPORT int initKvPoolFromFile(void);

// The pool's share of node creation and deletion (not exported). A node
// creation calls attachKvPool, then takeKvPoolUserSlot; when either returns
// nonzero it has logged event 9 (line 414), and the caller releases its
// context and raises the configuration exception (line 415).
//
// Finds or creates the semaphore set and the segment, and maps the segment;
// 0 when both are there (no segment is made without its set). Objects it
// creates get the permissions KVPOOL_MODE gives (octal, read and write bits
// only, the owner's included; 0666 when unset); any other KVPOOL_MODE refuses
// the creation. With KVPOOL_MODE given, objects found are joined only as
// pool/SegmentLifecycle.h checks them; a refusal names the object
// (getKvPoolAttachProblem).
int attachKvPool(void);
// Takes one machine-wide user slot, only while no writer holds the lock, and
// counts one more poolUsers. A set removed meanwhile (the machine's last node
// context removed the pool) is forgotten with its segment and the pool looked
// up again, a few times. 0 taken; nonzero not (nothing counted).
int takeKvPoolUserSlot(void);
// Releases the slot; the last node context on the machine decides, under the
// writer lock, whether to remove the pool, and removes it.
void detachKvPool(void);
// poolUsers, read under the lock that node creation and deletion change it
// under.
int countKvPoolUsers(void);
// What is wrong with this process's configuration when the calling thread's
// last attachKvPool was refused for it (KVPOOL_MODE, say), else null; the
// text is the insert of event 9. Valid until the thread's next attach.
const char* getKvPoolAttachProblem(void);
// Why the calling thread's last pool call found the pool unavailable: the
// system call that failed and its error text, e.g. "semop(): Identifier
// removed". Valid until the thread's next pool call.
const char* getKvPoolUnavailableText(void);

// Not exported: the mapped segment's real size (0 when nothing is mapped),
// and the bound of every store: that size, whoever created the segment, or
// noOfPoolPages * 4096 while nothing is mapped.
int32_t getKvPoolSegmentSize(void);
int32_t getKvPoolCapacity(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(PoolControl) == 12 && sizeof(PoolBlock) == 12, "12-byte headers");
static_assert(offsetof(PoolControl, blockCount) == 4 && offsetof(PoolControl, usedSize) == 8,
              "PoolControl fields at 0, 4, 8");
static_assert(offsetof(PoolBlock, keyLength) == 4 && offsetof(PoolBlock, valueLength) == 8,
              "PoolBlock fields at 0, 4, 8");
static_assert(offsetof(PoolBlockRequest, key) >= 12, "request starts with a block header");

namespace kvpool {
// Fault injection for tests (null in production): called by the machine's
// last node context once it has decided, under the writer lock, to remove
// the pool, before it does.
using PoolRemovalHook = void (*)();
extern PoolRemovalHook poolRemovalHook;
}  // namespace kvpool
#endif

#endif
