// The checks a process makes before it uses a System V object of the pool
// that it did not create: the fixed keys let any local user create the
// objects first, so an object is joined only when its owner and mode are
// those the process expects. Each check that refuses writes the problem as
// one line for the operator (the insert of event 9): the object, its key, its
// owner and mode, and what to do.
#ifndef KVPOOL_POOL_OBJECTCHECK_H
#define KVPOOL_POOL_OBJECTCHECK_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kvpool {

// A buffer for the problem text; empty while there is none.
struct ObjectProblem {
  char* text;
  std::size_t bytes;
};

// The pool's store journal segment `journal` is used with the pool segment
// `poolSegment` only when its owner, its creator and its permissions are the
// pool segment's: a journal of another user would let them read the values
// that stores replace and have theirs "repaired" into the pool. True with
// *journalBytes its size; false with the problem written.
bool adoptJournal(int journal, int poolSegment, std::size_t* journalBytes,
                  const ObjectProblem& problem);

// Whether this process may make the pool's journal: only the pool segment's
// owner and creator, so that the journal gets the pool's owner. *mode is the
// pool segment's permissions, which the journal gets too.
bool mayMakeJournal(int poolSegment, int* mode);

// A mapping of the pool's store journal.
struct JournalMapping {
  void* view = nullptr;  // null: the pool goes without a journal
  std::size_t bytes = 0;
  bool foreign = false;  // the journal found is not the pool's (problem written)
};
// Maps the journal of the pool segment poolSegment (poolBytes large), taking
// a journal found only through adoptJournal. With mayCreate, the pool's owner
// makes one when there is none and replaces one too small for the pool (left
// over from an earlier, smaller pool). Other failures map nothing.
// attachFlags go to shmat (SHM_RDONLY for a look only).
JournalMapping mapJournal(int poolSegment, int32_t poolBytes, bool mayCreate,
                          const ObjectProblem& problem, int attachFlags = 0);

// With KVPOOL_MODE set, the pool's segment and semaphore set are joined only
// when their permissions are that mode and their owner (and creator) is this
// process's user, or belongs to one of its groups where the mode grants the
// group, or anyone where the mode grants others. False with the problem
// written.
bool segmentFitsMode(int segment, int mode, const ObjectProblem& problem);
bool semaphoresFitMode(int semaphoreSet, int mode, const ObjectProblem& problem);

}  // namespace kvpool

#endif
