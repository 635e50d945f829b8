// A store killed at any of its steps loses at most its own update: the next
// store (or get) finds the journal and completes or undoes it, and every
// other key keeps its value. Each case kills a real store in a forked child
// at one step and looks at the pool afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
#include "pool_test_helpers.h"

namespace {

using namespace kvtest;

int stopAtStep = 0;
int stopAtOccurrence = 0;

void stopHere(int step) {
  if (step == stopAtStep && --stopAtOccurrence == 0) raise(SIGKILL);
}

constexpr int kRecordsBehind = 40;
const std::string kOld = "old";
const std::string kNew = std::string(500, 'n');

std::string ballast(int i) {
  return std::string(10000, static_cast<char>('a' + i % 26)) + std::to_string(i);
}

struct KillCase {
  const char* what;  // also the case's name, with '_' for blanks and commas
  bool replace;      // replace KvPoolSmall, which stands in front of all the records
  int step;
  int occurrence;
  const std::string* expected;  // what KvPoolSmall holds afterwards; null: missing
};

void PrintTo(const KillCase& c, std::ostream* out) {
  *out << c.what;
}

class StoreJournalTest : public ::testing::TestWithParam<KillCase> {
 protected:
  void SetUp() override {
    resetPoolState();
    setenv("KVPOOL_MEMORY_PAGES", "200", 1);
    ASSERT_TRUE(attachNode());
  }
  void TearDown() override { kvpool::journalStepHook = nullptr; }
};

TEST_P(StoreJournalTest, KilledStoreLosesOnlyItsOwnUpdate) {
  const KillCase& c = GetParam();
  if (c.replace) {
    ASSERT_EQ(storeValue("KvPoolSmall", kOld), 0);
  }
  for (int i = 0; i < kRecordsBehind; ++i) {
    ASSERT_EQ(storeValue("KvPoolR" + std::to_string(i), ballast(i)), 0);
  }
  stopAtStep = c.step;
  stopAtOccurrence = c.occurrence;
  const int status = runChild([] {
    if (!attachNode()) return 1;
    kvpool::journalStepHook = stopHere;
    storeValue("KvPoolSmall", kNew);
    return 0;  // the hook never fired: the case names a step that does not occur
  });
  ASSERT_EQ(status, 128 + SIGKILL) << c.what;

  // The next store repairs; then the chain is sound and nothing else moved.
  ASSERT_EQ(storeValue("KvPoolAfter", "x"), 0) << c.what;
  const auto* base = static_cast<const unsigned char*>(hKvMemView);
  EXPECT_EQ(kvpool::findPoolImageDamage(base, poolHeader().usedSize), -1) << c.what;
  for (int i = 0; i < kRecordsBehind; ++i) {
    EXPECT_EQ(getValue("KvPoolR" + std::to_string(i)), ballast(i)) << c.what << ", record " << i;
  }
  if (c.expected != nullptr) {
    EXPECT_EQ(getValue("KvPoolSmall"), *c.expected) << c.what;
  } else {
    EXPECT_EQ(getValue("KvPoolSmall"), std::nullopt) << c.what;
  }
  EXPECT_EQ(poolHeader().blockCount, kRecordsBehind + 1 + (c.expected != nullptr ? 1 : 0));
}

// The old record is 28 bytes, so the move behind it runs in 28-byte chunks.
constexpr int kChunks = kRecordsBehind * 10000 / 28;

INSTANTIATE_TEST_SUITE_P(
    EveryStep, StoreJournalTest,
    ::testing::Values(
        KillCase{"replace, old record saved", true, kvpool::kStepSaved, 1, &kOld},
        KillCase{"replace, first chunk moved", true, kvpool::kStepChunkMoved, 1, &kOld},
        KillCase{"replace, half moved", true, kvpool::kStepChunkMoved, kChunks / 2, &kOld},
        KillCase{"replace, move done", true, kvpool::kStepMoved, 1, &kOld},
        KillCase{"replace, new record written", true, kvpool::kStepRecordWritten, 1, &kOld},
        KillCase{"replace, header written", true, kvpool::kStepHeaderWritten, 1, &kNew},
        KillCase{"append, new record written", false, kvpool::kStepRecordWritten, 1, nullptr},
        KillCase{"append, header written", false, kvpool::kStepHeaderWritten, 1, &kNew}),
    [](const ::testing::TestParamInfo<KillCase>& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        if (c == ' ' || c == ',') c = '_';
      }
      return name;
    });

TEST(StoreJournalGetTest, GetRepairsBeforeItReads) {
  resetPoolState();
  setenv("KVPOOL_MEMORY_PAGES", "200", 1);
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolSmall", kOld), 0);
  for (int i = 0; i < kRecordsBehind; ++i) {
    ASSERT_EQ(storeValue("KvPoolR" + std::to_string(i), ballast(i)), 0);
  }
  stopAtStep = kvpool::kStepChunkMoved;
  stopAtOccurrence = kChunks / 3;
  ASSERT_EQ(runChild([] {
              if (!attachNode()) return 1;
              kvpool::journalStepHook = stopHere;
              storeValue("KvPoolSmall", kNew);
              return 0;
            }),
            128 + SIGKILL);
  // No store in between: the first get finds the torn move and puts it right.
  EXPECT_EQ(getValue("KvPoolR" + std::to_string(kRecordsBehind - 1)), ballast(kRecordsBehind - 1));
  EXPECT_EQ(getValue("KvPoolSmall"), kOld);
}

}  // namespace
