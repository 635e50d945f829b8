// The store journal: what a store records, in a companion segment of the
// pool's own, so that a store killed at any instant loses at most its own
// update. The segment layout has no spare field; processes that do not know
// the journal keep working without it.
//
// A replacement saves the old record in the journal, then moves the records
// behind it down over it piece by piece, each piece staged in the journal
// before it is written and its progress noted: a move cut short goes on from
// its note. Whoever next holds the writer lock repairs an interrupted store:
//  - killed while moving: the move is completed and the old record goes
//    back at the end (the key keeps its old value, as if replaced by itself);
//  - killed after the move: the old record goes back at the end, unless the
//    header already shows the new record (then the store was complete);
//  - killed while appending a new key: the old header is restored;
//  - killed while emptying the pool: the empty header is written.
// A journal whose recorded header no longer matches the pool (a process
// without the journal changed it since) is dropped; the chain checks of the
// block store then deal with whatever is left. An entry that fails its own
// check (its hash, the bounds of the segment and the save area, the progress
// of its move) was written by no store of ours: it is refused, the pool is
// left as it is, and the journal goes back to idle.
//
// All functions run under the pool's writer lock, except journalPending.
#ifndef KVPOOL_POOL_STOREJOURNAL_H
#define KVPOOL_POOL_STOREJOURNAL_H

#include <cstddef>
#include <cstdint>

#include "pool/KvPoolShm.h"

namespace kvpool {

struct StoreJournal {
  uint32_t magic;
  uint32_t state;    // a JournalState
  int32_t offset;    // where the replaced record starts
  int32_t oldSize;   // its blockSize (0 for an append)
  int32_t newSize;   // blockSize of the record being stored
  int32_t usedSize;  // the pool header before the store
  int32_t blockCount;
  int32_t saveCapacity;
  // Bytes of the move done, with the top bit set while the next piece is
  // staged (low half), and their check (high half), noted in one store so
  // that a kill never leaves the two apart.
  uint64_t progress;
  uint32_t changes;  // counts every change of ours to the pool (the key index's check)
  // The entry's check: a hash of its kind, offset .. blockCount and the saved
  // record, written before the state leaves idle. An entry that fails it (or
  // its bounds) was not written by a store of ours and is not applied.
  uint32_t check;
  // The pool's own facts (JournalFlag), kept for as long as the pool lives;
  // no store changes them.
  uint32_t flags;
  // saveCapacity bytes follow: the replaced record and the staged piece.
};
static_assert(sizeof(StoreJournal) == 56, "journal header is 56 bytes");
static_assert(offsetof(StoreJournal, flags) == 48, "flags follow the check");

enum JournalFlag : uint32_t {
  // The pool was created by a process with KVPOOL_PERSIST: it was loaded
  // from that file and its last node context saves it there.
  kJournalPoolPersistent = 1,
  // Bits 1-3: why its last node kept it in memory (a PoolKept); bits 8-31:
  // a tag of its creator's KVPOOL_PERSIST path (pool/PersistPolicy.h).
  kJournalKeptMask = 0xE,
  kJournalPathTagMask = 0xFFFFFF00,
};
constexpr int kJournalKeptShift = 1;
constexpr int kJournalPathTagShift = 8;
static_assert(offsetof(StoreJournal, progress) % 8 == 0, "progress is noted in one store");

enum JournalState : uint32_t {
  kJournalIdle = 0,
  kJournalMoving = 1,
  kJournalMoved = 2,
  kJournalAppending = 3,
  kJournalClearing = 4,
};

enum class JournalRepair { kNone, kCompleted, kUndone, kDropped, kRefused };

// Bytes a companion segment needs to journal any store into a pool segment
// of poolBytes (the largest record it can hold).
std::size_t journalSegmentBytes(std::size_t poolBytes);
// Prepares a companion segment of bytes for use: a new (zeroed) one, or one
// whose header is not ours, becomes an idle journal; a live one is kept.
// Null when bytes cannot hold a journal.
StoreJournal* journalOpen(void* companion, std::size_t bytes);
// The journal of a companion segment of bytes mapped read-only, or null
// when it holds none of this layout.
const StoreJournal* journalLook(const void* companion, std::size_t bytes);
// True while a store is recorded and not finished. Safe without the lock
// (a hint: the repair itself checks again under the writer lock).
bool journalPending(const StoreJournal* journal);
// The count of changes stores of ours made to the pool; 0 without a journal.
uint32_t journalChanges(const StoreJournal* journal);

// A replacement of the record at offset (oldSize bytes) by one of newSize
// bytes: saves the old record, then moves those behind it down. Afterwards
// the caller writes the new record at header.usedSize - oldSize, then the
// header, then calls journalFinish. A removal is a replacement by nothing
// (newSize 0): the caller writes only the header. False, nothing done, when
// the save area cannot hold the old record and a piece.
bool journalReplace(StoreJournal* journal, unsigned char* base, const PoolControl& header,
                    int32_t offset, int32_t oldSize, int32_t newSize);
// An append of a new record of newSize bytes at header.usedSize; the caller
// writes it, then the header, then calls journalFinish.
void journalAppend(StoreJournal* journal, const PoolControl& header, int32_t newSize);
// Emptying the pool: the caller writes the empty header, then finishes. An
// interrupted clear is completed.
void journalClear(StoreJournal* journal, const PoolControl& header);
void journalFinish(StoreJournal* journal);
// Counts a change made without an entry (a snapshot loaded), leaving the
// state as it is.
void journalCountChange(StoreJournal* journal);

// Completes or undoes a store that was cut short. segmentSize bounds every
// access. Under the writer lock.
JournalRepair journalRepair(StoreJournal* journal, unsigned char* base, int32_t segmentSize);

// Fault injection for tests: called after each step of a journaled store
// (see JournalStep); a test stops the process there. Null in production.
enum JournalStep {
  kStepSaved = 1,      // old record saved, nothing moved
  kStepChunkMoved,     // after each piece of the move
  kStepMoved,          // move done, new record not written
  kStepRecordWritten,  // new record written, header not
  kStepHeaderWritten,  // header written, journal not finished
  kStepPieceStaged,    // a piece staged in the journal, not yet written
};
using JournalStepHook = void (*)(int step);
extern JournalStepHook journalStepHook;
// The hook's call, for the block store's own steps.
inline void journalStep(int step) {
  if (journalStepHook != nullptr) journalStepHook(step);
}

}  // namespace kvpool

#endif
