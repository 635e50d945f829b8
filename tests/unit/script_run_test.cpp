// Script execution on a node's own context: every operand form of a compiled
// statement, its trace, operand splitting, unreadable flags, and evaluate's
// event for a terminal the node lacks.
#include <gtest/gtest.h>
#include <sys/sem.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "node/NodeInternal.h"
#include "node_test_fixture.h"
#include "pool/KvPoolShm.h"
#include "script/PoolScript.h"
#include "support/test_files.h"

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
    kvpool::storeScriptFlags(contextOf(node));
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

// The value of a pool key, or "<none>".
std::string poolValue(const std::string& key) {
  PoolBlockRequest request{};
  if (getKvPoolDataBlock(&request, key.c_str()) != 0) return "<none>";
  std::string value = request.value;
  std::free(request.value);
  return value;
}

constexpr char kRunInput[] =
    "<Order><Id>A1</Id><Line><Qty>1</Qty></Line><Line><Qty>2</Qty></Line>"
    "<Name>Gr\xC3\xB6\xC3\x9F"
    "e</Name><Folder><Inner>i</Inner></Folder></Order>";

// Every operand form on both sides, run against one message: the result,
// the failing operand, and where the value lands (a pool key, or a path
// below the output message's root).
TEST_F(ScriptRunTest, EachOperandFormRunsAsItsStatementSays) {
  const std::string longValue = std::string(300, 'L') + "\xC3\xA9";
  const std::string longName(250, 'p');
  struct Case {
    std::string script;
    int result;
    std::string failing;
    std::string at;  // "KvPool..." or an output path
    std::string value;
  };
  const Case cases[] = {
      {"SET KvPoolA = Body.Order.Id;", 0, "<none>", "KvPoolA", "A1"},
      {"SET KvPoolA = InputRoot.XML.Order.Line[2].Qty;", 0, "<none>", "KvPoolA", "2"},
      {"SET KvPoolA = Root.XML.Order.Folder;", 0, "<none>", "KvPoolA", "i"},
      {"SET KvPoolA = Body.Order.Name; SET OutputRoot.XML.Order.Copy = KvPoolA;", 0, "<none>",
       "XML.Order.Copy",
       "Gr\xC3\xB6\xC3\x9F"
       "e"},
      {"SET OutputRoot.XML.Order.Copy = InputBody.Order.Name;", 0, "<none>", "XML.Order.Copy",
       "Gr\xC3\xB6\xC3\x9F"
       "e"},
      {"SET Root.XML.Order.Id = Body.Order.Line.Qty;", 0, "<none>", "XML.Order.Id", "1"},
      {"SET OutputRoot.XML.Order.Copy = Body.Order.Id; SET KvPoolB = OutputRoot.XML.Order.Copy;", 0,
       "<none>", "KvPoolB", "A1"},
      {"SET ExceptionList.Err.Text = Body.Order.Id;"
       "SET OutputRoot.XML.Order.E = OutputExceptionList.Err.Text;",
       0, "<none>", "XML.Order.E", "A1"},
      {"SET KvPoolL = Body.Order.Long; SET OutputRoot.XML.Order.L = KvPoolL;", 0, "<none>",
       "XML.Order.L", longValue},
      {"SET OutputRoot.XML.Order.L = Body.Order.Long; SET KvPoolL = OutputRoot.XML.Order.L;", 0,
       "<none>", "KvPoolL", longValue},
      {"SET OutputRoot.Audit.By = KvPoolMissing;", 2, "KvPoolMissing", "Audit.By", "<none>"},
      {"SET KvPoolA = Body.Order.Missing;", 1, "Body.Order.Missing", "KvPoolA", "<none>"},
      {"SET KvPoolA = OutputRoot.XML.Order.Line[0];", 1, "Root.XML.Order.Line[0]", "KvPoolA",
       "<none>"},
      {"SET KvPoolA = InputFoo.Id;", 1, "Foo.Id", "KvPoolA", "<none>"},
      {"SET OutputRoot.XML.New = Body.Order.Id;", 3, "Root.XML.New", "XML.New", "<none>"},
      {"SET Body.Order.Line[3].Qty = Body.Order.Id;", 3, "Body.Order.Line[3].Qty", "", "<none>"},
      {"SET Foo.x = Body.Order.Id;", 3, "Foo.x", "", "<none>"},
      {"SET KvPoolA;", 4, "KvPoolA", "KvPoolA", "<none>"},
      {"SET KvPoolA = Body.Order." + longName + ";", 4, "Body.Order." + longName, "KvPoolA",
       "<none>"},
  };
  for (const Case& c : cases) {
    kvbroker::Node& node = kvNode("n");
    setScript(node, c.script);
    Message input = Message::fromXml(kRunInput);
    kvbroker::addChild(kvbroker::findPath(input.root(), "XML.Order"), "Long", longValue);
    Message output = input.copy();
    std::string failing;
    EXPECT_EQ(run(node, input, output, failing), c.result) << c.script;
    EXPECT_EQ(failing, c.failing) << c.script;
    if (c.at.rfind("KvPool", 0) == 0) {
      EXPECT_EQ(poolValue(c.at), c.value) << c.script;
    } else if (!c.at.empty()) {
      CciElement* element = kvbroker::findPath(output.root(), c.at);
      EXPECT_EQ(element != nullptr ? kvbroker::elementValue(element) : "<none>", c.value)
          << c.script;
    }
    broker().deleteNode(node);
  }
}

// The trace of a compiled run, line for line as a run has always written
// it; the pool's own lines inside a get or a store are left out here.
TEST_F(ScriptRunTest, CompiledRunTracesEachStatementAsWritten) {
  kvbroker::Node& node = kvNode("n");
  setScript(node,
            "SET KvPoolA = InputRoot.XML.Order.Id;"
            "SET OutputRoot.XML.Order.Copy = KvPoolA;"
            "SET Root.XML.Order.Name = OutputRoot.XML.Order.Copy;"
            "SET KvPoolB = Body.Order.Missing;");
  broker().setAttribute(node, "messageStoreEltNotFound", "true");
  Message input = Message::fromXml(kRunInput);
  Message output = input.copy();
  const std::size_t offset = kvtest::readFile(kvtest::kTracePath).size();
  std::string failing;
  ASSERT_EQ(run(node, input, output, failing), SCRIPT_OK);
  const std::vector<std::string> scriptLines = {
      "  COMMAND ->[KvPoolA=InputRoot.XML.Order.Id]",
      "-->getOperandsOfPoolScript",
      "  l=[KvPoolA],r=[InputRoot.XML.Order.Id]",
      "  cniElementCharacterValue [A1]",
      "-->storeKvPoolDataBlock",
      "  COMMAND ->[OutputRoot.XML.Order.Copy=KvPoolA]",
      "-->getOperandsOfPoolScript",
      "  l=[OutputRoot.XML.Order.Copy],r=[KvPoolA]",
      "-->getKvPoolDataBlock",
      "  lOperand Output.. Root.XML.Order.Copy",
      "  data [A1]",
      "  going to free the ev !!",
      "  COMMAND ->[Root.XML.Order.Name=OutputRoot.XML.Order.Copy]",
      "-->getOperandsOfPoolScript",
      "  l=[Root.XML.Order.Name],r=[OutputRoot.XML.Order.Copy]",
      "  Output.. Root.XML.Order.Copy",
      "  cniElementCharacterValue [A1]",
      "  data [A1]",
      "  going to free the ev !!",
      "  COMMAND ->[KvPoolB=Body.Order.Missing]",
      "-->getOperandsOfPoolScript",
      "  l=[KvPoolB],r=[Body.Order.Missing]",
      "  runKvPoolscript-element not found",
      "-->storeKvPoolDataBlock",
  };
  const std::string trace = kvtest::readFile(kvtest::kTracePath).substr(offset);
  std::vector<std::string> lines;
  bool inPool = false;
  for (std::size_t start = 0; start < trace.size();) {
    const std::size_t end = trace.find('\n', start);
    const std::string line = trace.substr(start, end - start);
    start = end + 1;
    // A get or a store runs from its entry line to the lock's release.
    if (line == "-->getKvPoolDataBlock" || line == "-->storeKvPoolDataBlock") {
      lines.push_back(line);
      inPool = true;
    } else if (line == "-->sem_RUnLock" || line == "-->sem_WUnLock") {
      inPool = false;
    } else if (!inPool && line.rfind("-->getBoolAttribute", 0) != 0 &&
               line.rfind("  iNull", 0) != 0 && line != "-->runKvPoolscript") {
      lines.push_back(line);
    }
  }
  EXPECT_EQ(lines, scriptLines);
}

// The flags are kept when they are set: a run reads no attribute, and
// takes each flag as last set.
TEST_F(ScriptRunTest, RunTakesTheFlagsAsLastSetWithoutReadingAttributes) {
  kvbroker::Node& node = kvNode("n");
  setScript(node, "SET OutputRoot.XML.Doc.y=Body.Doc.missing;");
  const struct {
    const char* storeEltNotFound;
    const char* insertKeyNotFound;
    int result;
    const char* flagLines;
  } kSettings[] = {
      {"true", "true", SCRIPT_OK, "  iNullShmAllow=1\n  iNullEltAllow=1\n"},
      {"false", "true", SCRIPT_ELEMENT_NOT_FOUND, "  iNullShmAllow=0\n  iNullEltAllow=1\n"},
      {"true", "false", SCRIPT_OK, "  iNullShmAllow=1\n  iNullEltAllow=0\n"},
  };
  for (const auto& setting : kSettings) {
    broker().setAttribute(node, "messageStoreEltNotFound", setting.storeEltNotFound);
    broker().setAttribute(node, "messageInsertKeyNotFound", setting.insertKeyNotFound);
    Message input = Message::fromXml("<Doc/>");
    Message output = input.copy();
    const std::size_t offset = kvtest::readFile(kvtest::kTracePath).size();
    std::string failing;
    EXPECT_EQ(run(node, input, output, failing), setting.result);
    const std::string trace = kvtest::readFile(kvtest::kTracePath).substr(offset);
    EXPECT_EQ(trace.rfind(std::string("-->runKvPoolscript\n") + setting.flagLines, 0), 0u) << trace;
    EXPECT_EQ(trace.find("-->getBoolAttribute"), std::string::npos) << trace;
  }
}

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

// A list entry made by hand, without its compiled form, runs all the same.
TEST_F(ScriptRunTest, EntryWithoutCompiledFormIsCompiledForItsRun) {
  auto* entry = static_cast<PoolScriptEntry*>(std::calloc(1, sizeof(PoolScriptEntry)));
  entry->statement = strdup("OutputRoot.XML.Doc.y=Body.Doc.a");
  PoolScriptEntry* head = entry;
  Message input = Message::fromXml("<Doc><a>1</a></Doc>");
  Message output = input.copy();
  Message exceptionList, destinationList;
  char* errorText = nullptr;
  EXPECT_EQ(kvpool::runPoolScript(head, {0, 0}, input.handle(), exceptionList.handle(),
                                  destinationList.handle(), output.handle(), &errorText),
            SCRIPT_OK);
  EXPECT_EQ(errorText, nullptr);
  EXPECT_EQ(kvbroker::elementValue(kvbroker::findPath(output.root(), "XML.Doc.y")), "1");
  EXPECT_EQ(entry->compiled, nullptr);
  kvpool::releasePoolScript(&head);
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
