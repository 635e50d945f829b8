// The attribute bag, the string buffer and the wide-text conversions,
// including memory running out at each allocation they make.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "node_utils/Allocation.h"
#include "node_utils/NodeHelpers.h"

namespace {

using kvpool::node_utils::failAllocationsAfter;

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

struct BagDeleter {
  void operator()(NodeAttributes* bag) const { NodeDestroyAttributes(bag); }
};
using Bag = std::unique_ptr<NodeAttributes, BagDeleter>;

struct BufferDeleter {
  void operator()(NodeStringBuffer* buffer) const { NodeStringBufferFree(buffer); }
};
using Buffer = std::unique_ptr<NodeStringBuffer, BufferDeleter>;

// Makes every allocation after the next `count` fail, for one scope.
class AllocationFailure {
 public:
  explicit AllocationFailure(int count) { failAllocationsAfter(count); }
  ~AllocationFailure() { failAllocationsAfter(-1); }
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;
};

// Switches the process to a locale for one scope.
class LocaleScope {
 public:
  explicit LocaleScope(const char* name) : previous_(std::setlocale(LC_ALL, nullptr)) {
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~LocaleScope() { std::setlocale(LC_ALL, previous_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

std::vector<std::string> namesOf(NodeAttributes* bag) {
  std::vector<std::string> names;
  for (unsigned int i = 0; const char* name = NodeGetAttributeName(bag, i); ++i) {
    names.push_back(name);
  }
  return names;
}

Bag bagWithNames(int count) {
  Bag bag(NodeCreateAttributes());
  for (int i = 0; i < count; ++i) NodeAddAttribute(bag.get(), ("name" + std::to_string(i)).c_str());
  return bag;
}

// ---- Attribute bag -----------------------------------------------------------

TEST(NodeAttributesTest, NewBagHasNoPairsAndRefusesEverySet) {
  Bag bag(NodeCreateAttributes());
  ASSERT_NE(bag, nullptr);
  EXPECT_EQ(bag->count, 0u);
  EXPECT_EQ(bag->capacity, 16u);
  EXPECT_EQ(NodeGetAttributeName(bag.get(), 0), nullptr);
  EXPECT_EQ(NodeGetAttribute(bag.get(), "a"), nullptr);
  EXPECT_EQ(NodeSetAttribute(bag.get(), "a", "1"), 99);
  EXPECT_EQ(bag->count, 0u);
}

TEST(NodeAttributesTest, AddingANameTwiceKeepsOnePairAndItsValue) {
  Bag bag(NodeCreateAttributes());
  NodeAddAttribute(bag.get(), "colour");
  ASSERT_EQ(NodeSetAttribute(bag.get(), "colour", "red"), 0);
  NodeAddAttribute(bag.get(), "colour");
  EXPECT_EQ(bag->count, 1u);
  EXPECT_STREQ(NodeGetAttribute(bag.get(), "colour"), "red");
}

TEST(NodeAttributesTest, SeventeenthNameDoublesTheArrayAndKeepsOrderAndValues) {
  Bag bag = bagWithNames(16);
  ASSERT_EQ(NodeSetAttribute(bag.get(), "name3", "three"), 0);
  EXPECT_EQ(bag->capacity, 16u);
  NodeAddAttribute(bag.get(), "name16");
  EXPECT_EQ(bag->count, 17u);
  EXPECT_EQ(bag->capacity, 32u);
  std::vector<std::string> expected;
  for (int i = 0; i < 17; ++i) expected.push_back("name" + std::to_string(i));
  EXPECT_EQ(namesOf(bag.get()), expected);
  EXPECT_EQ(NodeGetAttributeName(bag.get(), 17), nullptr);
  EXPECT_STREQ(NodeGetAttribute(bag.get(), "name3"), "three");
}

TEST(NodeAttributesTest, ValueIsNullUntilSetAndEachSetStoresACopy) {
  Bag bag(NodeCreateAttributes());
  NodeAddAttribute(bag.get(), "key");
  EXPECT_EQ(NodeGetAttribute(bag.get(), "key"), nullptr);

  char value[] = "first";
  ASSERT_EQ(NodeSetAttribute(bag.get(), "key", value), 0);
  std::strcpy(value, "xxxxx");
  EXPECT_STREQ(NodeGetAttribute(bag.get(), "key"), "first");

  // The first copy is released (the sanitizer build reports a leak otherwise).
  ASSERT_EQ(NodeSetAttribute(bag.get(), "key", "second"), 0);
  EXPECT_STREQ(NodeGetAttribute(bag.get(), "key"), "second");
}

TEST(NodeAttributesTest, NamesDifferingOnlyInCaseArePairsOfTheirOwn) {
  Bag bag(NodeCreateAttributes());
  NodeAddAttribute(bag.get(), "Name");
  NodeAddAttribute(bag.get(), "name");
  ASSERT_EQ(bag->count, 2u);
  ASSERT_EQ(NodeSetAttribute(bag.get(), "name", "small"), 0);
  EXPECT_EQ(NodeGetAttribute(bag.get(), "Name"), nullptr);
  EXPECT_EQ(NodeSetAttribute(bag.get(), "NAME", "x"), 99);
}

TEST(NodeAttributesTest, DestroyIgnoresNullAndABagWithoutArray) {
  // A bag whose array was never allocated may still count names: destroying
  // it must not look into the missing array (a crash fails the test).
  const auto destroyBoth = [] {
    NodeDestroyAttributes(nullptr);
    auto* bag = static_cast<NodeAttributes*>(std::malloc(sizeof(NodeAttributes)));
    *bag = NodeAttributes{nullptr, 3, 16};
    NodeDestroyAttributes(bag);
    std::exit(0);
  };
  EXPECT_EXIT(destroyBoth(), ::testing::ExitedWithCode(0), "");
}

TEST(NodeAttributesTest, AddThatRunsOutOfMemoryLeavesTheBagAsItWas) {
  // Adding the 17th name makes two allocations: the larger array, the name.
  for (int succeeding = 0; succeeding < 2; ++succeeding) {
    Bag bag = bagWithNames(16);
    ASSERT_EQ(NodeSetAttribute(bag.get(), "name0", "zero"), 0);
    {
      AllocationFailure failure(succeeding);
      NodeAddAttribute(bag.get(), "extra");
    }
    EXPECT_EQ(bag->count, 16u) << succeeding;
    EXPECT_EQ(NodeGetAttribute(bag.get(), "extra"), nullptr);
    EXPECT_STREQ(NodeGetAttribute(bag.get(), "name0"), "zero");
    // The bag still works once memory is back.
    NodeAddAttribute(bag.get(), "extra");
    EXPECT_EQ(bag->count, 17u);
    EXPECT_STREQ(NodeGetAttributeName(bag.get(), 16), "extra");
  }
}

TEST(NodeAttributesTest, SetThatRunsOutOfMemoryKeepsTheOldValue) {
  Bag bag(NodeCreateAttributes());
  NodeAddAttribute(bag.get(), "key");
  ASSERT_EQ(NodeSetAttribute(bag.get(), "key", "old"), 0);
  {
    AllocationFailure failure(0);
    EXPECT_NE(NodeSetAttribute(bag.get(), "key", "new"), 0);
  }
  EXPECT_STREQ(NodeGetAttribute(bag.get(), "key"), "old");
}

TEST(NodeAttributesTest, CreateWithoutMemoryForTheArrayGivesABagThatStillGrows) {
  {
    AllocationFailure failure(0);
    EXPECT_EQ(NodeCreateAttributes(), nullptr);
  }
  Bag bag;
  {
    AllocationFailure failure(1);
    bag.reset(NodeCreateAttributes());
  }
  ASSERT_NE(bag, nullptr);
  EXPECT_EQ(bag->pairs, nullptr);
  EXPECT_EQ(NodeGetAttributeName(bag.get(), 0), nullptr);
  NodeAddAttribute(bag.get(), "late");
  EXPECT_EQ(bag->capacity, 16u);
  EXPECT_EQ(namesOf(bag.get()), std::vector<std::string>{"late"});
}

// ---- String buffer -----------------------------------------------------------

TEST(NodeStringBufferTest, NewBufferHoldsTheEmptyTextAndAppendsKeepItTerminated) {
  Buffer buffer(NodeStringBufferAlloc());
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->length, 0);
  EXPECT_EQ(buffer->capacity, 32);
  EXPECT_STREQ(buffer->data, "");
  NodeStringBufferAdd(buffer.get(), "abc");
  EXPECT_EQ(buffer->length, 3);
  EXPECT_EQ(std::memcmp(buffer->data, "abc", 4), 0);
  NodeStringBufferAddChar(buffer.get(), 'd');
  NodeStringBufferAdd(buffer.get(), "");
  EXPECT_EQ(buffer->length, 4);
  EXPECT_STREQ(buffer->data, "abcd");
}

struct GrowthCase {
  int held;      // bytes in the buffer before the append
  int added;     // bytes appended
  int capacity;  // capacity after the append
};

TEST(NodeStringBufferTest, GrowsWhenTheTextWouldFillTheBlockExactly) {
  const GrowthCase cases[] = {
      {0, 30, 32},     // 31 bytes with the terminator still leave one spare
      {0, 31, 64},     // filling the block exactly grows it
      {0, 40, 64},     // doubling suffices
      {40, 100, 229},  // 64 doubled is too small: 128 + 101
  };
  for (const GrowthCase& c : cases) {
    Buffer buffer(NodeStringBufferAlloc());
    const std::string first(c.held, 'h');
    const std::string second(c.added, 'a');
    if (c.held > 0) NodeStringBufferAdd(buffer.get(), first.c_str());
    NodeStringBufferAdd(buffer.get(), second.c_str());
    EXPECT_EQ(buffer->capacity, c.capacity) << c.held << "+" << c.added;
    EXPECT_EQ(buffer->length, c.held + c.added);
    EXPECT_EQ(std::string(buffer->data), first + second);
  }
}

TEST(NodeStringBufferTest, AddCharAsksForTwoBytes) {
  Buffer byText(NodeStringBufferAlloc());
  NodeStringBufferAdd(byText.get(), std::string(29, 'x').c_str());
  NodeStringBufferAdd(byText.get(), "y");
  EXPECT_EQ(byText->capacity, 32);

  Buffer byChar(NodeStringBufferAlloc());
  NodeStringBufferAdd(byChar.get(), std::string(29, 'x').c_str());
  NodeStringBufferAddChar(byChar.get(), 'y');
  EXPECT_EQ(byChar->capacity, 64);
  EXPECT_EQ(std::string(byChar->data), std::string(29, 'x') + "y");
}

TEST(NodeStringBufferTest, AddCharOfTheZeroByteCountsIt) {
  Buffer buffer(NodeStringBufferAlloc());
  NodeStringBufferAdd(buffer.get(), "ab");
  NodeStringBufferAddChar(buffer.get(), '\0');
  EXPECT_EQ(buffer->length, 3);
  EXPECT_EQ(std::strlen(buffer->data), 2u);
  EXPECT_EQ(buffer->data[3], '\0');
  NodeStringBufferAdd(buffer.get(), "c");
  EXPECT_EQ(std::string(buffer->data, buffer->length), std::string("ab\0c", 4));
}

TEST(NodeStringBufferTest, AppendThatRunsOutOfMemoryLeavesTheBufferAsItWas) {
  Buffer buffer(NodeStringBufferAlloc());
  NodeStringBufferAdd(buffer.get(), std::string(30, 'x').c_str());
  const char* data = buffer->data;
  {
    AllocationFailure failure(0);
    NodeStringBufferAdd(buffer.get(), "too much");
    NodeStringBufferAddChar(buffer.get(), 'c');
  }
  EXPECT_EQ(buffer->length, 30);
  EXPECT_EQ(buffer->capacity, 32);
  EXPECT_EQ(buffer->data, data);
  EXPECT_EQ(std::string(buffer->data), std::string(30, 'x'));
  NodeStringBufferAddChar(buffer.get(), 'c');
  EXPECT_EQ(std::string(buffer->data), std::string(30, 'x') + "c");
}

TEST(NodeStringBufferTest, AllocWithoutMemoryGivesNull) {
  for (int succeeding = 0; succeeding < 2; ++succeeding) {
    AllocationFailure failure(succeeding);
    EXPECT_EQ(NodeStringBufferAlloc(), nullptr) << succeeding;
  }
}

// ---- Wide-text conversions ---------------------------------------------------

TEST(WideTextTest, EmptyAndAsciiTextsConvertExactly) {
  Owned<wchar_t> emptyWide(ASCIIToUnicode(""));
  ASSERT_NE(emptyWide, nullptr);
  EXPECT_EQ(emptyWide.get()[0], L'\0');
  Owned<char> emptyNarrow(UnicodeToASCII(L""));
  ASSERT_NE(emptyNarrow, nullptr);
  EXPECT_STREQ(emptyNarrow.get(), "");

  Owned<wchar_t> wide(ASCIIToUnicode("Order 42"));
  EXPECT_STREQ(wide.get(), L"Order 42");
  Owned<char> narrow(UnicodeToASCII(L"Order 42"));
  EXPECT_STREQ(narrow.get(), "Order 42");
}

class WideTextUtf8Test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(locale_.ok()) << "locale C.UTF-8 is not available"; }
  LocaleScope locale_{"C.UTF-8"};
};

TEST_F(WideTextUtf8Test, MultiByteCharactersBecomeOneWideCharacterEach) {
  // "héllo €": 7 characters in 10 bytes; the result has 11 places.
  const char* text = "h\xC3\xA9llo \xE2\x82\xAC";
  Owned<wchar_t> wide(ASCIIToUnicode(text));
  EXPECT_STREQ(wide.get(), L"h\u00E9llo \u20AC");
  EXPECT_EQ(wide.get()[10], L'\0');
}

TEST_F(WideTextUtf8Test, NarrowingKeepsWholeCharactersThatFitItsPlaces) {
  // n characters get n + 1 bytes; a character whose bytes do not all fit ends
  // the text (the sanitizer build catches a write past the n + 1 bytes).
  struct Case {
    const wchar_t* text;
    const char* expected;
  };
  const Case cases[] = {
      {L"\u00E9", ""},                      // 2 bytes, 1 place
      {L"a\u00E9", "a"},                    // 3 bytes, 2 places
      {L"\u00E9\u00E9\u00E9", "\xC3\xA9"},  // 6 bytes, 3 places
      {L"\u20ACab", "\xE2\x82\xAC"},        // the euro fills the 3 bytes
      {L"ab\u20AC", "ab"},                  // 2 bytes left of the 3 needed
      {L"a\u00E9bcdef",
       "a\xC3\xA9"
       "bcde"},  // 8 bytes, 7 places before the end
  };
  for (const Case& c : cases) {
    Owned<char> narrow(UnicodeToASCII(c.text));
    ASSERT_NE(narrow, nullptr);
    const size_t places = std::wcslen(c.text) + 1;
    EXPECT_LT(std::strlen(narrow.get()), places);
    EXPECT_STREQ(narrow.get(), c.expected) << std::strlen(narrow.get());
  }
}

TEST_F(WideTextUtf8Test, TextTheLocaleCannotConvertEndsTerminatedAtTheBadCharacter) {
  Owned<wchar_t> wide(
      ASCIIToUnicode("ab\xFF"
                     "cd"));
  EXPECT_STREQ(wide.get(), L"ab");
  Owned<wchar_t> truncated(ASCIIToUnicode("ab\xC3"));
  EXPECT_STREQ(truncated.get(), L"ab");

  const wchar_t beyondUnicode[] = {L'x', static_cast<wchar_t>(0x110000), L'y', 0};
  Owned<char> narrow(UnicodeToASCII(beyondUnicode));
  EXPECT_STREQ(narrow.get(), "x");
}

TEST(WideTextTest, ConversionsWithoutMemoryGiveNull) {
  AllocationFailure failure(0);
  EXPECT_EQ(ASCIIToUnicode("abc"), nullptr);
  EXPECT_EQ(UnicodeToASCII(L"abc"), nullptr);
}

}  // namespace
