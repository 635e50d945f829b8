// The one snapshot reader: each refusal with its reason, the file alone for
// the tools or the content too for a load, and nothing read past its bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "pool/PoolRecords.h"
#include "pool/SnapshotFile.h"

namespace {

using kvpool::SnapshotCheck;
using kvpool::SnapshotRefusal;

constexpr const char* kPath = "/tmp/KvPoolData.bin";

// A snapshot of one record "KvPoolA" = "v" (12 + 12 + 8 + 2 bytes).
std::string oneRecordSnapshot() {
  std::string bytes(12 + 12 + 8 + 2, '\0');
  kvpool::writePoolRecord(reinterpret_cast<unsigned char*>(bytes.data()), 12, "KvPoolA", 8, "v", 2);
  const PoolControl header = {4096, 1, static_cast<int32_t>(bytes.size())};
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

void writeFile(const char* path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Case {
  const char* what;
  std::function<void()> plant;
  SnapshotCheck check;
  SnapshotRefusal refusal;
  const char* reason;
};

TEST(SnapshotFileTest, RefusesEachUnusableFileWithItsReason) {
  const std::string good = oneRecordSnapshot();
  std::string damaged = good;
  damaged[12] = 99;  // the record's length no longer reaches its next record
  std::string mismatched = good;
  mismatched[8] = 40;
  const Case cases[] = {
      {"missing", [] {}, SnapshotCheck::kFile, SnapshotRefusal::kMissing,
       "cannot open /tmp/KvPoolData.bin: No such file or directory"},
      {"link", [] { symlink("/tmp/elsewhere", kPath); }, SnapshotCheck::kWhole,
       SnapshotRefusal::kLink, "is a symbolic link: refused"},
      {"FIFO", [] { mkfifo(kPath, 0600); }, SnapshotCheck::kFile, SnapshotRefusal::kNotRegular,
       "/tmp/KvPoolData.bin is a FIFO, not a regular file: refused"},
      {"second name",
       [&] {
         writeFile("/tmp/other", good);
         link("/tmp/other", kPath);
       },
       SnapshotCheck::kWhole, SnapshotRefusal::kSeveralLinks,
       "is a regular file with 2 links: refused"},
      {"another user's",
       [&] {
         writeFile(kPath, good);
         chown(kPath, 54321, 54321);
       },
       SnapshotCheck::kWhole, SnapshotRefusal::kForeignOwner,
       "belongs to uid 54321, neither this user (uid 0) nor root: refused"},
      {"too large", [&] { writeFile(kPath, good + "x"); }, SnapshotCheck::kFile,
       SnapshotRefusal::kTooLarge, "has 35 bytes, more than the bound (34 bytes): refused"},
      {"header only", [] { writeFile(kPath, std::string(12, '\0')); }, SnapshotCheck::kWhole,
       SnapshotRefusal::kTooSmall, "has 12 bytes, no more than a pool's header"},
      {"usedSize", [&] { writeFile(kPath, mismatched); }, SnapshotCheck::kWhole,
       SnapshotRefusal::kSizeMismatch, "has 34 bytes but its header's usedSize is 40"},
      {"damaged", [&] { writeFile(kPath, damaged); }, SnapshotCheck::kWhole,
       SnapshotRefusal::kDamaged, "is damaged at offset 12: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(kPath);
    unlink("/tmp/other");
    c.plant();
    const kvpool::SnapshotImage image = kvpool::readSnapshotImage(kPath, 34, c.check, "the bound");
    EXPECT_EQ(image.refusal, c.refusal) << image.reason;
    EXPECT_NE(image.reason.find(c.reason), std::string::npos) << image.reason;
    EXPECT_TRUE(image.bytes.empty());
  }
  unlink("/tmp/other");
  unlink(kPath);
}

TEST(SnapshotFileTest, ReadsASoundFileAndTheFileAloneWhenOnlyTheFileIsChecked) {
  const std::string good = oneRecordSnapshot();
  writeFile(kPath, good);
  for (SnapshotCheck check : {SnapshotCheck::kFile, SnapshotCheck::kWhole}) {
    const kvpool::SnapshotImage image = kvpool::readSnapshotImage(kPath, 34, check, "the bound");
    ASSERT_TRUE(image.read()) << image.reason;
    EXPECT_EQ(std::string(image.bytes.begin(), image.bytes.end()), good);
  }
  writeFile(kPath, "not a pool");
  EXPECT_TRUE(kvpool::readSnapshotImage(kPath, 34, SnapshotCheck::kFile, "the bound").read())
      << "the tools walk the chain themselves";
  unlink(kPath);
}

TEST(SnapshotFileTest, LoadReadsOnlyWhatFitsAndRefusesASecondName) {
  const std::string good = oneRecordSnapshot();
  writeFile(kPath, good);
  std::vector<unsigned char> image;
  bool fits = false;
  ASSERT_TRUE(kvpool::readSnapshotFile(35, kvpool::SnapshotFit::kBelowCapacity, &image, &fits));
  EXPECT_TRUE(fits);
  EXPECT_EQ(image.size(), good.size());
  ASSERT_TRUE(kvpool::readSnapshotFile(34, kvpool::SnapshotFit::kBelowCapacity, &image, &fits))
      << "too large is no failure";
  EXPECT_FALSE(fits);
  EXPECT_TRUE(image.empty());
  ASSERT_EQ(link(kPath, "/tmp/other"), 0);
  EXPECT_FALSE(kvpool::readSnapshotFile(35, kvpool::SnapshotFit::kBelowCapacity, &image, &fits));
  unlink("/tmp/other");
  unlink(kPath);
}

}  // namespace
