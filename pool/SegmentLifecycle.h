// The pool's system objects and their lifetime (pool/SegmentLifecycle.cpp):
// the calls a node creation, the user slots and a tool's opening build on.
// The exported initHandleOfKvPool .. closeHandleOfKvPool (pool/KvPoolShm.h)
// act on this process's handles; the calls here are internal to pool/.
#ifndef KVPOOL_POOL_SEGMENTLIFECYCLE_H
#define KVPOOL_POOL_SEGMENTLIFECYCLE_H

#include <cstdint>

#include "pool/KeyIndex.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"

namespace kvpool {

struct StoreJournal;

// The first trace line of a mapping, with the mapping it starts from.
void traceMappingStart(const void* view);

struct SegmentMapping {
  void* view = nullptr;  // null when it failed
  int32_t bytes = 0;
  int error = 0;  // errno of the failed step
};
// Maps segment for reading and writing and learns its real size: every bound
// is taken from the segment as it really is, not from KVPOOL_MEMORY_PAGES.
// A node's attach and a tool's read-write opening share it, traced alike.
SegmentMapping mapSegmentForWriting(int segment);
// Unmaps a read-write mapping, traced as a node's is.
void releaseMapping(void* view);
// Removes the pool's store journal, if there is one.
void removeJournal();

// Unmaps this process's segment and its journal and forgets the segment's id.
void forgetSegment();
// Finds or creates the pool's objects and maps the segment, as node creation
// does. A pool needs both: false (traced) when either is missing.
bool findAndMapPool();

// This process's store journal (null when its pool has none) and key index.
StoreJournal* processStoreJournal();
KeyIndex* processKeyIndex();
// This process's mapped pool as a view (processPoolView, pool/PoolAccess.h).
PoolView mappedPoolView();
// Whether this process's pool was created by a process with KVPOOL_PERSIST
// (the journal's flag); false without a journal.
bool poolCreatedPersistent();

}  // namespace kvpool

#endif
