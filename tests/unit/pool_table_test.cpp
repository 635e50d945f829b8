// The pool's table (pool/PoolBackend.h) on shared memory: what the Redis
// module does in one round trip, the shared-memory backend does one by one,
// to the same answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "pool_test_helpers.h"

namespace {

class PoolTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvtest::resetPoolState();
    ASSERT_TRUE(kvtest::attachNode());
  }
  void TearDown() override {
    kvtest::forgetPoolHandles();
    kvtest::removePoolObjects();
  }
};

// A store of what an earlier get read stores that value, a missing key
// stops the batch there, and the stores before the stop stay.
TEST_F(PoolTableTest, ABatchRunsOneByOneAndStopsAtAMissingKey) {
  using Op = kvpool::RemotePoolOp;
  KvPoolBackend& table = *kvpool::sharedMemoryBackend();
  const std::vector<Op> ops = {{Op::Kind::kSet, "KvPoolA", "alpha", -1},
                               {Op::Kind::kGet, "KvPoolA", {}, -1},
                               {Op::Kind::kSetFromGet, "KvPoolB", {}, 1},
                               {Op::Kind::kGet, "KvPoolNone", {}, -1},
                               {Op::Kind::kSet, "KvPoolC", "gamma", -1}};
  const kvpool::RemoteBatchReply stopped = kvpool::runBackendBatch(table, ops, false);
  EXPECT_EQ(stopped.result, KVPOOL_KEY_NOT_FOUND);
  EXPECT_EQ(stopped.failedOp, 3);
  EXPECT_EQ(stopped.values, (std::vector<std::string>{"", "alpha", ""}));
  kvpool::CollectingSink keys;
  ASSERT_EQ(table.methods->listKeys(&table, keys.sink()).code, KVPOOL_OK);
  EXPECT_EQ(keys.plainTexts(), (std::vector<std::string>{"KvPoolA", "KvPoolB"}));
  // Missing keys read as empty: the whole batch runs.

  const kvpool::RemoteBatchReply empty = kvpool::runBackendBatch(table, ops, true);
  EXPECT_EQ(empty.result, KVPOOL_OK);
  EXPECT_EQ(empty.values, (std::vector<std::string>{"", "alpha", "", "", ""}));
  kvpool::CollectingSink value;
  ASSERT_EQ(table.methods->get(&table, kvpool::poolText("KvPoolB"), value.sink()).code, KVPOOL_OK);
  EXPECT_EQ(value.plainTexts(), std::vector<std::string>{"alpha"});
}

}  // namespace
