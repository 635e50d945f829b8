// Messages through KvPoolNodes in the stand-in broker: routing, events, the
// pool across processes, long and non-ASCII values, the list trees, and the
// output message's single delete on every path, also when the broker raises.
#include <gtest/gtest.h>

#include <string>

#include "node_test_fixture.h"

namespace {

using kvbroker::Fault;
using kvbroker::Message;
using kvbroker::Node;
using kvtest::eventsNumbered;
using kvtest::forkChild;
using kvtest::StepPipe;
using kvtest::waitChild;

class EvaluateTest : public kvtest::PluginTest {
 protected:
  // A KvPoolNode with both output terminals wired to capture nodes.
  struct Flow {
    Node* node;
    Node* out;
    Node* failure;
  };
  Flow flow(const std::string& name, const std::string& script) {
    Node& node = kvNode(name, script);
    Node& out = capture(name + ".out");
    Node& failure = capture(name + ".failure");
    broker().wire(node, "out", out, "in");
    broker().wire(node, "failure", failure, "in");
    return {&node, &out, &failure};
  }
  kvbroker::InjectResult send(Node& node, const std::string& xml) {
    Message message = Message::fromXml(xml);
    return broker().inject(node, "in", message);
  }
  static std::string valueAt(const Message& message, const std::string& path) {
    CciElement* element = kvbroker::findPath(message.root(), path);
    return element != nullptr ? kvbroker::elementValue(element) : "<missing>";
  }
  // Error events of evaluate (lines 848, 852, 884, 900, 908).
  std::vector<kvbroker::EventRecord> evaluateEvents() {
    std::vector<kvbroker::EventRecord> result;
    for (const auto& event : broker().events()) {
      if (event.function == "evaluate()") result.push_back(event);
    }
    return result;
  }
  void expectOutputDeletedOnce(int evaluations = 1) {
    EXPECT_EQ(broker().undeletedMessages(), 0);
    EXPECT_EQ(broker().callCount("cniDeleteMessage"), evaluations);
    EXPECT_EQ(broker().callCount("cniCreateMessage"), evaluations);
  }
};

TEST_F(EvaluateTest, WorkedExampleStoresInOneNodeAndReadsInAnother) {
  Flow store = flow("store", "SET KvPoolOrderId=Body.Order.Id;");
  Flow read = flow("read", "SET OutputRoot.XML.Order.Id=KvPoolOrderId;");
  ASSERT_TRUE(send(*store.node, "<Order><Id>4711</Id></Order>").ok());
  ASSERT_EQ(store.out->captured().size(), 1u);
  EXPECT_TRUE(store.out->captured()[0].finalized);
  EXPECT_EQ(valueAt(store.out->captured()[0].message, "XML.Order.Id"), "4711");

  ASSERT_TRUE(send(*read.node, "<Order><Name>pen</Name></Order>").ok());
  ASSERT_EQ(read.out->captured().size(), 1u);
  const Message& result = read.out->captured()[0].message;
  EXPECT_EQ(valueAt(result, "XML.Order.Id"), "4711");
  EXPECT_EQ(valueAt(result, "XML.Order.Name"), "pen");
  EXPECT_TRUE(read.failure->captured().empty());
  EXPECT_TRUE(evaluateEvents().empty());
}

TEST_F(EvaluateTest, EmptyScriptPropagatesAFinishedCopyAndTracesTheRun) {
  Flow f = flow("n", "");
  const std::size_t offset = kvtest::traceSize();
  ASSERT_TRUE(send(*f.node, "<Order><Id>3</Id></Order>").ok());
  ASSERT_EQ(f.out->captured().size(), 1u);
  EXPECT_TRUE(f.out->captured()[0].finalized);
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order.Id"), "3");
  std::vector<std::string> evaluateLines;
  for (const std::string& line : kvtest::traceLinesSince(offset)) {
    if (line == "-->evaluate" || line.rfind("  retValue", 0) == 0 ||
        line.rfind("  cniPropogate", 0) == 0) {
      evaluateLines.push_back(line);
    }
  }
  // The propagate line shows the broker's result and a return code of 0.
  ASSERT_EQ(evaluateLines.size(), 3u);
  EXPECT_EQ(evaluateLines[0], "-->evaluate");
  EXPECT_EQ(evaluateLines[1], "  retValue of runKvPoolScript 0");
  EXPECT_EQ(evaluateLines[2].rfind("  cniPropogate.. retValue=", 0), 0u);
  EXPECT_TRUE(evaluateLines[2].ends_with(" rc=0")) << evaluateLines[2];
  EXPECT_TRUE(evaluateEvents().empty());
  expectOutputDeletedOnce();
}

TEST_F(EvaluateTest, ValueStoredInOneProcessIsReadInAnother) {
  StepPipe stored, readDone;
  const int storer = forkChild([&]() -> int {
    Flow store = flow("store", "SET KvPoolOrderId=Body.Order.Id;");
    if (!send(*store.node, "<Order><Id>A-4711</Id></Order>").ok()) return 1;
    stored.signal();
    // Keeps its node, and so the pool, until the reader is done.
    return readDone.wait() ? 0 : 2;
  });
  ASSERT_TRUE(stored.wait());
  const int reader = forkChild([&]() -> int {
    Flow read = flow("read", "SET OutputRoot.XML.Order.Id=KvPoolOrderId;");
    if (!send(*read.node, "<Order/>").ok() || read.out->captured().size() != 1) return 1;
    const std::string value = valueAt(read.out->captured()[0].message, "XML.Order.Id");
    if (value != "A-4711") {
      std::fprintf(stderr, "reader got '%s'\n", value.c_str());
      return 2;
    }
    return 0;
  });
  EXPECT_EQ(waitChild(reader), 0);
  readDone.signal();
  EXPECT_EQ(waitChild(storer), 0);
}

TEST_F(EvaluateTest, FailingStatementSendsTheUnchangedInputToFailureWithEvent852) {
  Flow f = flow("n",
                "SET OutputRoot.XML.Order.Done=Body.Order.Id;"
                "SET OutputRoot.XML.Order.Id=InputRoot.XML.missing;");
  ASSERT_TRUE(send(*f.node, "<Order><Id>7</Id></Order>").ok());
  EXPECT_TRUE(f.out->captured().empty());
  ASSERT_EQ(f.failure->captured().size(), 1u);
  const auto& sent = f.failure->captured()[0];
  EXPECT_FALSE(sent.finalized);
  EXPECT_EQ(valueAt(sent.message, "XML.Order.Done"), "<missing>");
  EXPECT_EQ(valueAt(sent.message, "XML.Order.Id"), "7");

  const auto events = evaluateEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 852);
  EXPECT_EQ(events[0].type, CCI_LOG_ERROR);
  EXPECT_EQ(events[0].file, "KvPool");
  EXPECT_EQ(events[0].messageNumber, 1);
  EXPECT_EQ(events[0].messageSource, u"VTRL-KvPool");
  EXPECT_EQ(events[0].traceText, "Vantrel2");
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{"Root.XML.missing"});
  expectOutputDeletedOnce();
}

TEST_F(EvaluateTest, EachFailureCodeCarriesItsOperand) {
  struct Case {
    std::string script;
    int number;
    std::string insert;
  };
  const std::string longName(256, 'n');
  const Case cases[] = {
      {"SET OutputRoot.XML.Order.a=KvPoolNoSuchKey;", 2, "KvPoolNoSuchKey"},
      {"SET OutputRoot.XML.Order.a=Body.Order.nothing;", 1, "Body.Order.nothing"},
      {"SET OutputRoot.XML.Order.a=OutputRoot.XML.Order.nothing;", 1, "Root.XML.Order.nothing"},
      {"SET OutputRoot.XML.Order.a=root.XML.Order.Id;", 1, "root.XML.Order.Id"},
      {"SET OutputRoot.XML.Id=Body.Order.Id;", 3, "Root.XML.Id"},
      {"SET Body.NewTop.x=Body.Order.Id;", 3, "Body.NewTop.x"},
      // Statements that cannot be split into operands fail with code 4.
      {"SET abc;", 4, "abc"},
      {"SET OutputRoot.XML.Order." + longName + "=Body.Order.Id;", 4,
       "OutputRoot.XML.Order." + longName},
      {"SET OutputRoot.XML.Order.x=Body.Order." + longName + ";", 4, "Body.Order." + longName},
  };
  for (const Case& c : cases) {
    Flow f = flow("n", c.script);
    broker().clearEvents();
    broker().resetCallCounts();
    ASSERT_TRUE(send(*f.node, "<Order><Id>7</Id></Order>").ok());
    EXPECT_TRUE(f.out->captured().empty()) << c.script;
    EXPECT_EQ(f.failure->captured().size(), 1u) << c.script;
    const auto events = evaluateEvents();
    ASSERT_EQ(events.size(), 1u) << c.script;
    EXPECT_EQ(events[0].line, 852) << c.script;
    EXPECT_EQ(events[0].messageNumber, c.number) << c.script;
    EXPECT_EQ(events[0].inserts, std::vector<std::string>{c.insert}) << c.script;
    expectOutputDeletedOnce();
    for (Node* node : {f.node, f.out, f.failure}) broker().deleteNode(*node);
  }
}

TEST_F(EvaluateTest, OperandsOf255BytesStillRun) {
  const std::string name(255 - std::string("OutputRoot.XML.Order.").size(), 'm');
  Flow f = flow("n", "SET OutputRoot.XML.Order." + name + "=Body.Order.Id;");
  ASSERT_TRUE(send(*f.node, "<Order><Id>7</Id></Order>").ok());
  ASSERT_EQ(f.out->captured().size(), 1u);
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order." + name), "7");
}

TEST_F(EvaluateTest, FlagsLetMissingValuesThroughAsEmptyText) {
  Flow f = flow("n",
                "SET OutputRoot.XML.Order.a=KvPoolNoSuchKey;"
                "SET OutputRoot.XML.Order.b=InputRoot.XML.missing;");
  broker().setAttribute(*f.node, "messageInsertKeyNotFound", "true");
  broker().setAttribute(*f.node, "messageStoreEltNotFound", "true");
  ASSERT_TRUE(send(*f.node, "<Order><Id>7</Id></Order>").ok());
  ASSERT_EQ(f.out->captured().size(), 1u);
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order.a"), "");
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order.b"), "");
  EXPECT_TRUE(evaluateEvents().empty());
}

TEST_F(EvaluateTest, FullPoolGivesEvent848WithoutInsertAndKeepsEarlierStores) {
  Flow f = flow("n", "SET KvPoolSmall=Body.Doc.small; SET KvPoolBig=Body.Doc.big;");
  const std::string big(5000, 'b');  // more than the default 4096-byte pool
  ASSERT_TRUE(send(*f.node, "<Doc><small>s</small><big>" + big + "</big></Doc>").ok());
  ASSERT_EQ(f.failure->captured().size(), 1u);
  const auto events = evaluateEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 848);
  EXPECT_EQ(events[0].messageNumber, 8);
  EXPECT_TRUE(events[0].inserts.empty());
  expectOutputDeletedOnce();

  Flow read = flow("read", "SET OutputRoot.XML.Doc.copy=KvPoolSmall;");
  ASSERT_TRUE(send(*read.node, "<Doc/>").ok());
  ASSERT_EQ(read.out->captured().size(), 1u);
  EXPECT_EQ(valueAt(read.out->captured()[0].message, "XML.Doc.copy"), "s");
}

// The pool is removed (an operator's forced removal) while a store waits for
// its lock: the message goes to failure with result 5 naming the failed call;
// the next message finds the pool again, and another process reads its store.
TEST_F(EvaluateTest, PoolRemovedUnderAWaitingStoreFailsTheMessageWithResult5) {
  Flow f = flow("n", "SET KvPoolOrderId=Body.Order.Id;");
  StepPipe locked;
  const int remover = forkChild([&]() -> int {
    const int set = semget(kvtest::kSemKey, 3, 0);
    sembuf lock = {0, +1, SEM_UNDO};
    if (semop(set, &lock, 1) != 0) return 1;
    locked.signal();
    while (semctl(set, 0, GETZCNT) < 1) usleep(1000);  // the node's store waits
    shmctl(shmget(kvtest::kShmKey, 0, 0), IPC_RMID, nullptr);
    return semctl(set, 0, IPC_RMID) == 0 ? 0 : 2;
  });
  ASSERT_TRUE(locked.wait());
  ASSERT_TRUE(send(*f.node, "<Order><Id>7</Id></Order>").ok());
  EXPECT_EQ(waitChild(remover), 0);
  EXPECT_TRUE(f.out->captured().empty());
  ASSERT_EQ(f.failure->captured().size(), 1u);
  auto events = evaluateEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 852);
  EXPECT_EQ(events[0].messageNumber, 5);
  EXPECT_EQ(events[0].inserts, std::vector<std::string>{"semop(): Identifier removed"});

  broker().clearEvents();
  ASSERT_TRUE(send(*f.node, "<Order><Id>8</Id></Order>").ok());
  EXPECT_EQ(f.out->captured().size(), 1u);
  EXPECT_TRUE(evaluateEvents().empty());
  EXPECT_EQ(kvtest::freeUserSlots(), 9999) << "the node holds the pool found again";
  const int reader = forkChild([&]() -> int {
    Flow read = flow("read", "SET OutputRoot.XML.Order.Id=KvPoolOrderId;");
    if (!send(*read.node, "<Order/>").ok() || read.out->captured().size() != 1) return 1;
    return valueAt(read.out->captured()[0].message, "XML.Order.Id") == "8" ? 0 : 2;
  });
  EXPECT_EQ(waitChild(reader), 0);
}

TEST_F(EvaluateTest, LongValuesAreReadInFull) {
  Flow f = flow("n",
                "SET KvPoolLong=Body.Doc.v; SET OutputRoot.XML.Doc.viaPool=KvPoolLong;"
                "SET OutputRoot.XML.Doc.direct=Body.Doc.v;"
                "SET OutputRoot.XML.Doc.again=OutputRoot.XML.Doc.direct;");
  for (std::size_t length : {255u, 256u, 257u, 300u, 1000u}) {
    std::string value;
    for (std::size_t i = 0; i < length; ++i) value.push_back(static_cast<char>('a' + i % 26));
    f.out->clearCaptured();
    ASSERT_TRUE(send(*f.node, "<Doc><v>" + value + "</v></Doc>").ok());
    ASSERT_EQ(f.out->captured().size(), 1u) << length;
    const Message& result = f.out->captured()[0].message;
    EXPECT_EQ(valueAt(result, "XML.Doc.viaPool"), value) << length;
    EXPECT_EQ(valueAt(result, "XML.Doc.direct"), value) << length;
    EXPECT_EQ(valueAt(result, "XML.Doc.again"), value) << length;
  }
}

TEST_F(EvaluateTest, NonAsciiNamesAndValuesSurviveThePool) {
  Node& store = kvNode("store");
  broker().setAttribute(store, u"KvPoolExpression", u"SET KvPoolGrüße=Body.Straße.Name;");
  Node& read = kvNode("read");
  broker().setAttribute(read, u"KvPoolExpression", u"SET OutputRoot.XML.Straße.Kopie=KvPoolGrüße;");
  Node& out = capture("out");
  broker().wire(read, "out", out, "in");
  const std::string value = "Grüße aus Köln \xF0\x9F\x98\x80 日本";
  ASSERT_TRUE(send(store, "<Straße><Name>" + value + "</Name></Straße>").ok());
  ASSERT_TRUE(send(read, "<Straße/>").ok());
  ASSERT_EQ(out.captured().size(), 1u);
  EXPECT_EQ(valueAt(out.captured()[0].message, "XML.Straße.Kopie"), value);
}

TEST_F(EvaluateTest, ListTreesAreReadAndWrittenByTheirKeywords) {
  Flow f = flow("n",
                "SET DestinationList.Route.Target=Body.Order.Id;"
                "SET ExceptionList.Info.Text=Body.Order.Id;"
                "SET OutputRoot.XML.Order.Dest=DestinationList.Route.Target;"
                "SET OutputRoot.XML.Order.Exc=InputExceptionList.Info.Text;");
  const kvbroker::InjectResult result = send(*f.node, "<Order><Id>q1</Id></Order>");
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(valueAt(result.destinationList, "Route.Target"), "q1");
  EXPECT_EQ(valueAt(result.exceptionList, "Info.Text"), "q1");
  ASSERT_EQ(f.out->captured().size(), 1u);
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order.Dest"), "q1");
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order.Exc"), "q1");
}

TEST_F(EvaluateTest, UnwiredTerminalsSwallowTheMessage) {
  Node& good = kvNode("good", "SET OutputRoot.XML.Order.b=Body.Order.Id;");
  ASSERT_TRUE(send(good, "<Order><Id>1</Id></Order>").ok());
  EXPECT_TRUE(evaluateEvents().empty());
  EXPECT_EQ(broker().callCount("cniPropagate"), 0);
  expectOutputDeletedOnce();

  Node& bad = kvNode("bad", "SET OutputRoot.XML.Order.b=Body.nothing;");
  ASSERT_TRUE(send(bad, "<Order/>").ok());
  const auto events = evaluateEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 852);
  EXPECT_EQ(broker().callCount("cniPropagate"), 0);
  expectOutputDeletedOnce(2);
}

TEST_F(EvaluateTest, NewScriptSettingReplacesTheOldStatements) {
  Flow f = flow("n", "SET OutputRoot.XML.Order.first=Body.Order.Id;");
  broker().setAttribute(*f.node, "KvPoolExpression",
                        "SET OutputRoot.XML.Order.second=Body.Order.Id;");
  ASSERT_TRUE(send(*f.node, "<Order><Id>9</Id></Order>").ok());
  ASSERT_EQ(f.out->captured().size(), 1u);
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order.first"), "<missing>");
  EXPECT_EQ(valueAt(f.out->captured()[0].message, "XML.Order.second"), "9");
}

TEST_F(EvaluateTest, PropagateRaisingIsRethrownAndTheOutputIsDeletedOnce) {
  Flow f = flow("n", "SET OutputRoot.XML.Order.b=Body.Order.Id;");
  Fault fault;
  fault.call = "cniPropagate";
  fault.traceText = "downstream failed";
  broker().injectFault(fault);
  const kvbroker::InjectResult result = send(*f.node, "<Order><Id>1</Id></Order>");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.exception->traceText, "downstream failed");
  EXPECT_EQ(broker().callCount("cciGetLastExceptionData"), 1);
  EXPECT_EQ(broker().callCount("cciRethrowLastException"), 1);
  EXPECT_TRUE(evaluateEvents().empty());
  expectOutputDeletedOnce();
}

TEST_F(EvaluateTest, PropagateRaisingLogs884WhenTheRethrowReturns) {
  Flow f = flow("n", "");
  Fault fault;
  fault.call = "cniPropagate";
  broker().injectFault(fault);
  broker().setRethrowReturns(true);
  ASSERT_TRUE(send(*f.node, "<Order/>").ok());
  kvbroker::Broker::clearPendingException();
  const auto events = evaluateEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 884);
  EXPECT_EQ(events[0].messageNumber, 6);
  EXPECT_EQ(events[0].messageSource, u"Vantrel2");
  EXPECT_EQ(events[0].traceText, "Message not propagated");
  expectOutputDeletedOnce();
}

TEST_F(EvaluateTest, PropagateFailingWithOtherCodeLogs884) {
  Flow f = flow("n", "");
  Fault fault;
  fault.call = "cniPropagate";
  fault.returnCode = CCI_FAILURE;
  broker().injectFault(fault);
  ASSERT_TRUE(send(*f.node, "<Order/>").ok());
  const auto events = evaluateEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 884);
  EXPECT_EQ(events[0].messageSource, u"Vantrel2");
  EXPECT_EQ(broker().callCount("cciRethrowLastException"), 0);
  expectOutputDeletedOnce();
}

TEST_F(EvaluateTest, TerminalCheckRaisingIsRethrownWithoutFetchingTheRecord) {
  Flow f = flow("n", "");
  Fault fault;
  fault.call = "cniIsTerminalAttached";
  fault.result = 1;
  broker().injectFault(fault);
  const kvbroker::InjectResult result = send(*f.node, "<Order/>");
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(broker().callCount("cciGetLastExceptionData"), 0);
  EXPECT_EQ(broker().callCount("cciRethrowLastException"), 1);
  EXPECT_EQ(broker().callCount("cniPropagate"), 0);
  EXPECT_TRUE(f.out->captured().empty());
  expectOutputDeletedOnce();
}

TEST_F(EvaluateTest, TerminalCheckFailingWithOtherCodeLogs900AndSendsNothing) {
  Flow f = flow("n", "");
  Fault fault;
  fault.call = "cniIsTerminalAttached";
  fault.returnCode = CCI_FAILURE;
  fault.result = 1;
  broker().injectFault(fault);
  ASSERT_TRUE(send(*f.node, "<Order/>").ok());
  const auto events = evaluateEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, 900);
  EXPECT_EQ(events[0].messageNumber, 6);
  EXPECT_EQ(events[0].messageSource, u"VTRL-KvPool");
  EXPECT_TRUE(f.out->captured().empty());
  expectOutputDeletedOnce();
}

TEST_F(EvaluateTest, ExceptionFromANodeFurtherAlongUnwindsBothNodesCleanly) {
  Node& first = kvNode("first", "SET OutputRoot.XML.Order.a=Body.Order.Id;");
  Node& second = kvNode("second", "SET KvPoolSeen=OutputRoot.XML.Order.a;");
  Node& out = capture("out");
  broker().wire(first, "out", second, "in");
  broker().wire(second, "out", out, "in");
  Fault fault;
  fault.call = "cniIsTerminalAttached";
  fault.firstCall = 2;  // the second node's check
  fault.result = 1;
  fault.traceText = "second node raised";
  broker().injectFault(fault);
  const kvbroker::InjectResult result = send(first, "<Order><Id>5</Id></Order>");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.exception->traceText, "second node raised");
  EXPECT_TRUE(out.captured().empty());
  expectOutputDeletedOnce(2);
}

}  // namespace
