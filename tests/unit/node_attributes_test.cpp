// The attribute callbacks and lookups on a node's own context: bounded,
// terminated copies into the broker's buffers, typed lookups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "node_test_fixture.h"

namespace {

using kvtest::NodeUnitTest;
using kvtest::units;

constexpr CciChar kSentinel = 0xBEEF;

// A buffer of `length` units followed by a guard zone, all set to a sentinel.
struct GuardedBuffer {
  explicit GuardedBuffer(int length) : length(length), data(length + 16, kSentinel) {}
  std::u16string text() const {
    std::u16string result;
    for (int i = 0; i < length && data[i] != 0; ++i) result.push_back(data[i]);
    return result;
  }
  bool terminated() const {
    for (int i = 0; i < length; ++i) {
      if (data[i] == 0) return true;
    }
    return false;
  }
  bool guardIntact() const {
    for (std::size_t i = length; i < data.size(); ++i) {
      if (data[i] != kSentinel) return false;
    }
    return true;
  }
  int length;
  std::vector<CciChar> data;
};

using AttributeCallbackTest = NodeUnitTest;

TEST_F(AttributeCallbackTest, GetAttributeStaysInsideTheBufferAndTerminates) {
  kvbroker::Node& node = kvNode("n");
  std::u16string script;
  while (script.size() < 300) script += u"SET OutputRoot.XML.a=Body.b;";
  script.resize(300 - 1);
  script += u";";
  ASSERT_EQ(setAttribute(node.context(), const_cast<CciChar*>(units(u"KvPoolExpression")),
                         const_cast<CciChar*>(units(script))),
            0);

  struct Case {
    int bufferLength;
    std::u16string expected;
  };
  const Case cases[] = {{1000, script},
                        {301, script},
                        {300, script.substr(0, 299)},
                        {10, script.substr(0, 9)},
                        {1, u""}};
  for (const Case& c : cases) {
    GuardedBuffer buffer(c.bufferLength);
    EXPECT_EQ(getAttribute(node.context(), const_cast<CciChar*>(units(u"KvPoolExpression")),
                           buffer.data.data(), c.bufferLength),
              0);
    EXPECT_TRUE(buffer.terminated()) << c.bufferLength;
    EXPECT_TRUE(buffer.guardIntact()) << c.bufferLength;
    EXPECT_EQ(buffer.text(), c.expected) << c.bufferLength;
  }
  GuardedBuffer none(0);
  EXPECT_EQ(getAttribute(node.context(), const_cast<CciChar*>(units(u"KvPoolExpression")),
                         none.data.data(), 0),
            0);
  EXPECT_TRUE(none.guardIntact());
}

TEST_F(AttributeCallbackTest, ShortTextIsFollowedByZerosUpToTheBufferLength) {
  kvbroker::Node& node = kvNode("n");
  setAttribute(node.context(), const_cast<CciChar*>(units(u"KvPoolExpression")),
               const_cast<CciChar*>(units(u"SET;")));
  GuardedBuffer buffer(10);
  getAttribute(node.context(), const_cast<CciChar*>(units(u"KvPoolExpression")), buffer.data.data(),
               10);
  EXPECT_EQ(buffer.text(), u"SET;");
  for (int i = 4; i < 10; ++i) EXPECT_EQ(buffer.data[i], 0) << i;
  EXPECT_TRUE(buffer.guardIntact());
}

TEST_F(AttributeCallbackTest, BooleanAndNameCopiesAreCutAndTerminated) {
  kvbroker::Node& node = kvNode("n");
  setAttribute(node.context(), const_cast<CciChar*>(units(u"messgaeRestore")),
               const_cast<CciChar*>(units(u"yes")));
  for (int length : {6, 5, 3, 1}) {
    GuardedBuffer buffer(length);
    EXPECT_EQ(getAttribute(node.context(), const_cast<CciChar*>(units(u"messgaeRestore")),
                           buffer.data.data(), length),
              0);
    EXPECT_EQ(buffer.text(), std::u16string(u"true").substr(0, length - 1));
    EXPECT_TRUE(buffer.terminated());
    EXPECT_TRUE(buffer.guardIntact());

    GuardedBuffer name(length);
    EXPECT_EQ(getAttributeName(node.context(), 1, name.data.data(), length), 0);
    EXPECT_EQ(name.text(), std::u16string(u"messageStoreEltNotFound").substr(0, length - 1));
    EXPECT_TRUE(name.terminated());
    EXPECT_TRUE(name.guardIntact());
  }
  GuardedBuffer untouched(8);
  EXPECT_EQ(getAttributeName(node.context(), 4, untouched.data.data(), 8), 1);
  EXPECT_EQ(getAttributeName(node.context(), -1, untouched.data.data(), 8), 1);
  EXPECT_EQ(getAttribute(node.context(), const_cast<CciChar*>(units(u"nothing")),
                         untouched.data.data(), 8),
            1);
  EXPECT_EQ(untouched.data, std::vector<CciChar>(8 + 16, kSentinel));
}

TEST_F(AttributeCallbackTest, IntegerAttributesParseLikeAtoiAndPrintAsDecimal) {
  kvbroker::Node& node = kvNode("n");
  NodeContext* context = contextOf(node);
  ASSERT_NE(insAttrTblEntry(context, units(u"count"), ATTR_TYPE_INTEGER), nullptr);
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"42", u"42"}, {u"  -17abc", u"-17"}, {u"x9", u"0"}, {u"+8", u"8"}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(setAttribute(context, const_cast<CciChar*>(units(u"count")),
                           const_cast<CciChar*>(units(text))),
              0);
    GuardedBuffer buffer(16);
    getAttribute(context, const_cast<CciChar*>(units(u"count")), buffer.data.data(), 16);
    EXPECT_EQ(buffer.text(), expected);
  }
  GuardedBuffer cut(3);
  setAttribute(context, const_cast<CciChar*>(units(u"count")),
               const_cast<CciChar*>(units(u"12345")));
  getAttribute(context, const_cast<CciChar*>(units(u"count")), cut.data.data(), 3);
  EXPECT_EQ(cut.text(), u"12");
  EXPECT_TRUE(cut.guardIntact());
}

TEST_F(AttributeCallbackTest, LookupsAnswerByNameAndType) {
  kvbroker::Node& node = kvNode("n");
  NodeContext* context = contextOf(node);
  EXPECT_EQ(getBoolAttribute(context, units(u"messageStoreEltNotFound")), 0);
  EXPECT_EQ(getBoolAttribute(context, units(u"KvPoolExpression")), -1);
  EXPECT_EQ(getBoolAttribute(context, units(u"nothing")), -1);
  setAttribute(context, const_cast<CciChar*>(units(u"messageInsertKeyNotFound")),
               const_cast<CciChar*>(units(u"true")));
  EXPECT_EQ(getBoolAttribute(context, units(u"messageInsertKeyNotFound")), 1);

  const auto* script =
      static_cast<const CciChar*>(getAttributePointer(context, units(u"KvPoolExpression")));
  ASSERT_NE(script, nullptr);
  EXPECT_EQ(script[0], 0);
  EXPECT_EQ(getAttributePointer(context, units(u"nothing")), nullptr);

  EXPECT_EQ(getOutputTerminalHandle(context, units(u"out")), node.findTerminal("out"));
  EXPECT_EQ(getOutputTerminalHandle(context, units(u"failure")), node.findTerminal("failure"));
  EXPECT_EQ(getOutputTerminalHandle(context, units(u"in")), nullptr);
  EXPECT_EQ(getInputTerminalHandle(context, units(u"in")), node.findTerminal("in"));
  EXPECT_NE(node.findTerminal("out"), nullptr);
}

}  // namespace
