// The store journal: see StoreJournal.h for the protocol.
#include "pool/StoreJournal.h"

#include <algorithm>
#include <cstring>

namespace kvpool {

JournalStepHook journalStepHook = nullptr;

namespace {

constexpr uint32_t kJournalMagic = 0x4B564A31;  // "KVJ1"
constexpr int32_t kHeaderSize = sizeof(PoolControl);
// A chunk of the move never exceeds the replaced record (so it can be redone)
// nor this, so that progress is noted often on long moves.
constexpr int32_t kMaxChunk = 1 << 16;

// The journal's fields are noted in order: a process killed between two
// notes leaves the earlier ones in place. Only the compiler can reorder the
// stores of one thread as others see them after its death.
void note(int32_t& field, int32_t value) {
  __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}
void noteState(StoreJournal* journal, uint32_t state) {
  __atomic_store_n(&journal->state, state, __ATOMIC_RELEASE);
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

// Moves the bytes behind the replaced record down over it, from the noted
// progress on.
void moveDown(StoreJournal* journal, unsigned char* base) {
  const int32_t tail = journal->usedSize - journal->offset - journal->oldSize;
  const int32_t chunk = std::min(journal->oldSize, kMaxChunk);
  for (int32_t done = journal->moved; done < tail;) {
    const int32_t n = std::min(chunk, tail - done);
    std::memcpy(base + journal->offset + done, base + journal->offset + journal->oldSize + done,
                static_cast<std::size_t>(n));
    done += n;
    note(journal->moved, done);
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

// The recorded store fits the segment and the save area: a journal that
// does not is not ours to act on.
bool plausible(const StoreJournal* journal, int32_t segmentSize) {
  const int64_t used = journal->usedSize;
  if (used < kHeaderSize || used > segmentSize || journal->blockCount < 0 || journal->newSize < 0) {
    return false;
  }
  if (journal->state == kJournalAppending || journal->state == kJournalClearing) return true;
  return journal->oldSize > 0 && journal->oldSize <= journal->saveCapacity &&
         journal->offset >= kHeaderSize && int64_t{journal->offset} + journal->oldSize <= used &&
         journal->moved >= 0 && journal->moved <= used - journal->offset - journal->oldSize;
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

bool journalPending(const StoreJournal* journal) {
  return journal != nullptr && __atomic_load_n(&journal->state, __ATOMIC_ACQUIRE) != kJournalIdle;
}

void journalReplace(StoreJournal* journal, unsigned char* base, const PoolControl& header,
                    int32_t offset, int32_t oldSize, int32_t newSize) {
  std::memcpy(saveArea(journal), base + offset, static_cast<std::size_t>(oldSize));
  journal->offset = offset;
  journal->oldSize = oldSize;
  journal->newSize = newSize;
  journal->usedSize = header.usedSize;
  journal->blockCount = header.blockCount;
  journal->moved = 0;
  noteState(journal, kJournalMoving);
  journalStep(kStepSaved);
  moveDown(journal, base);
  noteState(journal, kJournalMoved);
  journalStep(kStepMoved);
}

void journalAppend(StoreJournal* journal, const PoolControl& header, int32_t newSize) {
  journal->offset = header.usedSize;
  journal->oldSize = 0;
  journal->newSize = newSize;
  journal->usedSize = header.usedSize;
  journal->blockCount = header.blockCount;
  journal->moved = 0;
  noteState(journal, kJournalAppending);
}

void journalClear(StoreJournal* journal, const PoolControl& header) {
  journal->offset = kHeaderSize;
  journal->oldSize = 0;
  journal->newSize = 0;
  journal->usedSize = header.usedSize;
  journal->blockCount = header.blockCount;
  journal->moved = 0;
  noteState(journal, kJournalClearing);
}

void journalFinish(StoreJournal* journal) {
  __atomic_store_n(&journal->changes, journal->changes + 1, __ATOMIC_RELEASE);
  noteState(journal, kJournalIdle);
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
    result = JournalRepair::kDropped;
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
