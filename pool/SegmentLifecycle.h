// The pool's system objects and their lifetime, internal to pool/: finding,
// checking, mapping and removing them (pool/SegmentLifecycle.cpp,
// pool/ObjectCheck.cpp), and the node contexts' user slots
// (pool/PoolSlots.cpp, whose callers hold the process's pool mutex). The
// exported initHandleOfKvPool .. closeHandleOfKvPool (pool/KvPoolShm.h) act
// on this process's handles.
#ifndef KVPOOL_POOL_SEGMENTLIFECYCLE_H
#define KVPOOL_POOL_SEGMENTLIFECYCLE_H

#include <cstddef>
#include <cstdint>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolSettings.h"

namespace kvpool {

void traceMappingStart(const void* view);  // a mapping's first trace line

struct SegmentMapping {
  void* view = nullptr;  // null when it failed
  int32_t bytes = 0;
  int error = 0;  // errno of the failed step
};
// Maps segment for reading and writing and learns its real size, which
// every bound is taken from; a node's attach and a tool's read-write
// opening share it, traced alike.
SegmentMapping mapSegmentForWriting(int segment);
void releaseMapping(void* view);  // unmaps it, traced as a node's
void removeJournal();             // the pool's store journal, if any
// Unmaps this process's segment and its journal and forgets the segment's id.
void forgetSegment();
// Finds or creates the pool's objects and maps the segment, as node creation
// does. A pool needs both: false (traced) when either is missing.
bool findAndMapPool();

// Whether this process's pool, or the journal's, was created by a process
// with KVPOOL_PERSIST (the journal's flag); false without a journal.
bool poolCreatedPersistent();
bool journalMarksPersistent(const StoreJournal* journal);

// The checks of an object this process did not create: the fixed keys let
// any local user create the objects first. A refusal writes one line for the
// operator (the insert of event 9): the object, its key, its owner and mode,
// and what to do.
struct JournalMapping {
  void* view = nullptr;  // null: the pool goes without a journal
  std::size_t bytes = 0;
  bool foreign = false;  // the journal found is not the pool's (problem written)
};
// Maps the journal of the pool segment poolSegment (poolBytes large). One
// found is used only when its owner, creator and mode are the segment's
// (else foreign). With mayCreate, the segment's owner and creator makes one
// when there is none, and replaces one too small for the pool. Other
// failures map nothing. attachFlags go to shmat (SHM_RDONLY for a look).
JournalMapping mapJournal(int poolSegment, int32_t poolBytes, bool mayCreate,
                          const ObjectProblem& problem, int attachFlags = 0);
// With KVPOOL_MODE set, the segment and the semaphore set are joined only
// when their permissions are that mode and their owner (and creator) is this
// process's user, or in one of its groups where the mode grants the group,
// or anyone where the mode grants others.
bool segmentFitsMode(int segment, int mode, const ObjectProblem& problem);
bool semaphoresFitMode(int semaphoreSet, int mode, const ObjectProblem& problem);

// The machine-wide user slots on semaphore 2: a node context holds one while
// it lives, and the machine's last one removes the pool.
enum class Join { kJoined, kSetRemoved, kFailed };
// Takes newSlots for new node contexts, and this process's poolUsers slots
// too unless the set already holds them (the set they were on was removed),
// in one step and only while no writer holds the lock: the machine's last
// node context decides to remove the pool under the writer lock, so no node
// joins between its count and the removal, and one waiting gets EIDRM.
Join joinSlots(int newSlots);
// A set removed under a lookup: forget both objects, to look again.
void forgetRemovedPool(const char* function);
// One node context of this process leaves: counts one poolUsers less and
// gives its slot back to the set that holds it; the last one also decides,
// under the writer lock, whether the machine's pool goes, and removes it.
void leavePool();
// Event 21 when this process, without KVPOOL_PERSIST, joined (or left) a
// pool created with it.
void warnPersistSettingDiffers(bool joined);

}  // namespace kvpool

#endif
