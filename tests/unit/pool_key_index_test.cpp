// The key index is a hint, never the truth: a raw writer that follows only
// the layout (an older build, a tool, a snapshot load) changes the pool
// between indexed gets, and every get still answers as a scan would.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "pool/KeyIndex.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
#include "pool_test_helpers.h"

namespace {

using namespace kvtest;

std::string keyOf(int i) {
  return "KvPoolKey" + std::to_string(10 + i);
}

// The records as a scan sees them, by key.
std::map<std::string, std::string> scanPool() {
  const auto* base = static_cast<const unsigned char*>(hKvMemView);
  const PoolControl header = poolHeader();
  std::map<std::string, std::string> records;
  kvpool::walkPoolChain(
      base, header.blockCount, header.usedSize, [&](const kvpool::PoolRecord& record) {
        records[std::string(record.keyText(base))] = std::string(record.valueText(base));
        return false;
      });
  return records;
}

// Rewrites the pool from records in the given order, without the journal.
void rawRewrite(const std::vector<std::pair<std::string, std::string>>& records) {
  auto* base = static_cast<unsigned char*>(hKvMemView);
  PoolControl header = poolHeader();
  int32_t used = kvpool::kPoolHeaderBytes;
  for (const auto& [key, value] : records) {
    used += kvpool::writePoolRecord(base, used, key.c_str(), static_cast<int32_t>(key.size() + 1),
                                    value.c_str(), static_cast<int32_t>(value.size() + 1));
  }
  header.blockCount = static_cast<int32_t>(records.size());
  header.usedSize = used;
  kvpool::writePoolControl(base, header);
}

std::vector<std::pair<std::string, std::string>> inPoolOrder() {
  const auto* base = static_cast<const unsigned char*>(hKvMemView);
  const PoolControl header = poolHeader();
  std::vector<std::pair<std::string, std::string>> records;
  kvpool::walkPoolChain(base, header.blockCount, header.usedSize,
                        [&](const kvpool::PoolRecord& record) {
                          records.emplace_back(record.keyText(base), record.valueText(base));
                          return false;
                        });
  return records;
}

struct RawChange {
  const char* what;
  std::function<void(std::vector<std::pair<std::string, std::string>>&)> change;
};

TEST(KeyIndexTest, GetsAnswerAsAScanAfterRawChanges) {
  const RawChange changes[] = {
      {"append a record (the header shows it)",
       [](auto& records) { records.emplace_back("KvPoolRaw", "raw"); }},
      {"replace a value by one of the same size, moving it to the end (the header stays)",
       [](auto& records) {
         auto moved = records[3];
         moved.second[0] = 'X';
         records.erase(records.begin() + 3);
         records.push_back(moved);
       }},
      {"swap two records of the same size (the header stays)",
       [](auto& records) { std::swap(records[1], records[7]); }},
      {"rename a key in place (the header stays)",
       [](auto& records) { records[5].first = "KvPoolKeyZZ"; }},
      {"change a value in place", [](auto& records) { records[0].second[1] = 'Y'; }},
  };
  resetPoolState();
  ASSERT_TRUE(attachNode());
  for (int i = 0; i < 20; ++i) ASSERT_EQ(storeValue(keyOf(i), "value-" + keyOf(i)), 0);
  for (const RawChange& c : changes) {
    for (int i = 0; i < 20; ++i) getValue(keyOf(i));  // the index is current
    auto records = inPoolOrder();
    c.change(records);
    rawRewrite(records);
    const auto truth = scanPool();
    for (const auto& [key, value] : truth) EXPECT_EQ(getValue(key), value) << c.what << ": " << key;
    for (int i = 0; i < 20; ++i) {
      if (truth.count(keyOf(i)) == 0) {
        EXPECT_EQ(getValue(keyOf(i)), std::nullopt) << c.what;
      }
    }
  }
  // The index's own stores keep it current, and agree with the scan.
  ASSERT_EQ(storeValue(keyOf(2), "new"), 0);
  ASSERT_EQ(storeValue("KvPoolLater", "later"), 0);
  for (const auto& [key, value] : scanPool()) EXPECT_EQ(getValue(key), value) << key;
}

// A header counting more records than its bytes could hold (INT32_MAX: an
// index sized by it would need 17 GB) is answered as damage, not believed.
// The get runs in a child held to 1 GiB more address space than it has.
TEST(KeyIndexTest, AHeaderCountingMoreRecordsThanFitIsNotBelieved) {
  resetPoolState();
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolA", "a"), 0);
  PoolControl header = poolHeader();
  header.blockCount = INT32_MAX;
  kvpool::writePoolControl(static_cast<unsigned char*>(hKvMemView), header);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's own reservations leave no room for a limit
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlim_t bytes = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t{1} << 30);
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
#endif
    _exit(getValue("KvPoolA") == "a" && getValue("KvPoolB") == std::nullopt ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Replacements move the records behind the replaced one down; the index
// follows them (past the point where it rebuilds itself) and finds every key
// where it now lies.
TEST(KeyIndexTest, FindsEveryKeyWhereItLiesAfterManyReplacements) {
  resetPoolState();
  ASSERT_TRUE(attachNode());
  for (int i = 0; i < 20; ++i) ASSERT_EQ(storeValue(keyOf(i), "v"), 0);
  ASSERT_TRUE(getValue(keyOf(0)).has_value());  // builds the index
  const kvpool::PoolView pool = kvpool::processPoolView();
  for (int round = 0; round < 1200; ++round) {
    const std::string key = keyOf(round * 7 % 20);
    // A removal now and then: the entry a find just gave goes.
    if (round % 10 == 9) {
      ASSERT_TRUE(getValue(key).has_value());
      ASSERT_EQ(kvpool::removePoolValue(pool, key.c_str()), 0);
    }
    ASSERT_EQ(storeValue(key, std::string(round % 5 + 1, 'x')), 0);
    if (round % 300 != 299) continue;
    const PoolControl header = poolHeader();
    const uint32_t changes = kvpool::journalChanges(pool.journal);
    // The stores kept it current: no store fell back to a walk.
    EXPECT_TRUE(pool.index->vouches(pool.base, header, changes)) << round + 1 << " stores";
    kvpool::walkPoolChain(pool.base, header.blockCount, header.usedSize,
                          [&](const kvpool::PoolRecord& record) {
                            const std::string key(record.keyText(pool.base));
                            EXPECT_EQ(pool.index->find(pool.base, header, changes, header.usedSize,
                                                       key.c_str(), key.size() + 1),
                                      record.offset)
                                << key << " after " << round + 1 << " stores";
                            return false;
                          });
  }
}

}  // namespace
