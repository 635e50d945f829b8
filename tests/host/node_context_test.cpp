// Node instances through the broker: attribute table and defaults, booleans,
// the trace label, unknown names, and the pool's user count across processes.
#include <gtest/gtest.h>

#include <fstream>

#include "node_test_fixture.h"

namespace {

using kvtest::forkChild;
using kvtest::freeUserSlots;
using kvtest::PluginTest;
using kvtest::poolSegmentExists;
using kvtest::StepPipe;
using kvtest::traceLinesSince;
using kvtest::traceSize;
using kvtest::waitChild;

using NodeContextTest = PluginTest;

TEST_F(NodeContextTest, NewNodeReportsFourAttributesInOrderWithDefaults) {
  kvbroker::Node& node = kvNode("n");
  EXPECT_EQ(broker().attributeNames(node),
            (std::vector<std::string>{"KvPoolExpression", "messageStoreEltNotFound",
                                      "messageInsertKeyNotFound", "messgaeRestore"}));
  EXPECT_EQ(broker().getAttribute(node, "KvPoolExpression"), "");
  for (const char* name :
       {"messageStoreEltNotFound", "messageInsertKeyNotFound", "messgaeRestore"}) {
    EXPECT_EQ(broker().getAttribute(node, name), "false") << name;
  }
  EXPECT_EQ(node.inputTerminals(), std::vector<std::string>{"in"});
  EXPECT_EQ(node.outputTerminals(), (std::vector<std::string>{"out", "failure"}));
}

TEST_F(NodeContextTest, BooleanIsFalseOnlyForTheExactWordFalse) {
  kvbroker::Node& node = kvNode("n");
  const std::pair<const char*, const char*> cases[] = {
      {"true", "true"}, {"false", "false"}, {"FALSE", "true"},  {"0", "true"},
      {"no", "true"},   {"", "true"},       {"false", "false"}, {"false ", "true"}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(broker().setAttribute(node, "messgaeRestore", text), 0);
    EXPECT_EQ(broker().getAttribute(node, "messgaeRestore"), expected) << "'" << text << "'";
  }
}

TEST_F(NodeContextTest, UnknownNamesAreRefusedAndChangeNothing) {
  kvbroker::Node& node = kvNode("n");
  EXPECT_EQ(broker().setAttribute(node, "messageRestore", "true"), 1);
  EXPECT_EQ(broker().setAttribute(node, "kvpoolexpression", "SET a=b;"), 1);
  EXPECT_EQ(broker().getAttribute(node, "messageRestore"), std::nullopt);
  EXPECT_EQ(broker().getAttribute(node, "label"), std::nullopt);
  EXPECT_EQ(broker().getAttribute(node, "KvPoolExpression"), "");
  EXPECT_EQ(broker().getAttribute(node, "messgaeRestore"), "false");
}

TEST_F(NodeContextTest, LongScriptReadsBackWhole) {
  kvbroker::Node& node = kvNode("n");
  std::string script;
  for (int i = 0; script.size() < 600; ++i) {
    script += "SET OutputRoot.XML.f" + std::to_string(i) + "=Body.a;";
  }
  broker().setAttribute(node, "KvPoolExpression", script);
  EXPECT_EQ(broker().getAttribute(node, "KvPoolExpression", 1000), script);
}

TEST_F(NodeContextTest, LabelPrefixesLaterTraceLinesOfEveryNode) {
  kvbroker::Node& first = kvNode("first");
  kvbroker::Node& second = kvNode("second");
  const std::size_t offset = traceSize();
  EXPECT_EQ(broker().setAttribute(first, "label", "Flow A"), 1);
  broker().getAttribute(second, "messgaeRestore");
  EXPECT_EQ(broker().setAttribute(second, "label", "Fluß B"), 1);
  broker().getAttribute(first, "messgaeRestore");
  EXPECT_EQ(traceLinesSince(offset),
            (std::vector<std::string>{"  setAttribute attrValue Flow A", "[Flow A]-->getAttribute",
                                      "[Flow A]  setAttribute attrValue Fluß B",
                                      "[Fluß B]-->getAttribute"}));
}

TEST_F(NodeContextTest, NodesMoveTheUserSlotsAndTheLastOneRemovesThePool) {
  kvbroker::Node& first = kvNode("first");
  EXPECT_EQ(freeUserSlots(), 9999);
  EXPECT_EQ(poolUsers(), 1);
  kvbroker::Node& second = kvNode("second");
  EXPECT_EQ(freeUserSlots(), 9998);
  EXPECT_EQ(poolUsers(), 2);
  broker().deleteNode(first);
  EXPECT_EQ(freeUserSlots(), 9999);
  EXPECT_EQ(poolUsers(), 1);
  EXPECT_TRUE(poolSegmentExists());
  broker().deleteNode(second);
  EXPECT_EQ(poolUsers(), 0);
  EXPECT_EQ(freeUserSlots(), std::nullopt);
  EXPECT_FALSE(poolSegmentExists());
}

TEST_F(NodeContextTest, NodesInTwoProcessesShareTheSlotsAndTheLastProcessRemovesThePool) {
  StepPipe childCreated, parentCreated, childDeleted;
  const int pid = forkChild([&]() -> int {
    kvbroker::Node& node = kvNode("child");
    if (freeUserSlots() != 9999 || poolUsers() != 1) return 1;
    childCreated.signal();
    if (!parentCreated.wait()) return 2;
    broker().deleteNode(node);
    // The parent's node keeps the pool alive.
    if (poolUsers() != 0 || freeUserSlots() != 9999 || !poolSegmentExists()) return 3;
    childDeleted.signal();
    return 0;
  });
  ASSERT_TRUE(childCreated.wait());
  kvbroker::Node& node = kvNode("parent");
  EXPECT_EQ(freeUserSlots(), 9998);
  EXPECT_EQ(poolUsers(), 1);
  parentCreated.signal();
  ASSERT_TRUE(childDeleted.wait());
  EXPECT_EQ(waitChild(pid), 0);
  EXPECT_EQ(freeUserSlots(), 9999);
  broker().deleteNode(node);
  EXPECT_EQ(freeUserSlots(), std::nullopt);
  EXPECT_FALSE(poolSegmentExists());
}

TEST_F(NodeContextTest, DeletingANullContextGivesNoSlotBack) {
  kvNode("live");
  auto* deleteContext = pluginSymbol<void(CciContext*)>("deleteNodeContext");
  deleteContext(nullptr);
  EXPECT_EQ(poolUsers(), 1);
  EXPECT_EQ(freeUserSlots(), 9999);
  EXPECT_TRUE(poolSegmentExists());
}

// Segments larger than this namespace's limit cannot be created, so the pool
// is unavailable (the test runs in its own IPC namespace).
class ShmLimit {
 public:
  explicit ShmLimit(const char* value) {
    std::ifstream("/proc/sys/kernel/shmmax") >> saved_;
    std::ofstream("/proc/sys/kernel/shmmax") << value;
  }
  ~ShmLimit() { std::ofstream("/proc/sys/kernel/shmmax") << saved_; }

 private:
  std::string saved_;
};

TEST_F(NodeContextTest, RefusedCreationRaisesEvent9AndTakesNoUserSlot) {
  {
    ShmLimit limit("1024");
    try {
      kvNode("refused");
      FAIL() << "creation was not refused";
    } catch (const kvbroker::CallbackRefused& refused) {
      EXPECT_EQ(refused.record().type, CCI_CONFIGURATION_EXCEPTION);
      EXPECT_EQ(refused.record().line, 415);
      EXPECT_EQ(refused.record().function, "createNodeContext");
      EXPECT_EQ(refused.record().messageNumber, 9);
      EXPECT_EQ(refused.record().messageSource, u"VTRL-KvPool");
    }
    const auto events = kvtest::eventsNumbered(broker(), 9);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].line, 414);
    EXPECT_EQ(events[0].type, CCI_LOG_ERROR);
    EXPECT_EQ(poolUsers(), 0);
    EXPECT_EQ(freeUserSlots(), 10000);
    EXPECT_EQ(broker().findNode("refused"), nullptr);
  }
  // Once segments fit again a node attaches normally.
  kvNode("accepted");
  EXPECT_EQ(poolUsers(), 1);
  EXPECT_EQ(freeUserSlots(), 9999);
}

}  // namespace
