// The pool's system objects between real processes: creation and removal,
// user slots, KVPOOL_MEMORY_PAGES, the reader/writer lock, and the races and
// failures around them.
#include <dlfcn.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "node/KvPool.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolRecords.h"
#include "pool_test_helpers.h"
#include "support/test_files.h"

// Simulated rivals: when armed, the next creating call first makes the object
// itself, as another process that wins the race between lookup and creation.
namespace {
bool rivalCreatesSegment = false;
bool rivalCreatesSet = false;
bool rivalSetsSlots = true;
// Node joins before which a rival, as the machine's last node context,
// removes the pool.
int rivalRemovesPool = 0;
}  // namespace

extern "C" int shmget(key_t key, size_t size, int flags) {
  using Fn = int (*)(key_t, size_t, int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "shmget"));
  if (rivalCreatesSegment && (flags & IPC_CREAT) != 0) {
    rivalCreatesSegment = false;
    const int id = real(key, size, IPC_CREAT | IPC_EXCL | 0666);
    void* view = shmat(id, nullptr, 0);
    const PoolControl header = {static_cast<int32_t>(size), 0, 12};
    std::memcpy(view, &header, sizeof header);
    shmdt(view);
  }
  return real(key, size, flags);
}

extern "C" int semget(key_t key, int count, int flags) {
  using Fn = int (*)(key_t, int, int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "semget"));
  if (rivalCreatesSet && (flags & IPC_CREAT) != 0) {
    rivalCreatesSet = false;
    const int id = real(key, count, IPC_CREAT | IPC_EXCL | 0666);
    if (rivalSetsSlots) semctl(id, 2, SETVAL, KVPOOL_USER_SLOTS);
  }
  return real(key, count, flags);
}

// A node's join: one list waiting for no writer, then taking slots.
extern "C" int semop(int set, sembuf* ops, size_t count) {
  using Fn = int (*)(int, sembuf*, size_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "semop"));
  if (rivalRemovesPool > 0 && count == 2 && ops[1].sem_num == 2 && ops[1].sem_op < 0) {
    --rivalRemovesPool;
    shmctl(shmget(KVPOOL_SHM_KEY, 0, 0), IPC_RMID, nullptr);
    semctl(set, 0, IPC_RMID);
  }
  return real(set, ops, count);
}

namespace {

using namespace kvtest;

int semValue(int number) {
  const int set = semget(KVPOOL_SEM_KEY, 0, 0);
  return set == -1 ? -1 : semctl(set, number, GETVAL);
}

bool segmentExists() {
  return shmget(KVPOOL_SHM_KEY, 0, 0) != -1;
}
bool semaphoreSetExists() {
  return semget(KVPOOL_SEM_KEY, 0, 0) != -1;
}

size_t segmentSize() {
  shmid_ds status{};
  if (shmctl(shmget(KVPOOL_SHM_KEY, 0, 0), IPC_STAT, &status) != 0) return 0;
  return status.shm_segsz;
}

// One byte at a time between parent and child.
class Channel {
 public:
  Channel() {
    if (pipe(fds_) != 0) std::abort();
  }
  ~Channel() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void send(char byte = 'x') const {
    if (write(fds_[1], &byte, 1) != 1) std::abort();
  }
  char receive() const {
    char byte = 0;
    while (read(fds_[0], &byte, 1) == -1 && errno == EINTR) {
    }
    return byte;
  }

 private:
  int fds_[2];
};

// Waits until some process sleeps in semop waiting for semaphore `number` to
// become zero.
void awaitZeroWaiter(int number) {
  const int set = semget(KVPOOL_SEM_KEY, 0, 0);
  while (semctl(set, number, GETZCNT) < 1) usleep(1000);
}

class PoolSegmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetPoolState();
    traceStart_ = readFile(kTracePath).size();
  }
  void TearDown() override {
    forgetPoolHandles();
    removePoolObjects();
  }
  std::string traceSinceStart() const { return readFile(kTracePath).substr(traceStart_); }
  std::vector<kvbroker::EventRecord> eventsNumbered(int number) const {
    std::vector<kvbroker::EventRecord> found;
    for (const auto& event : broker_.events()) {
      if (event.messageNumber == number) found.push_back(event);
    }
    return found;
  }

  kvbroker::Broker broker_;

 private:
  size_t traceStart_ = 0;
};

TEST_F(PoolSegmentTest, FirstNodeCreatesThePoolAndTheLastNodeRemovesIt) {
  ASSERT_TRUE(attachNode());
  const auto created = eventsNumbered(12);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].type, CCI_LOG_INFORMATION);
  EXPECT_EQ(created[0].file, "KvPool");
  EXPECT_EQ(created[0].line, 1309);
  EXPECT_EQ(created[0].function, "initHandleOfKvPool");
  EXPECT_EQ(created[0].messageSource, u"VTRL-KvPool");
  EXPECT_EQ(created[0].traceText, "Vantrel2");
  EXPECT_EQ(created[0].inserts, std::vector<std::string>{"1"});
  EXPECT_EQ(segmentSize(), 4096u);
  const PoolControl header = poolHeader();
  EXPECT_EQ(header.totalSize, 4096);
  EXPECT_EQ(header.blockCount, 0);
  EXPECT_EQ(header.usedSize, 12);
  EXPECT_EQ(semValue(2), 9999);
  EXPECT_EQ(poolUsers, 1);

  void* const view = hKvMemView;
  ASSERT_TRUE(attachNode());
  EXPECT_EQ(hKvMemView, view) << "the segment is mapped once per process";
  EXPECT_EQ(eventsNumbered(12).size(), 1u);
  EXPECT_EQ(semValue(2), 9998);
  EXPECT_EQ(poolUsers, 2);

  detachKvPool();
  EXPECT_TRUE(segmentExists());
  detachKvPool();
  EXPECT_FALSE(segmentExists());
  EXPECT_FALSE(semaphoreSetExists());
  EXPECT_EQ(hKvMem, -1);
  EXPECT_EQ(hKvMemView, nullptr);
  EXPECT_EQ(hSemaphore, -1);
  const std::string trace = traceSinceStart();
  const size_t last = trace.find("  semPoolUsers 1\n");
  ASSERT_NE(last, std::string::npos) << trace;
  const size_t unmapped = trace.find("  closeHandleOfKvPoolView .. hKvMemView=NULL\n", last);
  const size_t removed = trace.find("  >> Shared Memory Segment Deleted<<\n", unmapped);
  const size_t setRemoved = trace.find("  >> Semaphore Deleted <<\n", removed);
  EXPECT_NE(unmapped, std::string::npos);
  EXPECT_NE(removed, std::string::npos);
  EXPECT_NE(setRemoved, std::string::npos);
}

TEST_F(PoolSegmentTest, MemoryPagesComeFromTheEnvironmentWithinOneToFiveThousand) {
  struct Case {
    const char* text;  // null: unset
    int pages;
  };
  const Case cases[] = {
      {nullptr, 1},
      {"0", 1},
      {"-3", 1},
      {"5001", 1},
      {"letters", 1},
      {"99999999999999999999", 1},
      {"5000", 5000},
      {"12abc", 12},
      {" 7", 7},
      {"00000000000000000000012", 12},   // 23 characters: taken
      {"000000000000000000000123", 1},   // 24 characters: rejected, not cut to 12
      {"0000000000000000000000007", 1},  // 25 characters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "(unset)" : c.text);
    noOfPoolPages = 1;
    if (c.text == nullptr) {
      unsetenv("KVPOOL_MEMORY_PAGES");
    } else {
      setenv("KVPOOL_MEMORY_PAGES", c.text, 1);
    }
    const size_t before = readFile(kTracePath).size();
    ASSERT_TRUE(attachNode());
    EXPECT_EQ(noOfPoolPages, c.pages);
    EXPECT_EQ(segmentSize(), static_cast<size_t>(c.pages) * 4096);
    EXPECT_EQ(poolHeader().totalSize, c.pages * 4096);
    const std::string trace = readFile(kTracePath).substr(before);
    if (c.text == nullptr) {
      EXPECT_EQ(trace.find("KVPOOL_MEMORY_PAGES"), std::string::npos);
    } else {
      EXPECT_NE(trace.find("  KVPOOL_MEMORY_PAGES " + std::string(c.text) + " " +
                           std::to_string(c.pages) + "\n"),
                std::string::npos)
          << trace;
    }
    detachKvPool();
    ASSERT_FALSE(segmentExists());
  }
}

TEST_F(PoolSegmentTest, ProcessesShareOnePoolWhileAnyNodeLives) {
  ASSERT_TRUE(attachNode());
  constexpr int kChildren = 4;
  constexpr int kRounds = 50;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    children.push_back(startChild([c] {
      if (!attachNode()) return 10;
      for (int round = 0; round < kRounds; ++round) {
        const std::string own = "KvPoolChild" + std::to_string(c);
        if (storeValue(own, std::to_string(round)) != KVPOOL_OK) return 11;
        if (storeValue("KvPoolShared", own) != KVPOOL_OK) return 12;
        if (getValue(own) != std::to_string(round)) return 13;
      }
      detachKvPool();
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(waitChild(child), 0);

  for (int c = 0; c < kChildren; ++c) {
    EXPECT_EQ(getValue("KvPoolChild" + std::to_string(c)), std::to_string(kRounds - 1));
  }
  EXPECT_TRUE(getValue("KvPoolShared").has_value());
  const PoolControl header = poolHeader();
  EXPECT_EQ(header.blockCount, kChildren + 1);
  EXPECT_EQ(kvpool::findPoolImageDamage(static_cast<const unsigned char*>(hKvMemView),
                                        getKvPoolSegmentSize()),
            -1);
  EXPECT_EQ(semValue(2), 9999) << "every child gave its slot back";
  EXPECT_EQ(semValue(0), 0);
  EXPECT_EQ(semValue(1), 0);
}

TEST_F(PoolSegmentTest, ProcessesThatExitWithoutDeletingLeaveThePoolForTheNext) {
  EXPECT_EQ(runChild([] {
              if (!attachNode() || !attachNode()) return 10;
              return storeValue("KvPoolKept", "yes") == KVPOOL_OK ? 0 : 11;
            }),
            0);
  EXPECT_EQ(semValue(2), 10000) << "the system gave the slots back";
  EXPECT_TRUE(segmentExists());
  ASSERT_TRUE(attachNode());
  EXPECT_EQ(eventsNumbered(12).size(), 0u) << "the pool was found, not created";
  EXPECT_EQ(getValue("KvPoolKept"), "yes");
}

TEST_F(PoolSegmentTest, PoolRemovedBehindARetainedMappingIsLookedUpAgain) {
  ASSERT_TRUE(attachNode());
  ASSERT_TRUE(storeValue("KvPoolOld", "old") == KVPOOL_OK);
  Channel toChild, toParent;
  const pid_t other = startChild([&] {
    if (!attachNode()) return 10;
    toParent.send();
    toChild.receive();  // the parent's last node has left
    detachKvPool();     // the last node on the machine: the pool goes
    return segmentExists() ? 11 : 0;
  });
  toParent.receive();
  detachKvPool();
  EXPECT_NE(hKvMemView, nullptr) << "another process still uses the pool";
  toChild.send();
  ASSERT_EQ(waitChild(other), 0);

  Channel ready, done, reply;
  const pid_t creator = startChild([&] {
    if (!attachNode() || storeValue("KvPoolNew", "new") != KVPOOL_OK) return 10;
    ready.send();
    done.receive();
    const auto fromParent = getValue("KvPoolFromParent");
    reply.send(fromParent == "parent" ? 'y' : 'n');
    detachKvPool();
    return 0;
  });
  ready.receive();
  ASSERT_TRUE(attachNode());
  EXPECT_EQ(getValue("KvPoolNew"), "new");
  EXPECT_EQ(getValue("KvPoolOld"), std::nullopt);
  EXPECT_EQ(storeValue("KvPoolFromParent", "parent"), KVPOOL_OK);
  done.send();
  EXPECT_EQ(reply.receive(), 'y') << "the other process sees this store";
  EXPECT_EQ(waitChild(creator), 0);
  EXPECT_EQ(semValue(2), 9999);
}

TEST_F(PoolSegmentTest, ProcessKilledWhileHoldingALockGivesItBack) {
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolBefore", "1"), KVPOOL_OK);
  for (const bool writer : {true, false}) {
    SCOPED_TRACE(writer ? "writer" : "reader");
    Channel locked;
    const pid_t holder = startChild([&] {
      if (!attachNode()) return 10;
      writer ? sem_WLock() : sem_RLock();
      locked.send();
      pause();
      return 0;
    });
    locked.receive();
    EXPECT_EQ(semValue(writer ? 0 : 1), 1);
    kill(holder, SIGKILL);
    EXPECT_EQ(waitChild(holder), 128 + SIGKILL);
    ASSERT_EQ(semValue(0), 0);
    ASSERT_EQ(semValue(1), 0);
    EXPECT_EQ(semValue(2), 9999) << "its user slot came back too";
    EXPECT_EQ(storeValue("KvPoolAfter", writer ? "w" : "r"), KVPOOL_OK);
    EXPECT_EQ(getValue("KvPoolBefore"), "1");
  }
}

void noteSignal(int) {}

TEST_F(PoolSegmentTest, LockWaitInterruptedBySignalIsResumedAndReturnsHoldingTheLock) {
  ASSERT_TRUE(attachNode());
  for (const bool writer : {true, false}) {
    SCOPED_TRACE(writer ? "writer waits" : "reader waits");
    Channel attached, go, result;
    const pid_t waiter = startChild([&] {
      struct sigaction action {};
      action.sa_handler = noteSignal;  // no SA_RESTART: semop returns EINTR
      sigaction(SIGUSR1, &action, nullptr);
      // A node first: node creation itself waits while a writer holds the lock.
      if (!attachNode()) return 10;
      attached.send();
      go.receive();
      writer ? sem_WLock() : sem_RLock();
      // Holding the lock now: the writer flag or the reader count shows it.
      const bool held = semValue(writer ? 0 : 1) == 1;
      result.send(held ? 'y' : 'n');
      if (held) writer ? sem_WUnLock() : sem_RUnLock();
      detachKvPool();
      return 0;
    });
    attached.receive();
    sem_WLock();
    go.send();
    awaitZeroWaiter(0);
    for (int i = 0; i < 3; ++i) {
      kill(waiter, SIGUSR1);
      usleep(20000);
    }
    sem_WUnLock();
    EXPECT_EQ(result.receive(), 'y');
    EXPECT_EQ(waitChild(waiter), 0);
  }
}

TEST_F(PoolSegmentTest, SetWhoseCreatorDiedBeforeSettingSlotsDoesNotBlockNodeCreation) {
  // The creator got as far as creating the set and died.
  ASSERT_EQ(runChild([] { return semget(KVPOOL_SEM_KEY, 3, IPC_CREAT | IPC_EXCL | 0666) == -1; }),
            0);
  ASSERT_EQ(semValue(2), 0);
  const int status = runChild([] {
    alarm(30);  // a creation that waits forever ends here
    if (!attachNode()) return 10;
    return semValue(2) == 9999 ? 0 : 11;
  });
  EXPECT_EQ(status, 0) << (status == 128 + SIGALRM ? "node creation waited forever" : "");
  EXPECT_EQ(semValue(2), 10000);
}

TEST_F(PoolSegmentTest, LosingTheRaceToCreateUsesTheWinnersObjects) {
  rivalCreatesSet = true;
  rivalCreatesSegment = true;
  ASSERT_TRUE(attachNode());
  EXPECT_FALSE(rivalCreatesSet);
  EXPECT_FALSE(rivalCreatesSegment);
  EXPECT_NE(hSemaphore, -1);
  EXPECT_EQ(hSemaphore, semget(KVPOOL_SEM_KEY, 0, 0));
  EXPECT_EQ(hKvMem, shmget(KVPOOL_SHM_KEY, 0, 0));
  EXPECT_EQ(semValue(2), 9999);
  EXPECT_EQ(storeValue("KvPoolRace", "won"), KVPOOL_OK);
  EXPECT_EQ(getValue("KvPoolRace"), "won");
  EXPECT_EQ(traceSinceStart().find("semget() failed"), std::string::npos);
}

TEST_F(PoolSegmentTest, RivalThatCreatedTheSetButNeverSetItUpIsTakenOver) {
  rivalCreatesSet = true;
  rivalSetsSlots = false;
  ASSERT_TRUE(attachNode());
  rivalSetsSlots = true;
  EXPECT_EQ(semValue(2), 9999);
}

TEST_F(PoolSegmentTest, SegmentThatWasNeverInitialisedIsAnEmptyPoolAndStaysUsable) {
  // Another process created the segment and has not written its header yet.
  ASSERT_NE(shmget(KVPOOL_SHM_KEY, 4096, IPC_CREAT | IPC_EXCL | 0666), -1);
  ASSERT_TRUE(attachNode());
  EXPECT_EQ(poolHeader().usedSize, 0);
  EXPECT_EQ(getValue("KvPoolKey"), std::nullopt);
  ASSERT_EQ(storeValue("KvPoolKey", "v"), KVPOOL_OK);
  PoolControl header = poolHeader();
  EXPECT_EQ(header.blockCount, 1);
  EXPECT_EQ(header.usedSize, 12 + 12 + 10 + 2) << "the record went behind the header";
  PoolBlock record{};
  std::memcpy(&record, static_cast<char*>(hKvMemView) + 12, sizeof record);
  EXPECT_EQ(record.blockSize, 24);
  // The creator now gets to write its empty header: the stored record stays.
  initKvPoolMemory();
  EXPECT_EQ(getValue("KvPoolKey"), "v");
  header = poolHeader();
  EXPECT_EQ(header.blockCount, 1);
}

TEST_F(PoolSegmentTest, SegmentThatCannotBeCreatedFailsNodeCreationWithEvent9) {
  const std::string oldLimit = readFile("/proc/sys/kernel/shmmax");
  const auto setLimit = [](const std::string& value) {
    std::ofstream("/proc/sys/kernel/shmmax") << value;
  };
  setLimit("8192");
  struct Restore {
    std::function<void()> undo;
    ~Restore() { undo(); }
  } restore{[&] { setLimit(oldLimit); }};
  if (readFile("/proc/sys/kernel/shmmax") != "8192\n") GTEST_SKIP() << "shmmax not settable";
  setenv("KVPOOL_MEMORY_PAGES", "5000", 1);
  EXPECT_NE(attachKvPool(), 0);
  const auto created = eventsNumbered(12);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].inserts, std::vector<std::string>{"5000"});
  const auto failed = eventsNumbered(9);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].type, CCI_LOG_ERROR);
  EXPECT_EQ(failed[0].line, 414);
  EXPECT_EQ(failed[0].function, "createNodeContext");
  const std::string trace = traceSinceStart();
  EXPECT_NE(trace.find("  >initHandleOfKvPoolView: shmat() failed\n"), std::string::npos);
  EXPECT_NE(trace.find("  hKvMem or hKvMemView is NULL\n"), std::string::npos);
  EXPECT_EQ(semValue(2), 10000) << "no user slot was taken";
}

// The remover's pause, between its decision and the removal.
Channel* removalDecided = nullptr;
Channel* removalGo = nullptr;

// Waits until some process waits for semaphore `number` of the set to be
// zero; false when none does within ten seconds.
bool zeroWaiterWithin10s(int set, int number) {
  for (int tries = 0; tries < 10000; ++tries) {
    if (semctl(set, number, GETZCNT) >= 1) return true;
    usleep(1000);
  }
  return false;
}

// The machine's last node context has decided to remove the pool when
// another process creates a node: the creation waits for the removal, then
// makes the next pool, which a third process finds with the new node's store.
TEST_F(PoolSegmentTest, NodeCreatedWhileTheLastNodeRemovesThePoolJoinsAPoolOthersFind) {
  Channel decided, go, stored, finish;
  removalDecided = &decided;
  removalGo = &go;
  const pid_t remover = startChild([] {
    if (!attachNode()) return 10;
    kvpool::poolRemovalHook = [] {
      removalDecided->send();
      removalGo->receive();
    };
    detachKvPool();
    return 0;
  });
  decided.receive();
  const int oldSet = semget(KVPOOL_SEM_KEY, 0, 0);
  const pid_t joiner = startChild([&] {
    const bool joined =
        attachNode() && storeValue("KvPoolJoined", "yes") == KVPOOL_OK && hSemaphore != oldSet;
    stored.send(joined ? 'y' : 'n');
    finish.receive();
    if (joined) detachKvPool();
    return joined ? 0 : 10;
  });
  EXPECT_TRUE(zeroWaiterWithin10s(oldSet, 0)) << "the creation did not wait for the remover";
  go.send();
  EXPECT_EQ(waitChild(remover), 0);
  if (stored.receive() != 'y') {
    finish.send();
    waitChild(joiner);
    FAIL() << "the new node did not store into a live pool";
  }

  ASSERT_TRUE(attachNode());
  EXPECT_EQ(getValue("KvPoolJoined"), "yes") << "a third process sees the new node's store";
  EXPECT_EQ(hSemaphore, semget(KVPOOL_SEM_KEY, 0, 0));
  EXPECT_EQ(hKvMem, shmget(KVPOOL_SHM_KEY, 0, 0));
  EXPECT_EQ(semValue(2), 9998);
  finish.send();
  EXPECT_EQ(waitChild(joiner), 0);
  EXPECT_NE(traceSinceStart().find("  createNodeContext: the pool was removed meanwhile, "
                                   "looking it up again\n"),
            std::string::npos);
}

// A rival removes the pool right before the join, once or at every attempt.
TEST_F(PoolSegmentTest, JoinWhoseSetWasRemovedLooksThePoolUpAgainAFewTimes) {
  initNodeConstants();
  ASSERT_NE(vtrGetMessageflowNodeFactory(), nullptr);
  struct Case {
    int removals;
    bool created;
  };
  for (const Case& c : {Case{1, true}, Case{2, true}, Case{5, false}}) {
    SCOPED_TRACE(c.removals);
    broker_.clearEvents();
    rivalRemovesPool = c.removals;
    if (c.created) {
      kvbroker::Node& node = broker_.createNode("KvPoolNode", "n");
      EXPECT_EQ(poolUsers, 1);
      EXPECT_EQ(hSemaphore, semget(KVPOOL_SEM_KEY, 0, 0));
      EXPECT_EQ(hKvMem, shmget(KVPOOL_SHM_KEY, 0, 0));
      EXPECT_EQ(semValue(2), 9999);
      EXPECT_EQ(storeValue("KvPoolAfter", "1"), KVPOOL_OK);
      broker_.deleteNode(node);
      EXPECT_FALSE(segmentExists());
      continue;
    }
    try {
      broker_.createNode("KvPoolNode", "refused");
      ADD_FAILURE() << "creation was not refused";
    } catch (const kvbroker::CallbackRefused& refused) {
      EXPECT_EQ(refused.record().messageNumber, 9);
      EXPECT_EQ(refused.record().line, 415);
    }
    EXPECT_EQ(eventsNumbered(9).size(), 1u);
    EXPECT_EQ(poolUsers, 0) << "nothing counted";
    EXPECT_FALSE(segmentExists()) << "no pool made that nobody uses";
    EXPECT_FALSE(semaphoreSetExists());
    EXPECT_NE(traceSinceStart().find("  >>createNodeContext: semop() failed\n"), std::string::npos);
  }
  rivalRemovesPool = 0;
}

// Without its set a pool cannot be locked: node creation fails before a
// segment is made.
TEST_F(PoolSegmentTest, PoolWhoseSetCannotBeMadeIsNotCreated) {
  const std::string oldLimits = readFile("/proc/sys/kernel/sem");
  const auto setLimits = [](const std::string& value) {
    std::ofstream("/proc/sys/kernel/sem") << value;
  };
  setLimits("250 32000 32 0");  // no semaphore sets at all
  struct Restore {
    std::function<void()> undo;
    ~Restore() { undo(); }
  } restore{[&] { setLimits(oldLimits); }};
  if (readFile("/proc/sys/kernel/sem").find("\t0\n") == std::string::npos) {
    GTEST_SKIP() << "semaphore limits not settable";
  }
  EXPECT_NE(attachKvPool(), 0);
  EXPECT_FALSE(segmentExists());
  EXPECT_EQ(hKvMemView, nullptr);
  EXPECT_EQ(eventsNumbered(9).size(), 1u);
  EXPECT_EQ(eventsNumbered(12).size(), 0u);
  EXPECT_NE(traceSinceStart().find("  >initHandleOfKvPool: no semaphore set, the pool cannot be "
                                   "locked\n"),
            std::string::npos);
}

// An operator removes the pool under a live node: the call that finds the
// lock gone fails and changes nothing; the next one looks the pool up again,
// takes the node's slot on it, and a third process sees its store.
TEST_F(PoolSegmentTest, PoolRemovedUnderALiveNodeFailsOneCallThenIsLookedUpAgain) {
  ASSERT_TRUE(attachNode());
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolOld", "old"), KVPOOL_OK);
  removePoolObjects();
  EXPECT_EQ(storeValue("KvPoolNew", "new"), KVPOOL_POOL_UNAVAILABLE);
  EXPECT_STREQ(getKvPoolUnavailableText(), "semop(): Invalid argument");
  EXPECT_FALSE(segmentExists()) << "the failed call made no pool";

  EXPECT_EQ(storeValue("KvPoolNew", "new"), KVPOOL_OK);
  EXPECT_EQ(getValue("KvPoolOld"), std::nullopt);
  EXPECT_EQ(semValue(2), 9998) << "both node contexts hold the pool found again";
  EXPECT_EQ(runChild([] {
              if (!attachNode()) return 10;
              if (getValue("KvPoolNew") != "new") return 11;
              detachKvPool();
              return 0;
            }),
            0);
  detachKvPool();
  EXPECT_TRUE(segmentExists());
  detachKvPool();
  EXPECT_FALSE(segmentExists()) << "the last node context removed the pool found again";
  EXPECT_FALSE(semaphoreSetExists());
}

// The permission bits of the pool's three objects, -1 where one is missing.
struct ObjectModes {
  int segment = -1;
  int set = -1;
  int journal = -1;
  bool operator==(const ObjectModes&) const = default;
};

ObjectModes objectModes() {
  ObjectModes modes;
  shmid_ds segment{};
  if (shmctl(shmget(KVPOOL_SHM_KEY, 0, 0), IPC_STAT, &segment) == 0) {
    modes.segment = segment.shm_perm.mode & 0777;
  }
  shmid_ds journal{};
  if (shmctl(shmget(KVPOOL_JOURNAL_KEY, 0, 0), IPC_STAT, &journal) == 0) {
    modes.journal = journal.shm_perm.mode & 0777;
  }
  semid_ds set{};
  if (semctl(semget(KVPOOL_SEM_KEY, 0, 0), 0, IPC_STAT, &set) == 0) {
    modes.set = set.sem_perm.mode & 0777;
  }
  return modes;
}

TEST_F(PoolSegmentTest, ModeSetsThePermissionsOfTheObjectsThisProcessCreates) {
  struct Case {
    const char* text;  // null: unset
    int mode;
  };
  for (const Case& c :
       {Case{nullptr, 0666}, Case{"0660", 0660}, Case{"600", 0600}, Case{"0640", 0640}}) {
    SCOPED_TRACE(c.text == nullptr ? "(unset)" : c.text);
    if (c.text == nullptr) {
      unsetenv("KVPOOL_MODE");
    } else {
      setenv("KVPOOL_MODE", c.text, 1);
    }
    ASSERT_TRUE(attachNode());
    EXPECT_EQ(objectModes(), (ObjectModes{c.mode, c.mode, c.mode}));
    // A process with another mode does not join, and changes nothing.
    EXPECT_EQ(runChild([] {
                setenv("KVPOOL_MODE", "0666", 1);
                return attachNode() ? 0 : 10;
              }),
              c.mode == 0666 ? 0 : 10);
    EXPECT_EQ(objectModes(), (ObjectModes{c.mode, c.mode, c.mode}));
    detachKvPool();
    EXPECT_EQ(objectModes(), ObjectModes{});
  }
  EXPECT_NE(traceSinceStart().find("  KVPOOL_MODE 600 0600\n"), std::string::npos);
}

TEST_F(PoolSegmentTest, ModeBeyondReadAndWriteRefusesNodeCreationSayingWhy) {
  initNodeConstants();
  ASSERT_NE(vtrGetMessageflowNodeFactory(), nullptr);
  const std::pair<const char*, const char*> cases[] = {
      {"0777", "sets bits outside 0666 (only read and write are taken)"},
      {"4660", "sets bits outside 0666 (only read and write are taken)"},
      {"0666x", "is not an octal mode such as 0660"},
      {"rw-rw----", "is not an octal mode such as 0660"},
      {"", "is not an octal mode such as 0660"},
      {"0680", "is not an octal mode such as 0660"},
      {"0066", "does not give the owner read and write (0600)"},
      {"0400", "does not give the owner read and write (0600)"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text);
    broker_.clearEvents();
    setenv("KVPOOL_MODE", text, 1);
    const std::string problem = "KVPOOL_MODE \"" + std::string(text) + "\" " + why;
    try {
      broker_.createNode("KvPoolNode", "refused");
      ADD_FAILURE() << "creation was not refused";
    } catch (const kvbroker::CallbackRefused& refused) {
      EXPECT_EQ(refused.record().type, CCI_CONFIGURATION_EXCEPTION);
      EXPECT_EQ(refused.record().messageNumber, 9);
      EXPECT_EQ(refused.record().inserts, std::vector<std::string>{problem});
    }
    const auto events = eventsNumbered(9);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].inserts, std::vector<std::string>{problem});
    EXPECT_EQ(objectModes(), ObjectModes{}) << "nothing was created";
    EXPECT_EQ(poolUsers, 0);
  }
}

// Another user (uid 65534, in the given group) creating a node on a pool
// root made with each mode.
TEST_F(PoolSegmentTest, StrangersJoinOnlyAPoolWhoseModeLetsThem) {
  struct Case {
    const char* mode;
    gid_t group;
    bool joins;
  };
  const Case cases[] = {
      {"0666", 65534, true},
      {"0660", 0, true},  // the creator's group
      {"0660", 65534, false},
      {"0600", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " group " + std::to_string(c.group));
    setenv("KVPOOL_MODE", c.mode, 1);
    ASSERT_TRUE(attachNode());
    ASSERT_EQ(storeValue("KvPoolSecret", "root's"), KVPOOL_OK);
    const int status = runChild([&] {
      if (setgroups(0, nullptr) != 0 || setgid(c.group) != 0 || setuid(65534) != 0) return 20;
      if (!attachNode()) return 10;
      if (getValue("KvPoolSecret") != "root's") return 11;
      return storeValue("KvPoolStranger", "was here") == KVPOOL_OK ? 0 : 12;
    });
    EXPECT_EQ(status, c.joins ? 0 : 10);
    EXPECT_EQ(getValue("KvPoolStranger"),
              c.joins ? std::optional<std::string>("was here") : std::nullopt);
    EXPECT_EQ(semValue(2), 9999) << "the stranger holds no slot";
    detachKvPool();
  }
}

}  // namespace
