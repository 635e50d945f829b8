// The machine-wide user slots on semaphore 2 of the pool's set: a node
// context holds one while it lives, and the machine's last one removes the
// pool (pool/PoolSlots.cpp). Internal to pool/; the callers hold the
// process's pool mutex (pool/ProcessPool.cpp).
#ifndef KVPOOL_POOL_POOLSLOTS_H
#define KVPOOL_POOL_POOLSLOTS_H

namespace kvpool {

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
