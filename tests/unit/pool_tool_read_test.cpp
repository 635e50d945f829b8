// kvpool's reading path sees the pool as the library does: a store that a
// killed writer left half done is completed or undone before the records
// are copied, so no other key reads as missing and nothing as damage.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
#include "pool_test_helpers.h"
#include "tools/kvpool/Commands.h"

namespace {

using namespace kvtest;

int chunksLeft = 0;

void stopMidMove(int step) {
  if (step == kvpool::kStepChunkMoved && --chunksLeft == 0) raise(SIGKILL);
}

TEST(ToolReadTest, InterruptedStoreIsPutRightBeforeTheToolReads) {
  resetPoolState();
  setenv("KVPOOL_MEMORY_PAGES", "20", 1);
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolSmall", "old"), 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(storeValue("KvPoolR" + std::to_string(i), std::string(5000, 'a' + i)), 0);
  }
  chunksLeft = 3;
  ASSERT_EQ(runChild([] {
              if (!attachNode()) return 1;
              kvpool::journalStepHook = stopMidMove;
              storeValue("KvPoolSmall", "new");
              return 0;
            }),
            128 + SIGKILL);
  ASSERT_TRUE(kvpool::journalPending(kvpool::processPoolView().journal));

  kvpool::PoolSegmentStatus status;
  std::string why;
  const auto image = kvpooltool::readSegment(kvpool::findPoolIds(), 5, &status, &why);
  ASSERT_TRUE(image.has_value()) << why;
  const kvpooltool::Walk walk = kvpooltool::walkPool(*image);
  EXPECT_TRUE(walk.sound()) << walk.damage.front();
  ASSERT_EQ(walk.records.size(), 6u);
  for (const auto& record : walk.records) {
    if (record.key == "KvPoolSmall") {
      EXPECT_EQ(record.value, "old");
    } else {
      EXPECT_EQ(record.value, std::string(5000, 'a' + (record.key.back() - '0')));
    }
  }
  EXPECT_FALSE(kvpool::journalPending(kvpool::processPoolView().journal));
}

// kvpool verify holds a snapshot to the library's rules, through its walk:
// every fault of every record, one line each, an empty key among them.
TEST(ToolReadTest, VerifyNamesEveryFaultByTheLibrarysRules) {
  kvpooltool::PoolImage image;
  image.isSnapshot = true;
  image.bytes.resize(512);
  int32_t offset = 12;
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"KvPoolA", "1"},
                                   {"", "2"},
                                   {std::string(256, 'k'), "3"},
                                   {"KvPoolA", "4"}}) {
    offset += kvpool::writePoolRecord(image.bytes.data(), offset, key.c_str(),
                                      static_cast<int32_t>(key.size() + 1), value.c_str(), 2);
  }
  image.bytes.resize(static_cast<std::size_t>(offset));
  image.limit = offset;
  kvpool::writePoolControl(image.bytes.data(), {offset, 4, offset});
  const kvpooltool::Walk walk = kvpooltool::walkPool(image);
  EXPECT_EQ(walk.damage,
            (std::vector<std::string>{
                "record 2 at offset 34: the key is empty",
                "record 3 at offset 49: the key has 256 bytes, more than 255",
                "record 4 at offset 320: key \"KvPoolA\" is stored already as record 1",
            }));
  EXPECT_EQ(walk.records.size(), 4u);
}

}  // namespace
