// A store killed at any of its steps loses at most its own update: the next
// store (or get) finds the journal and completes or undoes it, and every
// other key keeps its value. Each case kills a real store in a forked child
// at one step and looks at the pool afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
#include "pool_test_helpers.h"
#include "support/test_files.h"

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
  bool tornPiece = false;       // the staged piece's place in the pool then scribbled over
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
  if (c.tornPiece) {
    // As a kill in the midst of the piece's copy leaves it: only the staged
    // copy still holds the piece.
    const kvpool::PoolView pool = kvpool::processPoolView();
    const auto done = static_cast<uint32_t>(pool.journal->progress) & 0x7fffffffu;
    std::memset(pool.base + pool.journal->offset + done, '#', 2048);
  }

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

// The move behind the old record runs in pieces of 2,048 bytes: the 400,980
// bytes of the records behind it take kChunks + 1.
constexpr int kChunks = kRecordsBehind * 10000 / 2048;

INSTANTIATE_TEST_SUITE_P(
    EveryStep, StoreJournalTest,
    ::testing::Values(
        KillCase{"replace, old record saved", true, kvpool::kStepSaved, 1, &kOld},
        KillCase{"replace, first chunk moved", true, kvpool::kStepChunkMoved, 1, &kOld},
        KillCase{"replace, half moved", true, kvpool::kStepChunkMoved, kChunks / 2, &kOld},
        KillCase{"replace, a staged piece half written", true, kvpool::kStepPieceStaged,
                 kChunks / 2, &kOld, true},
        KillCase{"replace, last piece moved", true, kvpool::kStepChunkMoved, kChunks + 1, &kOld},
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

// The pool's records as a map; nullopt unless the chain is sound by every rule.
std::optional<std::map<std::string, std::string>> poolRecords(const unsigned char* base) {
  if (kvpool::findPoolImageDamage(base, kvpool::readPoolControl(base).usedSize) != -1) {
    return std::nullopt;
  }
  std::map<std::string, std::string> records;
  const PoolControl header = kvpool::readPoolControl(base);
  kvpool::walkPoolChain(base, header.blockCount, header.usedSize, [&](const kvpool::PoolRecord& r) {
    records.emplace(r.keyText(base), r.valueText(base));
    return false;
  });
  return records;
}

// A store killed at step in a child: the pool with its journal pending.
void killStoreAt(int step, int occurrence, const std::string& key) {
  stopAtStep = step;
  stopAtOccurrence = occurrence;
  static std::string storedKey;
  storedKey = key;
  ASSERT_EQ(runChild([] {
              if (!attachNode()) return 1;
              kvpool::journalStepHook = stopHere;
              storeValue(storedKey, kNew);
              return 0;
            }),
            128 + SIGKILL);
}

// An append torn between the header's two fields (usedSize new, blockCount
// old) is undone: only the append's journal note tells it from damage.
TEST(StoreJournalTornHeaderTest, AppendWithTornHeaderIsUndone) {
  resetPoolState();
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolA", "a"), 0);
  const PoolControl before = poolHeader();
  killStoreAt(kvpool::kStepRecordWritten, 1, "KvPoolB");
  PoolControl torn = before;
  torn.usedSize += 12 + 8 + static_cast<int32_t>(kNew.size()) + 1;
  kvpool::writePoolControl(static_cast<unsigned char*>(hKvMemView), torn);
  EXPECT_EQ(getValue("KvPoolA"), "a");
  EXPECT_EQ(getValue("KvPoolB"), std::nullopt);
  EXPECT_EQ(poolHeader().usedSize, before.usedSize);
  EXPECT_EQ(poolHeader().blockCount, before.blockCount);
}

// A pending journal whose header bytes anyone overwrote: after the repair
// the pool is as before the store, as after it, or exactly as found; never
// emptied, no other record changed, no record with a NUL inside.
TEST(StoreJournalCorruptTest, CorruptedEntryIsNeverApplied) {
  struct Scenario {
    int step;
    int occurrence;
    const char* key;
  };
  const Scenario scenarios[] = {{kvpool::kStepChunkMoved, 7, "KvPoolSmall"},
                                {kvpool::kStepRecordWritten, 1, "KvPoolSmall"},
                                {kvpool::kStepRecordWritten, 1, "KvPoolNew"}};
  std::mt19937 random(20240611);
  int refused = 0;
  for (const Scenario& scenario : scenarios) {
    resetPoolState();
    setenv("KVPOOL_MEMORY_PAGES", "20", 1);
    ASSERT_TRUE(attachNode());
    std::map<std::string, std::string> before = {{"KvPoolSmall", kOld}};
    ASSERT_EQ(storeValue("KvPoolSmall", kOld), 0);
    for (int i = 0; i < 6; ++i) {
      before.emplace("KvPoolR" + std::to_string(i), ballast(i));
      ASSERT_EQ(storeValue("KvPoolR" + std::to_string(i), ballast(i)), 0);
    }
    std::map<std::string, std::string> after = before;
    after[scenario.key] = kNew;
    killStoreAt(scenario.step, scenario.occurrence, scenario.key);
    const kvpool::PoolView pool = kvpool::processPoolView();
    ASSERT_TRUE(kvpool::journalPending(pool.journal));
    const std::vector<unsigned char> found(pool.base, pool.base + pool.segmentBytes);
    const auto* journalBytes = reinterpret_cast<const unsigned char*>(pool.journal);
    const std::vector<unsigned char> journal(
        journalBytes,
        journalBytes + sizeof(kvpool::StoreJournal) + static_cast<std::size_t>(pool.segmentBytes));
    for (int c = 0; c < 100; ++c) {
      std::memcpy(pool.base, found.data(), found.size());
      std::memcpy(pool.journal, journal.data(), journal.size());
      auto* header = reinterpret_cast<unsigned char*>(pool.journal);
      const int bytes = 1 + static_cast<int>(random() % 3);
      for (int b = 0; b < bytes; ++b) {
        header[random() % sizeof(kvpool::StoreJournal)] = static_cast<unsigned char>(random());
      }
      const auto result = kvpool::journalRepair(pool.journal, pool.base, pool.segmentBytes);
      refused += result == kvpool::JournalRepair::kRefused;
      if (std::memcmp(pool.base, found.data(), found.size()) == 0) continue;
      const auto records = poolRecords(pool.base);
      ASSERT_TRUE(records.has_value()) << "scenario " << scenario.key << ", case " << c;
      EXPECT_TRUE(*records == before || *records == after)
          << "scenario " << scenario.key << ", case " << c << ": " << records->size() << " records";
    }
  }
  EXPECT_GT(refused, 0);

  // A refusal is a warning event and a trace line; the pool stays as found.
  kvbroker::Broker broker;
  const kvpool::PoolView pool = kvpool::processPoolView();
  pool.journal->state = kvpool::kJournalClearing;
  const std::vector<unsigned char> found(pool.base, pool.base + pool.segmentBytes);
  kvpool::repairInterruptedStore(pool, "getKvPoolDataBlock");
  EXPECT_EQ(std::memcmp(pool.base, found.data(), found.size()), 0);
  EXPECT_FALSE(kvpool::journalPending(pool.journal));
  const auto events = broker.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].messageNumber, 18);
  EXPECT_EQ(events[0].type, 1);
  EXPECT_NE(readFile(kTracePath)
                .find("  getKvPoolDataBlock: the store journal's entry fails its "
                      "check, not applied; pool left as it is\n"),
            std::string::npos);
}

}  // namespace
