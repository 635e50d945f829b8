// The steps every change of the live pool takes around the library's call:
// the checks before it, the bounded wait for the writer lock, kvpool's
// read-write mapping of the existing pool, and the check after it.
#ifndef KVPOOL_TOOLS_KVPOOL_POOLCHANGE_H
#define KVPOOL_TOOLS_KVPOOL_POOLCHANGE_H

#include <string>

#include "pool/PoolAccess.h"

namespace kvpooltool {

// Node contexts alive on the machine (0 when the set cannot be read).
int nodeContextsAlive(const kvpool::PoolIds& ids);

// Refuses a change (what, e.g. "set") of a missing pool or one without a
// semaphore set, warns on a leftover pool nothing keeps alive, and waits at
// most waitSeconds until the writer lock can be had. kExitDone to go on,
// else the failure's exit status, already reported.
int prepareChange(const kvpool::PoolIds& ids, const std::string& what, double waitSeconds);

// Maps the existing pool read-write, or says why not.
bool openForChange(const kvpool::PoolIds& ids, kvpool::OpenedPool* pool, std::string* why);

// After a change: was the pool removed by its last node context meanwhile?
void warnIfRemovedMeanwhile(int segment);

// The record a store makes of a key and a value of these lengths.
inline long long recordBytes(std::size_t keyBytes, std::size_t valueBytes) {
  return 12 + static_cast<long long>(keyBytes) + 1 + static_cast<long long>(valueBytes) + 1;
}

}  // namespace kvpooltool

#endif
