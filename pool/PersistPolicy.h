// KVPOOL_PERSIST across a pool's life and across brokers set up differently.
// The pool records, in its journal's flags, which file its creator had (a tag
// of the path) and whether it was loaded from that file, so that its last
// node may save over it. A process whose setting differs from the pool's is
// warned when it joins and leaves (event 21); the machine's last node saves
// a pool some setting says to keep, or keeps it in memory and says why
// (event 19): it never removes such a pool unsaved. Internal to pool/.
#ifndef KVPOOL_POOL_PERSISTPOLICY_H
#define KVPOOL_POOL_PERSISTPOLICY_H

#include <cstdint>
#include <string>

#include "pool/PoolAccess.h"

namespace kvpool {

struct StoreJournal;

// At node creation: KVPOOL_PERSIST's folder exists, is a folder, and this
// process may make files in it; false with *problem (event 17's insert).
bool checkPersistFolder(const std::string& path, std::string* problem);

// The tag the pool keeps of a KVPOOL_PERSIST path (never 0); 0 for none.
uint32_t persistPathTag(const char* path);
// What the journal records (a pool without one records nothing).
PoolPersistFacts readPersistFacts(const StoreJournal* journal);

// The creator, under the writer lock: its file (path, null for none), and
// whether the pool now holds that file's records (it was loaded, or there
// was no file): then its last node saves over it. What a journal left by an
// older pool recorded goes.
void recordPoolFile(StoreJournal* journal, const char* path, bool loadedFromIt);
// After a save to this process's KVPOOL_PERSIST file or a load from it: the
// file and the pool hold the same records. A pool created with that file, or
// one its last node kept in memory unsaved, becomes the file's: its last node
// saves over it, and the mark of the kept pool goes.
void adoptPoolFile(const PoolView& pool);

// Event 21 when this process's KVPOOL_PERSIST differs from the pool's
// creator's, as it joins the pool or leaves it.
void warnPersistSettingDiffers(bool joined);

// The machine's last node context, under the writer lock: true when the pool
// may be removed (saved first when a setting says to keep it); false when it
// stays in memory, its reason recorded and logged (event 19).
bool persistBeforeRemoval(const PoolView& pool);

// Why the last node kept a pool in memory, as a sentence; empty for kNot.
std::string describeKept(PoolKept kept);

}  // namespace kvpool

#endif
