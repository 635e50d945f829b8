// The trace log: label prefix, "%S", literal ucsLog text, append-only file.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/Trace.h"
#include "support/test_files.h"

namespace {

using kvtest::kTracePath;
using kvtest::readFile;

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    constLabel = nullptr;
    before_ = readFile(kTracePath).size();
  }
  void TearDown() override { constLabel = nullptr; }
  // What this test wrote.
  std::string written() const { return readFile(kTracePath).substr(before_); }

 private:
  size_t before_ = 0;
};

TEST_F(TraceTest, LinesWithoutLabelStartWithTheirText) {
  Log("-->evaluate\n");
  Log("  poolUsers %d\n", 3);
  EXPECT_EQ(written(), "-->evaluate\n  poolUsers 3\n");
}

TEST_F(TraceTest, LabelPrefixesEveryWriteAndEmptyLabelGivesBrackets) {
  char empty[] = "";
  constLabel = empty;
  Log("a\n");
  char flow[] = "Flow 1";
  constLabel = flow;
  Log("b\n");
  EXPECT_EQ(written(), "[]a\n[Flow 1]b\n");
}

TEST_F(TraceTest, FormatWithoutLineEndLeavesNextWriteOnTheSameLine) {
  char label[] = "L";
  constLabel = label;
  Log("  > File KvPoolData.bin does not exist or could not be opened");
  Log("-->next\n");
  EXPECT_EQ(written(),
            "[L]  > File KvPoolData.bin does not exist or could not be opened[L]-->next\n");
}

TEST_F(TraceTest, PrintfConversionsAndUtf16Conversion) {
  const CciChar odd[] = {'a', 'b', 'c', 0, 'x', 0};
  const CciChar even[] = {'d', 0xFC, 0};
  Log("%s|%d|%X|%5d|%-3s|%S|%S|%c|%%\n", "txt", -7, 0xBEEF, 42, "z", odd, even, 'q');
  EXPECT_EQ(written(), "txt|-7|BEEF|   42|z  |abc|d\xC3\xBC|q|%\n");
}

TEST_F(TraceTest, PlainDirectivesWriteWhatPrintfWrites) {
  char expected[256];
  std::snprintf(expected, sizeof expected, "%d|%ld|%lld|%u|%lu|%zu|%zd|%i|%hd|%hhu|%s|\n", INT_MIN,
                LONG_MIN, LLONG_MAX, UINT_MAX, ULONG_MAX, SIZE_MAX, static_cast<ssize_t>(-1), 0,
                static_cast<short>(70000), static_cast<unsigned char>(300), "");
  Log("%d|%ld|%lld|%u|%lu|%zu|%zd|%i|%hd|%hhu|%s|%s\n", INT_MIN, LONG_MIN, LLONG_MAX, UINT_MAX,
      ULONG_MAX, SIZE_MAX, static_cast<ssize_t>(-1), 0, 70000, 300, "",
      static_cast<const char*>(nullptr));
  EXPECT_EQ(written(), std::string(expected, std::strlen(expected) - 1) + "(null)\n");
}

TEST_F(TraceTest, LongExpansionIsWrittenWhole) {
  std::string value(5000, 'v');
  Log("  %d %s\n", 1, value.c_str());
  EXPECT_EQ(written(), "  1 " + value + "\n");
}

TEST_F(TraceTest, UcsLogWritesPrefixTextAndLineEndLiterally) {
  const CciChar percent[] = {'%', 's', '%', 'd', 0};
  const CciChar empty[] = {0};
  char label[] = "N";
  ucsLog("  setAttribute attrValue ", percent);
  constLabel = label;
  ucsLog("  setAttribute attrValue ", empty);
  EXPECT_EQ(written(), "  setAttribute attrValue %s%d\n[N]  setAttribute attrValue \n");
}

}  // namespace
