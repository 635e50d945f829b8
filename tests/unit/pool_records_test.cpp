// The layout reader on images built in memory: every fault found and named
// with its numbers, the chain walk stopping at the first damage, and the
// whole-image check naming its offset and reason, the pool's key rules
// included.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "pool/PoolRecords.h"

namespace {

using kvpool::PoolRecord;

// An image of records written by the pool's own writer, with a header that
// counts them and ends after them.
class Image {
 public:
  Image() : bytes_(kvpool::kPoolHeaderBytes) {}
  int32_t add(const std::string& key, const std::string& value) {
    const auto offset = static_cast<int32_t>(bytes_.size());
    bytes_.resize(bytes_.size() + kvpool::kRecordHeaderBytes + key.size() + value.size() + 2);
    kvpool::writePoolRecord(bytes_.data(), offset, key.c_str(),
                            static_cast<int32_t>(key.size() + 1), value.c_str(),
                            static_cast<int32_t>(value.size() + 1));
    ++count_;
    return offset;
  }
  unsigned char* data() {
    kvpool::writePoolControl(bytes_.data(), {4096, count_, size()});
    return bytes_.data();
  }
  int32_t size() const { return static_cast<int32_t>(bytes_.size()); }
  void setField(int32_t offset, int32_t value) { std::memcpy(&bytes_[offset], &value, 4); }
  unsigned char& at(int32_t offset) { return bytes_[offset]; }

 private:
  std::vector<unsigned char> bytes_;
  int32_t count_ = 0;
};

std::string describe(kvpool::PoolRecordFault fault, const unsigned char* image,
                     const PoolRecord& record) {
  EXPECT_NE(record.faults & fault, 0u);
  return kvpool::describePoolRecordFault(fault, image, record);
}

TEST(PoolRecordsTest, EachFaultIsFoundAndNamedWithItsNumbers) {
  Image image;
  const int32_t sound = image.add("KvPoolA", "1");
  const int32_t shortKey = image.add("KvPoolB", "2");
  const int32_t badSum = image.add("KvPoolC", "3");
  const int32_t open = image.add("KvPoolD", "4");
  const int32_t inner = image.add("KvPoolE", "5x");
  image.setField(shortKey + 4, 0);  // keyLength
  image.setField(badSum, 40);       // blockSize
  image.at(open + 12 + 7) = 'X';    // the key's NUL
  image.at(inner + 12 + 8 + 1) = '\0';
  const int32_t end = image.size();
  const unsigned char* bytes = image.data();

  EXPECT_TRUE(kvpool::readPoolRecord(bytes, sound, end).sound());
  EXPECT_EQ(kvpool::readPoolRecord(bytes, sound, end).next(), shortKey);
  // Cut short by the end of the records, its lengths still add up.
  EXPECT_EQ(kvpool::readPoolRecord(bytes, sound, shortKey - 1).faults, kvpool::kFaultBlockSize);
  EXPECT_EQ(describe(kvpool::kFaultKeyLength, bytes, kvpool::readPoolRecord(bytes, shortKey, end)),
            "keyLength 0 is below 1");
  PoolRecord record = kvpool::readPoolRecord(bytes, badSum, end);
  EXPECT_TRUE(record.followable());
  EXPECT_EQ(describe(kvpool::kFaultLengthSum, bytes, record),
            "blockSize 40 is not 12 + keyLength 8 + valueLength 2");
  record = kvpool::readPoolRecord(bytes, badSum, badSum + 30);
  EXPECT_FALSE(record.followable());
  EXPECT_EQ(describe(kvpool::kFaultBlockSize, bytes, record),
            "blockSize 40 does not fit between the record's start and the end of the records at " +
                std::to_string(badSum + 30) + "; the chain cannot be followed further");
  EXPECT_EQ(
      describe(kvpool::kFaultKeyUnterminated, bytes, kvpool::readPoolRecord(bytes, open, end)),
      "the key lacks its terminating NUL");
  record = kvpool::readPoolRecord(bytes, inner, end);
  EXPECT_TRUE(record.sound()) << "a get never looks inside a field";
  kvpool::findInnerNuls(bytes, &record);
  EXPECT_EQ(describe(kvpool::kFaultValueInnerNul, bytes, record),
            "the value holds a NUL at byte 1 of 2");
  EXPECT_EQ(
      describe(kvpool::kFaultNoRoomForHeader, bytes, kvpool::readPoolRecord(bytes, end - 5, end)),
      "5 stray bytes after the last record, too few for a record header");
}

TEST(PoolRecordsTest, ChainWalkStopsAtTheFirstDamageOrWhereTheVisitorSays) {
  Image image;
  image.add("KvPoolA", "1");
  const int32_t second = image.add("KvPoolB", "2");
  image.add("KvPoolC", "3");
  const PoolControl header = kvpool::readPoolControl(image.data());
  int visited = 0;
  auto count = [&](const PoolRecord&) {
    ++visited;
    return false;
  };

  EXPECT_TRUE(kvpool::walkPoolChain(image.data(), 3, image.size(), count).reaches(header));
  auto stopAtB = [&](const PoolRecord& record) { return record.offset == second; };
  kvpool::PoolChainEnd walk = kvpool::walkPoolChain(image.data(), 3, image.size(), stopAtB);
  EXPECT_EQ(walk.offset, second);
  EXPECT_EQ(walk.records, 1);

  image.setField(second + 8, -1);  // valueLength
  visited = 0;
  walk = kvpool::walkPoolChain(image.data(), 3, image.size(), count);
  EXPECT_EQ(visited, 1);
  EXPECT_EQ(walk.offset, second);
  EXPECT_EQ(walk.records, 1);
  EXPECT_EQ(walk.faults, kvpool::kFaultValueLength);
  EXPECT_FALSE(walk.reaches(header));
}

TEST(PoolRecordsTest, ImageCheckNamesTheOffsetAndReasonOfTheFirstDamage) {
  Image image;
  image.add("KvPoolA", "1");
  const int32_t second = image.add("KvPoolB", "2");
  kvpool::PoolDamage damage = kvpool::checkPoolImage(image.data(), image.size());
  EXPECT_FALSE(damage.found());
  EXPECT_EQ(damage.reason, "");

  image.at(second + 12 + 8 + 1) = '!';  // the value's NUL
  damage = kvpool::checkPoolImage(image.data(), image.size());
  EXPECT_EQ(damage.offset, second);
  EXPECT_EQ(damage.reason, "record 2: the value lacks its terminating NUL");
  EXPECT_EQ(kvpool::findPoolImageDamage(image.data(), image.size()), second);

  damage = kvpool::checkPoolImage(image.data(), image.size() - 1);
  EXPECT_EQ(damage.offset, 0);
  EXPECT_EQ(damage.reason, "header: usedSize " + std::to_string(image.size()) + " is outside 12.." +
                               std::to_string(image.size() - 1));
}

// Records sound on their own that a whole image may not hold: each case
// breaks one rule in the second or third record.
TEST(PoolRecordsTest, ImageCheckHoldsEveryKeyToThePoolsRules) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> records;
    int32_t nulAt;  // offset of a byte made NUL after writing, or 0
    int brokenRecord;
    std::string reason;
  };
  const std::string longest(255, 'k');
  const Case cases[] = {
      {"a key twice",
       {{"KvPoolA", "1"}, {"KvPoolB", "2"}, {"KvPoolA", "3"}},
       0,
       3,
       "key \"KvPoolA\" is stored already as record 1"},
      {"a key of 256 bytes",
       {{"KvPoolA", "1"}, {longest + "k", "2"}},
       0,
       2,
       "the key has 256 bytes, more than 255"},
      {"a NUL inside a key",
       {{"KvPoolA", "1"}, {"KvPoolB", "2"}},
       34 + 12 + 3,
       2,
       "the key holds a NUL at byte 3 of 7"},
      {"a NUL inside a value",
       {{"KvPoolA", "1"}, {"KvPoolB", "22"}},
       34 + 12 + 8,
       2,
       "the value holds a NUL at byte 0 of 2"},
      {"an empty key", {{"KvPoolA", "1"}, {"", "2"}}, 0, 2, "the key is empty"},
      {"keys alike up to a NUL",
       {{"KvPoolA", "1"}, {"KvPoolA", "2"}},
       12 + 12 + 6,
       1,
       "the key holds a NUL at byte 6 of 7"},
      {"a key of 255 bytes and keys differing in case",
       {{longest, "1"}, {"KvPoolA", "2"}, {"KvPoola", "3"}},
       0,
       0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image;
    std::vector<int32_t> offsets;
    for (const auto& [key, value] : c.records) offsets.push_back(image.add(key, value));
    if (c.nulAt != 0) image.at(c.nulAt) = '\0';
    const kvpool::PoolDamage damage = kvpool::checkPoolImage(image.data(), image.size());
    if (c.brokenRecord == 0) {
      EXPECT_FALSE(damage.found()) << damage.reason;
      continue;
    }
    EXPECT_EQ(damage.offset, offsets[c.brokenRecord - 1]);
    EXPECT_EQ(damage.reason, "record " + std::to_string(c.brokenRecord) + ": " + c.reason);
  }
}

// A repeated key is found through a set of the keys, not by comparing every
// pair: a full pool of small records is checked in moments.
TEST(PoolRecordsTest, RepeatedKeyInAFullPoolIsFoundInLinearTime) {
  Image image;
  constexpr int kRecords = 600000;  // about 20 MB: the largest pool
  for (int i = 0; i < kRecords; ++i) image.add("KvPool" + std::to_string(i), "v");
  const int32_t last = image.add("KvPool7", "again");
  const auto start = std::chrono::steady_clock::now();
  const kvpool::PoolDamage damage = kvpool::checkPoolImage(image.data(), image.size());
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(damage.offset, last);
  EXPECT_EQ(damage.reason, "record 600001: key \"KvPool7\" is stored already as record 8");
  EXPECT_LT(seconds, 20.0);
}

}  // namespace
