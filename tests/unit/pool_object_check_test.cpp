// The pool's System V objects made by another local user before the pool's
// owner: the journal is used only when it is the pool's, and with KVPOOL_MODE
// a segment or set is joined only when its mode and owner fit the setting.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool_test_helpers.h"

namespace {

using namespace kvtest;

constexpr uid_t kStranger = 54321;

void removeJournal() {
  const int journal = shmget(KVPOOL_JOURNAL_KEY, 0, 0);
  if (journal != -1) shmctl(journal, IPC_RMID, nullptr);
}

// What another user (uid `owner`, group `group`) left at a key.
struct Planted {
  key_t key;
  bool semaphores;
  uid_t owner;
  gid_t group;
  int mode;
  uid_t handedTo;  // the owner the creator hands it to (IPC_SET), or `owner`
};

void plant(const Planted& p) {
  const int status = runChild([&p] {
    if (setgroups(0, nullptr) != 0 || setgid(p.group) != 0 || setuid(p.owner) != 0) return 20;
    if (p.semaphores) {
      const int set = semget(p.key, 3, IPC_CREAT | IPC_EXCL | p.mode);
      return set != -1 && semctl(set, 2, SETVAL, KVPOOL_USER_SLOTS) == 0 ? 0 : 21;
    }
    const int id = shmget(p.key, 65536, IPC_CREAT | IPC_EXCL | p.mode);
    if (id == -1) return 22;
    shmid_ds status{};
    if (shmctl(id, IPC_STAT, &status) != 0) return 23;
    status.shm_perm.uid = p.handedTo;
    return shmctl(id, IPC_SET, &status) == 0 ? 0 : 24;
  });
  ASSERT_EQ(status, 0);
}

class PoolObjectCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetPoolState();
    removeJournal();
  }
  void TearDown() override {
    forgetPoolHandles();
    removePoolObjects();
    removeJournal();
  }
  // The inserts of the event 9 logged since the test began.
  std::vector<std::string> unavailableInserts() const {
    std::vector<std::string> inserts;
    for (const auto& event : broker_.events()) {
      if (event.messageNumber == 9)
        inserts.insert(inserts.end(), event.inserts.begin(), event.inserts.end());
    }
    return inserts;
  }

  kvbroker::Broker broker_;
};

std::string journalProblem(const std::string& found, int poolMode) {
  char text[256];
  std::snprintf(text, sizeof text,
                "the store journal (shared memory key 99998) belongs to %s, not to the pool's "
                "owner uid %u with mode %04o: remove it with ipcrm -M 99998",
                found.c_str(), static_cast<unsigned>(geteuid()), poolMode);
  return text;
}

TEST_F(PoolObjectCheckTest, JournalOfAnotherOwnerOrModeRefusesNodesAndTools) {
  struct Case {
    const char* mode;  // KVPOOL_MODE; null: unset
    Planted journal;
    const char* found;
  };
  const uid_t root = geteuid();
  const Case cases[] = {
      {"0600",
       {KVPOOL_JOURNAL_KEY, false, kStranger, kStranger, 0666, kStranger},
       "uid 54321 with mode 0666"},
      {nullptr,
       {KVPOOL_JOURNAL_KEY, false, kStranger, kStranger, 0666, kStranger},
       "uid 54321 with mode 0666"},
      {"0600",
       {KVPOOL_JOURNAL_KEY, false, kStranger, kStranger, 0600, root},
       "uid 0 (made by uid 54321) with mode 0600"},
      {"0600", {KVPOOL_JOURNAL_KEY, false, root, 0, 0660, root}, "uid 0 with mode 0660"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode == nullptr ? "unset" : c.mode) + ", journal " + c.found);
    broker_.clearEvents();
    if (c.mode != nullptr) setenv("KVPOOL_MODE", c.mode, 1);
    plant(c.journal);
    const std::string problem = journalProblem(c.found, c.mode == nullptr ? 0666 : 0600);
    EXPECT_FALSE(attachNode());
    EXPECT_EQ(unavailableInserts(), std::vector<std::string>{problem});
    ASSERT_NE(getKvPoolAttachProblem(), nullptr);
    EXPECT_EQ(getKvPoolAttachProblem(), problem);
    EXPECT_EQ(hKvMemView, nullptr);

    kvpool::OpenedPool tool;
    EXPECT_FALSE(tool.open(kvpool::findPoolIds(), kvpool::OpenedPool::Mode::kReadWrite));
    EXPECT_EQ(tool.failure(), kvpool::OpenedPool::Failure::kForeignJournal);
    EXPECT_EQ(tool.problem(), problem);

    shmid_ds journal{};
    ASSERT_EQ(shmctl(shmget(KVPOOL_JOURNAL_KEY, 0, 0), IPC_STAT, &journal), 0);
    EXPECT_EQ(journal.shm_nattch, 0u) << "nothing of the journal was used";
    EXPECT_EQ(journal.shm_segsz, 65536u) << "nor was it replaced";
    forgetPoolHandles();
    removePoolObjects();
    removeJournal();
    unsetenv("KVPOOL_MODE");
  }
}

TEST_F(PoolObjectCheckTest, ModeJoinsOnlyObjectsOfThatModeAndAnOwnerItAdmits) {
  struct Case {
    const char* mode;  // KVPOOL_MODE
    Planted object;
    const char* problem;  // null: joined
  };
  const uid_t root = geteuid();
  const Case cases[] = {
      {"0600",
       {KVPOOL_SHM_KEY, false, root, 0, 0666, root},
       "the pool's segment (shared memory key 99999) belongs to uid 0 with mode 0666, not to uid "
       "0 with mode 0600 as KVPOOL_MODE sets: remove it with ipcrm -M 99999, or set KVPOOL_MODE "
       "to match"},
      {"0600",
       {KVPOOL_SHM_KEY, false, kStranger, kStranger, 0600, kStranger},
       "the pool's segment (shared memory key 99999) belongs to uid 54321 with mode 0600, not to "
       "uid 0 with mode 0600 as KVPOOL_MODE sets: remove it with ipcrm -M 99999, or set "
       "KVPOOL_MODE to match"},
      {"0660",
       {KVPOOL_SEM_KEY, true, kStranger, kStranger, 0660, kStranger},
       "the pool's semaphore set (key 88888) belongs to uid 54321 with mode 0660, not to uid 0 "
       "with mode 0660 as KVPOOL_MODE sets: remove it with ipcrm -S 88888, or set KVPOOL_MODE "
       "to match"},
      {"0660", {KVPOOL_SEM_KEY, true, kStranger, 0, 0660, kStranger}, nullptr},  // our group
      {"0600", {KVPOOL_SEM_KEY, true, root, 0, 0600, root}, nullptr},
      {"0600", {KVPOOL_SHM_KEY, false, root, 0, 0600, root}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + ", key " + std::to_string(c.object.key) + " of uid " +
                 std::to_string(c.object.owner) + " mode " + std::to_string(c.object.mode));
    broker_.clearEvents();
    setenv("KVPOOL_MODE", c.mode, 1);
    plant(c.object);
    EXPECT_EQ(attachNode(), c.problem == nullptr);
    if (c.problem != nullptr) {
      EXPECT_EQ(unavailableInserts(), std::vector<std::string>{c.problem});
    } else {
      EXPECT_TRUE(unavailableInserts().empty());
      detachKvPool();
    }
    forgetPoolHandles();
    removePoolObjects();
    removeJournal();
  }
}

}  // namespace
