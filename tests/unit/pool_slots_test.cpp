// The machine-wide limit of node contexts: when every user slot is taken, a
// further node creation waits, and goes on as soon as a node elsewhere is
// deleted.
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pool/KvPoolShm.h"
#include "pool_test_helpers.h"

namespace {

using namespace kvtest;

int slotWaiters(int set) {
  return semctl(set, 2, GETNCNT);
}

TEST(PoolSlotsTest, CreationBeyondTheLastFreeSlotWaitsUntilANodeIsDeleted) {
  resetPoolState();
  ASSERT_TRUE(attachNode());
  const int set = semget(KVPOOL_SEM_KEY, 0, 0);
  ASSERT_NE(set, -1);
  ASSERT_EQ(semctl(set, 2, GETVAL), KVPOOL_USER_SLOTS - 1);

  // Stands for 9999 more node contexts alive elsewhere on the machine.
  sembuf takeAll = {2, -(KVPOOL_USER_SLOTS - 1), 0};
  ASSERT_EQ(semop(set, &takeAll, 1), 0);
  ASSERT_EQ(semctl(set, 2, GETVAL), 0);

  const pid_t waiter = startChild([] {
    if (!attachNode()) return 1;
    return poolUsers == 1 ? 0 : 2;
  });
  // The child must be seen waiting on the slot semaphore, not finishing.
  int status = 0;
  while (slotWaiters(set) < 1) {
    ASSERT_EQ(waitpid(waiter, &status, WNOHANG), 0) << "creation did not wait for a slot";
    usleep(1000);
  }
  EXPECT_EQ(semctl(set, 2, GETVAL), 0);

  sembuf releaseOne = {2, +1, 0};
  ASSERT_EQ(semop(set, &releaseOne, 1), 0);
  EXPECT_EQ(waitChild(waiter), 0);
  // The child's slot went back when it exited (SEM_UNDO).
  EXPECT_EQ(semctl(set, 2, GETVAL), 1);

  detachKvPool();
  forgetPoolHandles();
  removePoolObjects();
}

}  // namespace
