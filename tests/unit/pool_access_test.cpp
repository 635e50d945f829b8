// The pool as a tool reaches it: an existing pool opened without creating or
// joining it, changes through it seen by the node's own calls, and quiet
// locks that count on the semaphores but leave the trace alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool_test_helpers.h"
#include "support/test_files.h"

namespace {

using kvpool::LockTrace;
using kvpool::OpenedPool;
using kvpool::PoolSemaphoreValues;
using namespace kvtest;

class PoolAccessTest : public ::testing::Test {
 protected:
  void SetUp() override { resetPoolState(); }
  void TearDown() override {
    forgetPoolHandles();
    removePoolObjects();
  }
};

TEST_F(PoolAccessTest, WithoutAPoolNothingIsFoundOpenedOrCreated) {
  const kvpool::PoolIds ids = kvpool::findPoolIds();
  EXPECT_FALSE(ids.exists());
  EXPECT_EQ(ids.semaphores, -1);
  OpenedPool pool;
  EXPECT_FALSE(pool.open(ids, OpenedPool::Mode::kReadWrite));
  EXPECT_EQ(pool.failure(), OpenedPool::Failure::kLookAtSegment);
  EXPECT_EQ(pool.foundStatus().bytes, 0u);
  EXPECT_EQ(pool.view().base, nullptr);
  PoolSemaphoreValues values;
  EXPECT_FALSE(kvpool::readPoolSemaphores(ids.semaphores, &values));
  EXPECT_FALSE(kvpool::findPoolIds().exists());
  EXPECT_EQ(semget(KVPOOL_SEM_KEY, 0, 0), -1);
}

TEST_F(PoolAccessTest, OpenedPoolSharesTheNodesPoolWithoutItsSlotOrItsHandles) {
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolA", "from the node"), KVPOOL_OK);
  void* const nodeView = hKvMemView;
  const kvpool::PoolIds ids = kvpool::findPoolIds();
  ASSERT_EQ(ids.segment, hKvMem);
  ASSERT_EQ(ids.semaphores, hSemaphore);
  {
    OpenedPool pool;
    ASSERT_TRUE(pool.open(ids, OpenedPool::Mode::kReadWrite));
    EXPECT_EQ(pool.foundStatus().attachedProcesses, 1u) << "found before its own mapping";
    EXPECT_EQ(pool.foundStatus().bytes, 4096u);
    EXPECT_EQ(pool.pages(), 1);
    EXPECT_EQ(pool.view().capacity, 4096);
    EXPECT_NE(pool.view().base, nodeView);

    PoolBlockRequest request{};
    ASSERT_EQ(kvpool::getPoolValue(pool.view(), &request, "KvPoolA"), KVPOOL_OK);
    EXPECT_STREQ(request.value, "from the node");
    std::free(request.value);
    std::string key = "KvPoolB", value = "from the tool";
    request = {};
    request.key = key.data();
    request.value = value.data();
    EXPECT_EQ(kvpool::storePoolValue(pool.view(), &request), KVPOOL_OK);
    EXPECT_EQ(pool.header().blockCount, 2);

    PoolSemaphoreValues values;
    ASSERT_TRUE(kvpool::readPoolSemaphores(ids.semaphores, &values));
    EXPECT_EQ(values.nodeContexts(), 1);
  }
  EXPECT_EQ(hKvMemView, nodeView);
  EXPECT_EQ(getValue("KvPoolB"), "from the tool");
  // The node was the pool's only user: the tool kept nothing alive.
  detachKvPool();
  EXPECT_FALSE(kvpool::findPoolIds().exists());
}

TEST_F(PoolAccessTest, LocksCountOnTheSemaphoresAndOnlyTracedOnesWriteTheTrace) {
  ASSERT_TRUE(attachNode());
  const int set = hSemaphore;
  const std::size_t traceBefore = readFile(kTracePath).size();
  PoolSemaphoreValues values;
  {
    kvpool::PoolWriteLock lock(set, LockTrace::kQuiet);
    ASSERT_TRUE(lock.held());
    ASSERT_TRUE(kvpool::readPoolSemaphores(set, &values));
    EXPECT_EQ(values.writer, 1);
    EXPECT_EQ(values.readers, 0);
  }
  {
    kvpool::PoolReadLock lock(set, LockTrace::kQuiet);
    ASSERT_TRUE(kvpool::readPoolSemaphores(set, &values));
    EXPECT_EQ(values.writer, 0);
    EXPECT_EQ(values.readers, 1);
  }
  EXPECT_EQ(readFile(kTracePath).size(), traceBefore);
  { kvpool::PoolReadLock lock(set); }
  EXPECT_EQ(readFile(kTracePath).substr(traceBefore), "-->sem_RLock\n-->sem_RUnLock\n");

  kvpool::PoolWriteLock noSet(-1, LockTrace::kQuiet);
  EXPECT_FALSE(noSet.held());
  EXPECT_EQ(noSet.error(), EINVAL);
  detachKvPool();
}

TEST_F(PoolAccessTest, BoundedWaitRunsOutBehindAHolderAndTellsARemovedSet) {
  ASSERT_TRUE(attachNode());
  const int set = hSemaphore;
  struct Case {
    bool writerHolds;
    bool writerWaits;
    bool held;
  } cases[] = {
      {true, true, false}, {true, false, false}, {false, true, false}, {false, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.writerHolds ? "writer holds, " : "reader holds, ") +
                 (c.writerWaits ? "writer waits" : "reader waits"));
    c.writerHolds ? sem_WLock() : sem_RLock();
    bool held = false, timedOut = false;
    if (c.writerWaits) {
      kvpool::PoolWriteLock lock(set, 0.05, LockTrace::kQuiet);
      held = lock.held(), timedOut = lock.timedOut();
    } else {
      kvpool::PoolReadLock lock(set, 0.05, LockTrace::kQuiet);
      held = lock.held(), timedOut = lock.timedOut();
    }
    EXPECT_EQ(held, c.held);
    EXPECT_EQ(timedOut, !c.held);
    c.writerHolds ? sem_WUnLock() : sem_RUnLock();
  }

  // Signals all through the wait only shorten it: it still ends at its
  // deadline, timed out (a wait begun anew per signal would never end).
  sem_WLock();
  EXPECT_EQ(runChild([set] {
              struct sigaction action {};
              action.sa_handler = [](int) {
                static int count = 0;
                if (++count == 1000) _exit(3);  // 20 s of signals: the wait never ended
              };
              sigaction(SIGALRM, &action, nullptr);  // no SA_RESTART: EINTR
              const itimerval every20ms{{0, 20000}, {0, 20000}};
              setitimer(ITIMER_REAL, &every20ms, nullptr);
              kvpool::PoolReadLock lock(set, 0.3, LockTrace::kQuiet);
              return lock.timedOut() ? 0 : 1;
            }),
            0);
  sem_WUnLock();

  ASSERT_TRUE(kvpool::removePoolSemaphores(set));
  kvpool::PoolWriteLock gone(set, 0.05, LockTrace::kQuiet);
  EXPECT_FALSE(gone.held());
  EXPECT_TRUE(gone.removed());
  EXPECT_FALSE(gone.timedOut());
  forgetPoolHandles();
}

TEST_F(PoolAccessTest, BatchStoreTakesTheLockOnceAndStopsAtTheFirstPairThatDoesNotFit) {
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolA", "old"), KVPOOL_OK);
  ASSERT_EQ(storeValue("KvPoolB", "b"), KVPOOL_OK);
  OpenedPool pool;
  ASSERT_TRUE(pool.open(kvpool::findPoolIds(), OpenedPool::Mode::kReadWrite));
  const std::size_t traceBefore = readFile(kTracePath).size();
  // A replaced key moves to the end and the records behind it move down; the
  // batch must still find each later key where it now is.
  const std::vector<kvpool::StorePair> pairs = {{"KvPoolA", "new"},
                                                {"KvPoolC", "c"},
                                                {"KvPoolB", "bb"},
                                                {"KvPoolA", "newer"},
                                                {"KvPoolD", std::string(4000, 'x')},
                                                {"KvPoolE", "never"}};
  std::size_t stored = 0;
  EXPECT_EQ(kvpool::storePoolValues(pool.view(), pairs, &stored), KVPOOL_POOL_FULL);
  EXPECT_EQ(stored, 4u);
  const std::string trace = readFile(kTracePath).substr(traceBefore);
  std::size_t locks = 0;
  for (std::size_t at = trace.find("-->sem_WLock"); at != std::string::npos;
       at = trace.find("-->sem_WLock", at + 1)) {
    ++locks;
  }
  EXPECT_EQ(locks, 1u) << trace;
  EXPECT_EQ(poolHeader().blockCount, 3);
  EXPECT_EQ(getValue("KvPoolA"), "newer");
  EXPECT_EQ(getValue("KvPoolB"), "bb");
  EXPECT_EQ(getValue("KvPoolC"), "c");
  EXPECT_EQ(getValue("KvPoolD"), std::nullopt);
  // The chain order shows the moves: C, B, A.
  const PoolControl header = poolHeader();
  const auto* base = static_cast<const unsigned char*>(hKvMemView);
  std::string order;
  for (int32_t offset = 12, i = 0; i < header.blockCount; ++i) {
    PoolBlock block{};
    std::memcpy(&block, base + offset, sizeof block);
    order += reinterpret_cast<const char*>(base + offset + sizeof block)[6];
    offset += block.blockSize;
  }
  EXPECT_EQ(order, "CBA");
  detachKvPool();
}

}  // namespace
