// The pool's system objects and their lifetime, internal to pool/: finding,
// checking, mapping and removing them (pool/SegmentLifecycle.cpp,
// pool/ObjectCheck.cpp). The exported initHandleOfKvPool ..
// closeHandleOfKvPool (pool/KvPoolShm.h) act on this process's handles.
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

}  // namespace kvpool

#endif
