// The broker's code-page conversions: UTF-8 <-> UTF-16 for code page 1208,
// surrogate pairs, invalid input, unknown code pages and the capacity limits.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "broker/Broker.h"

namespace {

constexpr CciChar kUnitSentinel = 0xAAAA;
constexpr char kByteSentinel = '#';

const CciChar* ucs(const char16_t* text) {
  return reinterpret_cast<const CciChar*>(text);
}

std::u16string ucsText(const CciChar* buffer) {
  std::u16string out;
  while (*buffer) out.push_back(static_cast<char16_t>(*buffer++));
  return out;
}

template <std::size_t N>
std::array<CciChar, N> unitBuffer() {
  std::array<CciChar, N> buffer;
  buffer.fill(kUnitSentinel);
  return buffer;
}

template <std::size_t N>
std::array<char, N> byteBuffer() {
  std::array<char, N> buffer;
  buffer.fill(kByteSentinel);
  return buffer;
}

// "a", U+1F600 (a surrogate pair in UTF-16), "é".
const char kMixedUtf8[] = "a\xF0\x9F\x98\x80\xC3\xA9";
const char16_t kMixedUtf16[] = u"a\xD83D\xDE00\x00E9";

TEST(BrokerMbsToUcs, ConvertsSurrogatePairsAndTerminates) {
  auto buffer = unitBuffer<8>();
  int rc = -1;
  int length = cciMbsToUcs(&rc, kMixedUtf8, buffer.data(), 5, CCI_CODEPAGE_UTF8);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(ucsText(buffer.data()), kMixedUtf16);
  EXPECT_EQ(buffer[5], kUnitSentinel);
}

TEST(BrokerMbsToUcs, CutsAtCharacterBoundaryWithinCapacity) {
  {  // Room for 3 units: the pair fits whole, the é does not.
    auto buffer = unitBuffer<8>();
    int rc = -1;
    EXPECT_EQ(cciMbsToUcs(&rc, kMixedUtf8, buffer.data(), 4, CCI_CODEPAGE_UTF8), 3);
    EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
    EXPECT_EQ(ucsText(buffer.data()), u"a\xD83D\xDE00");
    EXPECT_EQ(buffer[4], kUnitSentinel);
  }
  {  // Room for 2 units: half a pair would be a lone surrogate, so only "a".
    auto buffer = unitBuffer<8>();
    int rc = -1;
    EXPECT_EQ(cciMbsToUcs(&rc, kMixedUtf8, buffer.data(), 3, CCI_CODEPAGE_UTF8), 1);
    EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
    EXPECT_EQ(ucsText(buffer.data()), u"a");
    EXPECT_EQ(buffer[2], kUnitSentinel);
  }
  {  // Capacity 1: only the terminator.
    auto buffer = unitBuffer<4>();
    int rc = -1;
    EXPECT_EQ(cciMbsToUcs(&rc, "ab", buffer.data(), 1, CCI_CODEPAGE_UTF8), 0);
    EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], kUnitSentinel);
  }
  {  // Capacity 0: nothing at all is written.
    auto buffer = unitBuffer<4>();
    int rc = -1;
    cciMbsToUcs(&rc, "ab", buffer.data(), 0, CCI_CODEPAGE_UTF8);
    EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], kUnitSentinel);
  }
}

TEST(BrokerMbsToUcs, ExactCapacityHoldsTextAndTerminator) {
  auto buffer = unitBuffer<8>();
  int rc = -1;
  EXPECT_EQ(cciMbsToUcs(&rc, "abc", buffer.data(), 4, CCI_CODEPAGE_UTF8), 3);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(ucsText(buffer.data()), u"abc");
  EXPECT_EQ(buffer[4], kUnitSentinel);
  // One unit less cuts the last character.
  buffer = unitBuffer<8>();
  EXPECT_EQ(cciMbsToUcs(&rc, "abc", buffer.data(), 3, CCI_CODEPAGE_UTF8), 2);
  EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
  EXPECT_EQ(ucsText(buffer.data()), u"ab");
  EXPECT_EQ(buffer[3], kUnitSentinel);
}

TEST(BrokerMbsToUcs, RefusesInvalidUtf8WithEmptyTerminatedText) {
  const char* invalid[] = {
      "\xC3",              // truncated sequence
      "ok\x80",            // stray continuation byte
      "\xC0\x80",          // overlong zero
      "\xE0\x80\xAF",      // overlong slash
      "\xED\xA0\x80",      // encoded surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF8\x88\x80\x80",  // five-byte form
  };
  for (const char* text : invalid) {
    auto buffer = unitBuffer<8>();
    int rc = -1;
    EXPECT_EQ(cciMbsToUcs(&rc, text, buffer.data(), 8, CCI_CODEPAGE_UTF8), 0) << text;
    EXPECT_NE(rc, CCI_SUCCESS) << text;
    EXPECT_EQ(buffer[0], 0) << text;
  }
}

TEST(BrokerUcsToMbs, ConvertsSurrogatePairsAndCutsAtBoundaries) {
  auto buffer = byteBuffer<16>();
  int rc = -1;
  EXPECT_EQ(cciUcsToMbs(&rc, ucs(kMixedUtf16), buffer.data(), 8, CCI_CODEPAGE_UTF8), 7);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(std::string(buffer.data()), kMixedUtf8);
  EXPECT_EQ(buffer[8], kByteSentinel);

  // 7 bytes of text need 8; with 7, the two-byte é goes.
  buffer = byteBuffer<16>();
  EXPECT_EQ(cciUcsToMbs(&rc, ucs(kMixedUtf16), buffer.data(), 7, CCI_CODEPAGE_UTF8), 5);
  EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
  EXPECT_EQ(std::string(buffer.data()), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(buffer[7], kByteSentinel);

  // With 5, the four-byte character does not fit whole either.
  buffer = byteBuffer<16>();
  EXPECT_EQ(cciUcsToMbs(&rc, ucs(kMixedUtf16), buffer.data(), 5, CCI_CODEPAGE_UTF8), 1);
  EXPECT_EQ(std::string(buffer.data()), "a");
  EXPECT_EQ(buffer[5], kByteSentinel);
}

TEST(BrokerUcsToMbs, RefusesLoneSurrogates) {
  const char16_t* invalid[] = {u"\xD800", u"a\xDC00", u"\xD800x", u"\xDE00\xD83D"};
  for (const char16_t* text : invalid) {
    auto buffer = byteBuffer<8>();
    int rc = -1;
    EXPECT_EQ(cciUcsToMbs(&rc, ucs(text), buffer.data(), 8, CCI_CODEPAGE_UTF8), 0);
    EXPECT_NE(rc, CCI_SUCCESS);
    EXPECT_EQ(buffer[0], 0);
  }
}

TEST(BrokerConversions, RefuseUnknownCodePagesButStillTerminate) {
  auto units = unitBuffer<8>();
  auto bytes = byteBuffer<8>();
  int rc = -1;
  cciMbsToUcs(&rc, "abc", units.data(), 8, 819);
  EXPECT_NE(rc, CCI_SUCCESS);
  EXPECT_EQ(units[0], 0);
  rc = -1;
  cciUcsToMbs(&rc, ucs(u"abc"), bytes.data(), 8, 1200);
  EXPECT_NE(rc, CCI_SUCCESS);
  EXPECT_EQ(bytes[0], 0);
}

TEST(BrokerConversions, EmptyTextAndNullReturnCodeAreFine) {
  auto units = unitBuffer<2>();
  EXPECT_EQ(cciMbsToUcs(nullptr, "", units.data(), 1, CCI_CODEPAGE_UTF8), 0);
  EXPECT_EQ(units[0], 0);
  EXPECT_EQ(units[1], kUnitSentinel);
}

TEST(BrokerConversions, CppHelpersRoundTripEveryPlane) {
  std::u16string text = u"A\x00E9\x20AC\xD800\xDC00\xDBFF\xDFFF";
  EXPECT_EQ(kvbroker::toUtf16(kvbroker::toUtf8(text)), text);
  EXPECT_EQ(kvbroker::toUtf8(text).size(), 1u + 2 + 3 + 4 + 4);
  EXPECT_THROW(kvbroker::toUtf8(u"\xDC00"), kvbroker::BrokerError);
  EXPECT_THROW(kvbroker::toUtf16("\xFF"), kvbroker::BrokerError);
}

}  // namespace
