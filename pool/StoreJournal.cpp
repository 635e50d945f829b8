// The store journal: see StoreJournal.h for the protocol.
#include "pool/StoreJournal.h"

#include <algorithm>
#include <cstring>

#include "support/KvPoolUtil.h"

namespace kvpool {

JournalStepHook journalStepHook = nullptr;

namespace {

constexpr uint32_t kJournalMagic = 0x4B564A35;  // "KVJ5": the move staged piece by piece
constexpr int32_t kHeaderSize = sizeof(PoolControl);
// The move stages the records behind the old one through the save area in
// pieces of this size: small enough for the C library's vector copy, which
// beats its string instructions below 4 KiB; the step hook sees each piece.
constexpr int32_t kMovePiece = 2048;
// Set in the low half of the progress while a piece is staged: the save
// area holds the piece that goes at the noted offset.
constexpr uint32_t kPieceStaged = 0x80000000u;

// The journal's fields are noted in order: a process killed between two
// notes leaves the earlier ones in place. Only the compiler can reorder the
// stores of one thread as others see them after its death.
void noteState(StoreJournal* journal, uint32_t state) {
  __atomic_store_n(&journal->state, state, __ATOMIC_RELEASE);
}

constexpr uint32_t kHashBasis = 2166136261u;

// What a state records: a replacement (moving or moved), an append, a clear.
enum EntryKind : uint32_t { kKindNone, kKindReplace, kKindAppend, kKindClear };
EntryKind kindOf(uint32_t state) {
  switch (state) {
    case kJournalMoving:
    case kJournalMoved:
      return kKindReplace;
    case kJournalAppending:
      return kKindAppend;
    case kJournalClearing:
      return kKindClear;
    default:
      return kKindNone;
  }
}

unsigned char* saveArea(StoreJournal* journal) {
  return reinterpret_cast<unsigned char*>(journal + 1);
}

PoolControl readControl(const unsigned char* base) {
  PoolControl header;
  std::memcpy(&header, base, sizeof header);
  return header;
}

void writeControl(unsigned char* base, int32_t blockCount, int32_t usedSize) {
  PoolControl header = readControl(base);
  header.blockCount = blockCount;
  header.usedSize = usedSize;
  std::memcpy(base, &header, sizeof header);
}

// The entry's check; the saved record's oldSize bytes must lie in the save
// area.
uint32_t entryCheck(StoreJournal* journal, EntryKind kind) {
  const int32_t fields[] = {static_cast<int32_t>(kind), journal->offset,   journal->oldSize,
                            journal->newSize,           journal->usedSize, journal->blockCount};
  WordHash hash(kHashBasis);
  hash.add(fields, sizeof fields);
  hash.add(saveArea(journal), static_cast<std::size_t>(journal->oldSize));
  return hash.sum();
}

// The progress's check: the entry's, changed by a bijection of the progress,
// so that two progresses of one entry never share it.
uint64_t progressOf(uint32_t moved, uint32_t check) {
  const uint32_t movedCheck = check ^ (moved * 0x9e3779b1u);
  return (uint64_t{movedCheck} << 32) | moved;
}
uint32_t progressNoted(const StoreJournal* journal) {
  return static_cast<uint32_t>(__atomic_load_n(&journal->progress, __ATOMIC_ACQUIRE));
}
void noteMoved(StoreJournal* journal, uint32_t moved) {
  __atomic_store_n(&journal->progress, progressOf(moved, journal->check), __ATOMIC_RELEASE);
}

void sealEntry(StoreJournal* journal, EntryKind kind) {
  journal->check = entryCheck(journal, kind);
  noteMoved(journal, 0);
}

int32_t tailOf(const StoreJournal* journal) {
  return journal->usedSize - journal->offset - journal->oldSize;
}

void copyPiece(unsigned char* to, const unsigned char* from, int32_t bytes) {
  std::size_t n = static_cast<std::size_t>(bytes);
  // Hides the bound from the compiler, which would otherwise inline the copy
  // as a string instruction, slower here than the library's vector loop.
  asm("" : "+r"(n));
  std::memcpy(to, from, n);
}

// Moves the records behind the replaced one down over it, from the noted
// progress on. Each piece is staged in the save area behind the old record
// before it is written: a piece's copy overwrites its own source, never that
// of a later piece, so a move cut short anywhere goes on from its note.
void moveDown(StoreJournal* journal, unsigned char* base) {
  const int32_t tail = tailOf(journal);
  unsigned char* stage = saveArea(journal) + journal->oldSize;
  unsigned char* to = base + journal->offset;
  const unsigned char* from = to + journal->oldSize;
  const uint32_t noted = progressNoted(journal);
  auto done = static_cast<int32_t>(noted & ~kPieceStaged);
  bool staged = (noted & kPieceStaged) != 0;
  while (done < tail) {
    const int32_t n = std::min(kMovePiece, tail - done);
    if (!staged) {
      copyPiece(stage, from + done, n);
      noteMoved(journal, static_cast<uint32_t>(done) | kPieceStaged);
      journalStep(kStepPieceStaged);
    }
    copyPiece(to + done, stage, n);
    done += n;
    staged = false;
    noteMoved(journal, static_cast<uint32_t>(done));
    journalStep(kStepChunkMoved);
  }
}

// Puts the saved record back as the pool's last record, with the header the
// pool had before the store: the key keeps its old value.
void restoreOldRecord(StoreJournal* journal, unsigned char* base) {
  std::memcpy(base + journal->usedSize - journal->oldSize, saveArea(journal),
              static_cast<std::size_t>(journal->oldSize));
  writeControl(base, journal->blockCount, journal->usedSize);
}

// The move's noted progress is its own (its check holds) and one the move
// notes: the end of a piece (or of the tail), a staged piece's start while
// moving; all of it once moved.
bool progressSound(const StoreJournal* journal, int32_t tail) {
  const uint64_t progress = __atomic_load_n(&journal->progress, __ATOMIC_ACQUIRE);
  const auto noted = static_cast<uint32_t>(progress);
  if (progress != progressOf(noted, journal->check)) return false;
  const int64_t moved = noted & ~kPieceStaged;
  if (journal->state == kJournalMoved) return moved == tail && noted == moved;
  const bool staged = noted != moved;
  if (moved == tail) return !staged;
  return moved < tail && moved % kMovePiece == 0;
}

// The entry is one a store of ours wrote for a pool of segmentSize bytes: a
// journal that is not is not ours to act on.
bool plausible(StoreJournal* journal, int32_t segmentSize) {
  const EntryKind kind = kindOf(journal->state);
  const int64_t used = journal->usedSize;
  if (journal->magic != kJournalMagic || kind == kKindNone || used < kHeaderSize ||
      used > segmentSize || journal->blockCount < 0 || journal->oldSize < 0 ||
      journal->oldSize > std::min(journal->saveCapacity, segmentSize) || journal->newSize < 0 ||
      used - journal->oldSize + journal->newSize > segmentSize) {
    return false;
  }
  if (journal->check != entryCheck(journal, kind)) return false;
  if (kind == kKindClear) return journal->offset == kHeaderSize && journal->oldSize == 0;
  if (kind == kKindAppend) return journal->offset == used && journal->oldSize == 0;
  // The save area holds the old record and a staged piece.
  return journal->oldSize > 0 && journal->offset >= kHeaderSize &&
         int64_t{journal->offset} + journal->oldSize <= used &&
         journal->oldSize +
                 std::min<int64_t>(kMovePiece, used - journal->offset - journal->oldSize) <=
             journal->saveCapacity &&
         progressSound(journal, tailOf(journal));
}

}  // namespace

std::size_t journalSegmentBytes(std::size_t poolBytes) {
  return sizeof(StoreJournal) + poolBytes;
}

StoreJournal* journalOpen(void* companion, std::size_t bytes) {
  if (companion == nullptr || bytes < sizeof(StoreJournal)) return nullptr;
  auto* journal = static_cast<StoreJournal*>(companion);
  const auto capacity =
      static_cast<int32_t>(std::min<std::size_t>(bytes - sizeof(StoreJournal), INT32_MAX));
  if (journal->magic != kJournalMagic || journal->saveCapacity != capacity) {
    std::memset(journal, 0, sizeof *journal);
    journal->saveCapacity = capacity;
    __atomic_store_n(&journal->magic, kJournalMagic, __ATOMIC_RELEASE);
  }
  return journal;
}

const StoreJournal* journalLook(const void* companion, std::size_t bytes) {
  if (companion == nullptr || bytes < sizeof(StoreJournal)) return nullptr;
  const auto* journal = static_cast<const StoreJournal*>(companion);
  return __atomic_load_n(&journal->magic, __ATOMIC_ACQUIRE) == kJournalMagic ? journal : nullptr;
}

bool journalPending(const StoreJournal* journal) {
  return journal != nullptr && __atomic_load_n(&journal->state, __ATOMIC_ACQUIRE) != kJournalIdle;
}

bool journalReplace(StoreJournal* journal, unsigned char* base, const PoolControl& header,
                    int32_t offset, int32_t oldSize, int32_t newSize) {
  const int32_t tail = header.usedSize - offset - oldSize;
  if (int64_t{oldSize} + std::min(kMovePiece, tail) > journal->saveCapacity) return false;
  std::memcpy(saveArea(journal), base + offset, static_cast<std::size_t>(oldSize));
  journal->offset = offset;
  journal->oldSize = oldSize;
  journal->newSize = newSize;
  journal->usedSize = header.usedSize;
  journal->blockCount = header.blockCount;
  sealEntry(journal, kKindReplace);
  noteState(journal, kJournalMoving);
  journalStep(kStepSaved);
  moveDown(journal, base);
  noteState(journal, kJournalMoved);
  journalStep(kStepMoved);
  return true;
}

void journalAppend(StoreJournal* journal, const PoolControl& header, int32_t newSize) {
  journal->offset = header.usedSize;
  journal->oldSize = 0;
  journal->newSize = newSize;
  journal->usedSize = header.usedSize;
  journal->blockCount = header.blockCount;
  sealEntry(journal, kKindAppend);
  noteState(journal, kJournalAppending);
}

void journalClear(StoreJournal* journal, const PoolControl& header) {
  journal->offset = kHeaderSize;
  journal->oldSize = 0;
  journal->newSize = 0;
  journal->usedSize = header.usedSize;
  journal->blockCount = header.blockCount;
  sealEntry(journal, kKindClear);
  noteState(journal, kJournalClearing);
}

void journalFinish(StoreJournal* journal) {
  journalCountChange(journal);
  noteState(journal, kJournalIdle);
}

void journalCountChange(StoreJournal* journal) {
  __atomic_store_n(&journal->changes, journal->changes + 1, __ATOMIC_RELEASE);
}

uint32_t journalChanges(const StoreJournal* journal) {
  return journal == nullptr ? 0 : __atomic_load_n(&journal->changes, __ATOMIC_ACQUIRE);
}

JournalRepair journalRepair(StoreJournal* journal, unsigned char* base, int32_t segmentSize) {
  if (!journalPending(journal)) return JournalRepair::kNone;
  const PoolControl now = readControl(base);
  const bool showsBefore =
      now.usedSize == journal->usedSize && now.blockCount == journal->blockCount;
  const int64_t afterSize = int64_t{journal->usedSize} - journal->oldSize + journal->newSize;
  // An append adds a record, a removal (a replacement by nothing) takes one.
  // Wide: the journal is shared memory and its counts may be anything.
  int64_t afterCount = journal->blockCount;
  if (journal->state == kJournalAppending) afterCount += 1;
  if (journal->state != kJournalAppending && journal->newSize == 0) afterCount -= 1;
  const bool showsAfter = now.usedSize == afterSize && now.blockCount == afterCount;
  JournalRepair result = JournalRepair::kDropped;
  if (!plausible(journal, segmentSize)) {
    // Ours again from here on: the next store's entry is checked as usual.
    journal->magic = kJournalMagic;
    result = JournalRepair::kRefused;
  } else if (journal->state == kJournalClearing) {
    writeControl(base, 0, kHeaderSize);
    result = JournalRepair::kCompleted;
  } else if (journal->state == kJournalAppending) {
    // The header was the last thing written; it may be torn between its
    // two fields, so anything but the complete new header is undone.
    if (showsAfter) {
      result = JournalRepair::kCompleted;
    } else {
      writeControl(base, journal->blockCount, journal->usedSize);
      result = JournalRepair::kUndone;
    }
  } else if (showsBefore) {
    // Undo wins over a header that reads the same after the store (equal
    // sizes): the new record may be half written.
    if (journal->state == kJournalMoving) moveDown(journal, base);
    restoreOldRecord(journal, base);
    result = JournalRepair::kUndone;
  } else if (journal->state == kJournalMoved && showsAfter) {
    result = JournalRepair::kCompleted;
  }
  // Any other header was written by a process that does not keep the
  // journal: acting on it would undo that process's change.
  journalFinish(journal);
  return result;
}

}  // namespace kvpool
