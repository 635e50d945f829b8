// Script execution on a node's own context: operand splitting, unreadable
// flags, and evaluate's event for a terminal the node lacks.
#include <gtest/gtest.h>
#include <sys/sem.h>

#include <cstdlib>
#include <string>

#include "node_test_fixture.h"
#include "pool/KvPoolShm.h"
#include "script/PoolScript.h"

namespace {

using kvbroker::Message;
using kvtest::NodeUnitTest;
using kvtest::units;

TEST(GetOperandsTest, SplitsAtTheFirstEqualsSignWithinTheBuffers) {
  char left[256];
  char right[256];
  EXPECT_EQ(getOperandsOfPoolScript("KvPoolX=Body.a=b", left, right), 0);
  EXPECT_STREQ(left, "KvPoolX");
  EXPECT_STREQ(right, "Body.a=b");
  EXPECT_EQ(getOperandsOfPoolScript("=", left, right), 0);
  EXPECT_STREQ(left, "");
  EXPECT_STREQ(right, "");

  const std::string fits(255, 'f');
  EXPECT_EQ(getOperandsOfPoolScript((fits + "=" + fits).c_str(), left, right), 0);
  EXPECT_EQ(std::string(left), fits);
  EXPECT_EQ(std::string(right), fits);

  const std::string tooLong(256, 't');
  for (const std::string& assignment : {std::string("abc"), tooLong + "=x", "x=" + tooLong}) {
    EXPECT_EQ(getOperandsOfPoolScript(assignment.c_str(), left, right), SCRIPT_MALFORMED_STATEMENT)
        << assignment;
    EXPECT_STREQ(left, "");
    EXPECT_STREQ(right, "");
  }
}

class ScriptRunTest : public NodeUnitTest {
 protected:
  void setScript(kvbroker::Node& node, const std::string& script) {
    broker().setAttribute(node, "KvPoolExpression", script);
  }
  // Makes a flag unreadable (no longer a boolean), as when its creation failed.
  static void breakFlag(kvbroker::Node& node, const std::u16string& name) {
    for (AttrTblEntry* entry = contextOf(node)->attrHead; entry != nullptr; entry = entry->next) {
      if (std::u16string(reinterpret_cast<const char16_t*>(entry->attrName)) == name) {
        entry->attrType = ATTR_TYPE_INTEGER;
      }
    }
    ASSERT_EQ(getBoolAttribute(contextOf(node), units(name)), -1);
  }
  int run(kvbroker::Node& node, Message& input, Message& output, std::string& failing) {
    Message exceptionList, destinationList;
    char* errorText = nullptr;
    const int result = runKvPoolscript(contextOf(node), input.handle(), exceptionList.handle(),
                                       destinationList.handle(), output.handle(), &errorText);
    failing = errorText != nullptr ? errorText : "<none>";
    std::free(errorText);
    return result;
  }
};

TEST_F(ScriptRunTest, MissingKeyWithUnreadableFlagNeverReusesAnEarlierValue) {
  kvbroker::Node& node = kvNode("n");
  // The second statement leaves a pool value behind in the run's request; the
  // third reads a missing key.
  setScript(node,
            "SET KvPoolA=Body.Doc.a;"
            "SET OutputRoot.XML.Doc.x=KvPoolA;"
            "SET OutputRoot.XML.Doc.y=KvPoolMissing;");
  breakFlag(node, u"messageInsertKeyNotFound");
  Message input = Message::fromXml("<Doc><a>earlier value</a></Doc>");
  Message output = input.copy();
  std::string failing;
  EXPECT_EQ(run(node, input, output, failing), SCRIPT_KEY_NOT_FOUND);
  EXPECT_EQ(failing, "KvPoolMissing");
  EXPECT_EQ(kvbroker::elementValue(kvbroker::findPath(output.root(), "XML.Doc.x")),
            "earlier value");
  EXPECT_EQ(kvbroker::findPath(output.root(), "XML.Doc.y"), nullptr);
}

TEST_F(ScriptRunTest, MissingElementWithUnreadableFlagGoesOnWithEmptyText) {
  kvbroker::Node& node = kvNode("n");
  setScript(node, "SET KvPoolB=Body.Doc.b;SET OutputRoot.XML.Doc.y=Body.Doc.missing;");
  breakFlag(node, u"messageStoreEltNotFound");
  Message input = Message::fromXml("<Doc><b>earlier value</b></Doc>");
  Message output = input.copy();
  std::string failing;
  EXPECT_EQ(run(node, input, output, failing), SCRIPT_OK);
  EXPECT_EQ(failing, "<none>");
  CciElement* y = kvbroker::findPath(output.root(), "XML.Doc.y");
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(kvbroker::elementValue(y), "");
}

// A read whose lock cannot be taken is no missing key: the key flag does not
// let it through. The next run finds the pool again.
TEST_F(ScriptRunTest, UnavailablePoolFailsAReadEvenWithTheKeyFlagSet) {
  kvbroker::Node& node = kvNode("n");
  setScript(node, "SET OutputRoot.XML.Doc.x=KvPoolMissing;");
  broker().setAttribute(node, "messageInsertKeyNotFound", "true");
  ASSERT_EQ(semctl(semget(KVPOOL_SEM_KEY, 0, 0), 0, IPC_RMID), 0);
  Message input = Message::fromXml("<Doc/>");
  Message output = input.copy();
  std::string failing;
  EXPECT_EQ(run(node, input, output, failing), SCRIPT_POOL_UNAVAILABLE);
  EXPECT_EQ(failing, "semop(): Invalid argument");
  EXPECT_EQ(kvbroker::findPath(output.root(), "XML.Doc.x"), nullptr);
  EXPECT_EQ(run(node, input, output, failing), SCRIPT_OK);
  EXPECT_EQ(kvbroker::elementValue(kvbroker::findPath(output.root(), "XML.Doc.x")), "");
}

TEST_F(ScriptRunTest, EmptyListSucceedsWithoutTouchingAnything) {
  kvbroker::Node& node = kvNode("n");
  Message input = Message::fromXml("<Doc><a>1</a></Doc>");
  Message output = input.copy();
  const std::string before = output.dump();
  std::string failing;
  EXPECT_EQ(run(node, input, output, failing), SCRIPT_OK);
  EXPECT_EQ(failing, "<none>");
  EXPECT_EQ(output.dump(), before);
}

// script/ knows no node: a list its caller owns, compiled from a text and run
// with the flags handed in.
TEST_F(ScriptRunTest, CallersListRunsWithTheFlagsHandedInWithoutANode) {
  PoolScriptEntry* head = nullptr;
  ASSERT_EQ(kvpool::compilePoolScript(
                units(u"SET OutputRoot.XML.Doc.y = Body.Doc.a; SET OutputRoot.XML.Doc.z = "
                      u"Body.Doc.missing;"),
                &head),
            SCRIPT_OK);
  Message input = Message::fromXml("<Doc><a>1</a></Doc>");
  Message exceptionList, destinationList;
  for (int elementNotFound : {0, 1}) {
    Message output = input.copy();
    char* errorText = nullptr;
    const int result =
        kvpool::runPoolScript(head, {elementNotFound, 0}, input.handle(), exceptionList.handle(),
                              destinationList.handle(), output.handle(), &errorText);
    EXPECT_EQ(kvbroker::elementValue(kvbroker::findPath(output.root(), "XML.Doc.y")), "1");
    if (elementNotFound == 0) {
      EXPECT_EQ(result, SCRIPT_ELEMENT_NOT_FOUND);
      EXPECT_STREQ(errorText, "Body.Doc.missing");
    } else {
      EXPECT_EQ(result, SCRIPT_OK);
      EXPECT_EQ(kvbroker::elementValue(kvbroker::findPath(output.root(), "XML.Doc.z")), "");
    }
    std::free(errorText);
  }
  kvpool::releasePoolScript(&head);
  EXPECT_EQ(head, nullptr);
}

TEST_F(ScriptRunTest, MissingTerminalLogsEvent908WithItsNameAsUtf8) {
  kvbroker::Node& node = kvNode("n");
  NodeContext* context = contextOf(node);
  // The node lost its "out" entry, as when its allocation failed.
  TerminalListEntry* out = context->outTermHead;
  context->outTermHead = out->next;
  std::free(out);
  Message input = Message::fromXml("<Doc/>");
  ASSERT_TRUE(broker().inject(node, "in", input).ok());
  std::vector<kvbroker::EventRecord> events = kvtest::eventsNumbered(broker(), 5);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 908);
  EXPECT_EQ(events[0].function, "evaluate()");
  EXPECT_EQ(events[0].traceText, "terminal not attached");
  EXPECT_EQ(events[0].messageSource, u"VTRL-KvPool");
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{"out"});
  EXPECT_EQ(broker().undeletedMessages(), 0);
}

}  // namespace
