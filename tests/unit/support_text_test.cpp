// UTF-16 helpers: unit-by-unit copies, comparisons and searches, and the
// conversions through the broker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "support/KvPoolUtil.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

std::vector<CciChar> units(std::initializer_list<CciChar> list) {
  return std::vector<CciChar>(list);
}

TEST(CciCharClassTest, SpaceAndAlnumFollowTheirFixedUnitRanges) {
  for (CciChar u : {9, 10, 11, 12, 13, 32}) EXPECT_EQ(CciCharIsSpace(u), 1) << u;
  for (CciChar u : {8, 14, 160, 12288, 0}) EXPECT_EQ(CciCharIsSpace(u), 0) << u;
  for (CciChar u : {'0', '9', 'A', 'Z', 'a', 'z'}) EXPECT_EQ(CciCharIsAlnum(u), 1) << u;
  for (CciChar u : {47, 58, 64, 91, 96, 123, 233}) EXPECT_EQ(CciCharIsAlnum(u), 0) << u;
}

TEST(CciCharCmpTest, OrdersByUnsignedUnitValues) {
  auto empty = units({0});
  auto a = units({97, 0});
  auto b = units({98, 0});
  auto ab = units({97, 98, 0});
  auto high = units({0xFFFF, 0});
  EXPECT_EQ(CciCharCmp(empty.data(), empty.data()), 0);
  EXPECT_EQ(CciCharCmp(empty.data(), a.data()), -97);
  EXPECT_EQ(CciCharCmp(b.data(), a.data()), 1);
  EXPECT_EQ(CciCharCmp(ab.data(), a.data()), 98);
  EXPECT_EQ(CciCharCmp(a.data(), ab.data()), -98);
  EXPECT_EQ(CciCharCmp(high.data(), a.data()), 0xFFFF - 97);
}

TEST(CciCharNCpyTest, WritesExactlyCountUnitsPaddingWithZeros) {
  auto src = units({97, 98, 0});
  std::vector<CciChar> dst(7, 0x7777);
  CciCharNCpy(dst.data(), src.data(), 5);
  EXPECT_EQ(dst, units({97, 98, 0, 0, 0, 0x7777, 0x7777}));

  std::fill(dst.begin(), dst.end(), 0x7777);
  CciCharNCpy(dst.data(), src.data(), 2);
  EXPECT_EQ(dst, units({97, 98, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777}));

  std::fill(dst.begin(), dst.end(), 0x7777);
  CciCharNCpy(dst.data(), src.data(), 0);
  EXPECT_EQ(dst[0], 0x7777);
}

TEST(CciCharCpyTest, CopiesTextAndTerminatorOnly) {
  auto src = units({1, 2, 3, 0});
  std::vector<CciChar> dst(6, 0x7777);
  CciCharCpy(dst.data(), src.data());
  EXPECT_EQ(dst, units({1, 2, 3, 0, 0x7777, 0x7777}));
  EXPECT_EQ(CciCharLen(src.data()), 3);
}

TEST(IndexOfTest, CountsOccurrencesFromOneAndNeverExaminesTheTerminator) {
  auto text = units({'a', ';', 'b', ';', 'c', 0});
  EXPECT_EQ(CciCharIndexOf(text.data(), ';', 1), 1);
  EXPECT_EQ(CciCharIndexOf(text.data(), ';', 2), 3);
  EXPECT_EQ(CciCharIndexOf(text.data(), ';', 3), -1);
  EXPECT_EQ(CciCharIndexOf(text.data(), 0, 1), -1);
  EXPECT_EQ(CciCharIndexOf(text.data(), ';', 0), 0);  // first unit is not ';'
  EXPECT_EQ(CciCharIndexOf(text.data(), 'a', 0), -1);
  EXPECT_EQ(CciCharIndexOf(text.data(), ';', -1), -1);
  auto empty = units({0});
  for (int n = -1; n <= 2; ++n) EXPECT_EQ(CciCharIndexOf(empty.data(), ';', n), -1);

  EXPECT_EQ(CharIndexOf("abc=d=e", '=', 1), 3);
  EXPECT_EQ(CharIndexOf("abc=d=e", '=', 2), 5);
  EXPECT_EQ(CharIndexOf("abcd", '=', 1), -1);
  EXPECT_EQ(CharIndexOf("", '=', 1), -1);
}

TEST(UTOASCIICharNCpyTest, NarrowsToLowBytesAndAlwaysTerminates) {
  auto src = units({97, 98, 0});
  char dst[8];
  std::memset(dst, 'x', sizeof dst);
  UTOASCIICharNCpy(dst, src.data(), 4);
  EXPECT_EQ(std::memcmp(dst, "ab\0\0\0x", 6), 0);

  auto high = units({321, 256, 66, 0});
  std::memset(dst, 'x', sizeof dst);
  UTOASCIICharNCpy(dst, high.data(), 3);
  EXPECT_EQ(dst[0], 65);  // high byte dropped
  EXPECT_EQ(dst[1], 0);   // a unit with a zero low byte ends the text
  EXPECT_EQ(dst[2], 0);
  EXPECT_EQ(dst[3], 0);
  EXPECT_EQ(dst[4], 'x');

  std::memset(dst, 'x', sizeof dst);
  UTOASCIICharNCpy(dst, src.data(), 0);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(dst[1], 'x');
}

TEST(ConversionTest, RoundTripsUtf8IncludingSurrogatePairs) {
  const char* text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";  // "Grüße € 😀"
  Owned<CciChar> wide(CciString(text, CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(wide);
  EXPECT_EQ(CciCharLen(wide.get()), 10);  // 8 BMP characters + one surrogate pair
  EXPECT_EQ(wide.get()[0], 'G');
  EXPECT_EQ(wide.get()[2], 0xFC);
  EXPECT_EQ(wide.get()[6], 0x20AC);
  EXPECT_EQ(wide.get()[8], 0xD83D);
  EXPECT_EQ(wide.get()[9], 0xDE00);
  Owned<char> back(mbString(wide.get(), CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(back);
  EXPECT_STREQ(back.get(), text);
}

TEST(ConversionTest, EmptyTextsConvertToEmptyTexts) {
  Owned<CciChar> wide(CciString("", CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide.get()[0], 0);
  CciChar zero = 0;
  Owned<char> narrow(mbString(&zero, CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(narrow);
  EXPECT_STREQ(narrow.get(), "");
}

TEST(ConversionTest, FailedConversionsGiveTerminatedEmptyTexts) {
  // Invalid UTF-8, an unknown code page, and a lone surrogate all fail in the
  // broker; the helpers still hand back a text the caller can use and free.
  Owned<CciChar> invalid(
      CciString("ab\xFF"
                "cd",
                CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(invalid);
  EXPECT_EQ(invalid.get()[0], 0);
  Owned<CciChar> unknownPage(CciString("abc", 437));
  ASSERT_TRUE(unknownPage);
  EXPECT_EQ(unknownPage.get()[0], 0);
  auto lone = units({'a', 0xD800, 'b', 0});
  Owned<char> narrow(mbString(lone.data(), CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(narrow);
  EXPECT_STREQ(narrow.get(), "");
}

TEST(ConversionTest, CciNStringKeepsAtMostCountUnitsAndTerminates) {
  Owned<CciChar> none(CciNString("abc", 0, CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(none);
  EXPECT_EQ(none.get()[0], 0);
  Owned<CciChar> cut(CciNString("abcdef", 3, CCI_CODEPAGE_UTF8));
  ASSERT_TRUE(cut);
  EXPECT_EQ(CciCharLen(cut.get()), 3);
  EXPECT_EQ(cut.get()[2], 'c');
  Owned<CciChar> whole(CciNString("ab", 5, CCI_CODEPAGE_UTF8));
  EXPECT_EQ(CciCharLen(whole.get()), 2);
}

}  // namespace
