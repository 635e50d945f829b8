// Plug-in loading and flows through the stand-in broker, with the echo test
// plug-in (tests/host/broker_echo_plugin.cpp) and the built-in nodes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "broker/Broker.h"

namespace {

using kvbroker::BrokerError;
using kvbroker::CallbackRefused;
using kvbroker::Fault;
using kvbroker::Message;
using kvbroker::Node;

const char kOrder[] = "<Order><Id>A-1</Id></Order>";

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(BrokerPluginLoading, MissingLibraryNamesTheFileAndTheSystemReason) {
  kvbroker::Broker broker;
  std::string what = errorOf([&] { broker.loadPlugin("/nonexistent/libNothing.so"); });
  EXPECT_EQ(what.rfind("load plug-in /nonexistent/libNothing.so: dlopen failed: ", 0), 0u) << what;
  EXPECT_NE(what.find("No such file"), std::string::npos) << what;
}

TEST(BrokerPluginLoading, LibraryWithoutTheEntryIsRefusedByName) {
  kvbroker::Broker broker;
  std::string what = errorOf([&] { broker.loadPlugin(KVBROKER_NOENTRY_PLUGIN_PATH); });
  EXPECT_NE(what.find("entry symbol vtrGetMessageflowNodeFactory not found"), std::string::npos)
      << what;
  EXPECT_TRUE(broker.plugins().empty());
}

TEST(BrokerPluginLoading, AnEntryThatThrowsLeavesNoClassBehind) {
  kvbroker::Broker broker;
  EXPECT_THROW(broker.loadPlugin(KVBROKER_THROWING_PLUGIN_PATH), std::runtime_error);
  EXPECT_EQ(broker.nodeClassTable("EchoNode"), nullptr);
  EXPECT_TRUE(broker.plugins().empty());
}

TEST(BrokerPluginLoading, DefinesValidClassesAndRefusesABadTable) {
  kvbroker::Broker broker;
  const auto& plugin = broker.loadPlugin(KVBROKER_ECHO_PLUGIN_PATH);
  EXPECT_NE(plugin.factory, nullptr);
  EXPECT_EQ(plugin.classNames, std::vector<std::string>{"EchoNode"});
  auto classes = broker.nodeClassNames();
  EXPECT_NE(std::find(classes.begin(), classes.end(), "EchoNode"), classes.end());
  EXPECT_EQ(std::find(classes.begin(), classes.end(), "BrokenNode"), classes.end());
  const CniNodeFunctionTable* table = broker.nodeClassTable("EchoNode");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(std::memcmp(table->eyeCatcher, "NVFT", 4), 0);
  auto diagnostics = broker.diagnostics();
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0], "define node class BrokenNode: callback table version is not 1");
  ASSERT_EQ(broker.eventCount(), 1u);
  EXPECT_EQ(broker.events()[0].traceText, "echo plug-in loading");
}

TEST(BrokerPluginLoading, RefusedFactoryWithoutExceptionDefinesNoClass) {
  kvbroker::Broker broker;
  broker.injectFault("cniCreateNodeFactory", CCI_FAILURE);
  std::string what = errorOf([&] { broker.loadPlugin(KVBROKER_ECHO_PLUGIN_PATH); });
  EXPECT_NE(what.find("vtrGetMessageflowNodeFactory returned no factory"), std::string::npos)
      << what;
  EXPECT_EQ(broker.callCount("cniDefineNodeClass"), 0);
  EXPECT_EQ(broker.callCount("cciRethrowLastException"), 0);
}

TEST(BrokerPluginLoading, RefusedFactoryWithExceptionReachesTheBroker) {
  kvbroker::Broker broker;
  Fault fault;
  fault.call = "cniCreateNodeFactory";
  fault.traceText = "no factories today";
  broker.injectFault(fault);
  try {
    broker.loadPlugin(KVBROKER_ECHO_PLUGIN_PATH);
    FAIL() << "load succeeded";
  } catch (const CallbackRefused& refused) {
    EXPECT_EQ(refused.record().function, "cniCreateNodeFactory");
    EXPECT_EQ(refused.record().traceText, "no factories today");
  }
  EXPECT_EQ(broker.callCount("cciGetLastExceptionData"), 1);
  EXPECT_EQ(broker.callCount("cciRethrowLastException"), 1);
  EXPECT_EQ(broker.callCount("cniDefineNodeClass"), 0);
}

class BrokerFlowTest : public ::testing::Test {
 protected:
  void SetUp() override { broker.loadPlugin(KVBROKER_ECHO_PLUGIN_PATH); }
  kvbroker::Broker broker;
};

TEST_F(BrokerFlowTest, NodeGetsTerminalsAndAttributes) {
  Node& echo = broker.createNode("EchoNode", "e1");
  EXPECT_EQ(echo.inputTerminals(), std::vector<std::string>{"in"});
  EXPECT_EQ(echo.outputTerminals(), (std::vector<std::string>{"out", "failure"}));
  EXPECT_NE(echo.context(), nullptr);
  EXPECT_EQ(broker.attributeNames(echo), (std::vector<std::string>{"mode", "stamp"}));
  EXPECT_EQ(broker.getAttribute(echo, "mode"), "echo");
  EXPECT_EQ(broker.setAttribute(echo, "stamp", "s\xC3\xA9"), 0);
  EXPECT_EQ(broker.getAttribute(echo, "stamp"), "s\xC3\xA9");
  EXPECT_EQ(broker.setAttribute(echo, "nothing", "x"), 1);
  EXPECT_EQ(broker.getAttribute(echo, "nothing"), std::nullopt);
  EXPECT_THROW(broker.createNode("EchoNode", "e1"), BrokerError);
  EXPECT_EQ(errorOf([&] { broker.createNode("NoSuchNode", "n"); }),
            "create node n of class NoSuchNode: no such node class");
}

TEST_F(BrokerFlowTest, RefusedConfigurationCarriesTheExceptionFields) {
  Node& echo = broker.createNode("EchoNode", "e1");
  try {
    broker.setAttribute(echo, "mode", "bogus");
    FAIL() << "configuration accepted";
  } catch (const CallbackRefused& refused) {
    EXPECT_EQ(refused.record().messageNumber, 10);
    EXPECT_STREQ(refused.what(),
                 "set attribute mode of node e1: refused: CONFIGURATION 10 ECHO Echo:60 "
                 "setAttribute: unknown mode [bogus]");
  }
  EXPECT_EQ(broker.getAttribute(echo, "mode"), "echo");
}

TEST_F(BrokerFlowTest, RefusedNodeCreationLeavesNoNode) {
  try {
    broker.createNode("EchoNode", "refuse");
    FAIL() << "creation accepted";
  } catch (const CallbackRefused& refused) {
    EXPECT_EQ(refused.record().messageNumber, 21);
    EXPECT_EQ(refused.record().inserts, std::vector<std::string>{"refuse"});
  }
  EXPECT_EQ(broker.findNode("refuse"), nullptr);
}

TEST_F(BrokerFlowTest, PropagateDeliversAFinishedCopyDownstream) {
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& capture = broker.createNode(kvbroker::kCaptureNodeClass, "c");
  broker.setAttribute(echo, "stamp", "s1");
  broker.wire(echo, "out", capture, "in");
  int rc = -1;
  EXPECT_EQ(cniIsTerminalAttached(&rc, echo.findTerminal("out")), 1);
  EXPECT_EQ(cniIsTerminalAttached(&rc, echo.findTerminal("failure")), 0);

  Message message = Message::fromXml(kOrder);
  auto result = broker.inject(echo, "in", message);
  EXPECT_TRUE(result.ok());
  ASSERT_EQ(capture.captured().size(), 1u);
  const auto& received = capture.captured()[0];
  EXPECT_TRUE(received.finalized);
  EXPECT_NE(received.xml.find("<Stamp>s1</Stamp>"), std::string::npos) << received.xml;
  EXPECT_EQ(kvbroker::elementValue(kvbroker::findPath(received.message.root(), "XML.Order.Stamp")),
            "s1");
  // The input message is unchanged, the output copy is gone.
  EXPECT_EQ(kvbroker::findPath(message.root(), "XML.Order.Stamp"), nullptr);
  EXPECT_EQ(broker.callCount("cniDeleteMessage"), 1);
  EXPECT_EQ(broker.undeletedMessages(), 0);
}

TEST_F(BrokerFlowTest, CaptureNodeThatKeepsCountOnlyCountsWhatItReceives) {
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& keeper = broker.createNode(kvbroker::kCaptureNodeClass, "keeper");
  Node& counter = broker.createNode(kvbroker::kCaptureNodeClass, "counter");
  EXPECT_EQ(broker.attributeNames(counter), std::vector<std::string>{"keep"});
  EXPECT_EQ(broker.getAttribute(counter, "keep"), "messages");
  broker.setAttribute(counter, "keep", "count");
  EXPECT_EQ(broker.getAttribute(counter, "keep"), "count");
  broker.wire(echo, "out", keeper, "in");
  broker.wire(echo, "out", counter, "in");
  Message message = Message::fromXml(kOrder);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(broker.inject(echo, "in", message).ok());
  EXPECT_EQ(keeper.captured().size(), 3u);
  EXPECT_EQ(keeper.receivedCount(), 3);
  EXPECT_TRUE(counter.captured().empty());
  EXPECT_EQ(counter.receivedCount(), 3);
  counter.clearCaptured();
  EXPECT_EQ(counter.receivedCount(), 0);
  EXPECT_EQ(echo.receivedCount(), 0);
}

TEST_F(BrokerFlowTest, UnwiredTerminalSwallowsTheMessage) {
  Node& echo = broker.createNode("EchoNode", "e1");
  Message message = Message::fromXml(kOrder);
  auto result = broker.inject(echo, "in", message);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(broker.callCount("cniPropagate"), 1);
  EXPECT_EQ(broker.undeletedMessages(), 0);
}

TEST_F(BrokerFlowTest, FailureTerminalGetsTheInputMessage) {
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& capture = broker.createNode(kvbroker::kCaptureNodeClass, "c");
  broker.setAttribute(echo, "mode", "fail");
  broker.wire("e1", "failure", "c", "in");
  Message message = Message::fromXml(kOrder);
  EXPECT_TRUE(broker.inject(echo, "in", message).ok());
  ASSERT_EQ(capture.captured().size(), 1u);
  EXPECT_FALSE(capture.captured()[0].finalized);
  EXPECT_EQ(capture.captured()[0].xml, message.toXml());
}

TEST_F(BrokerFlowTest, ExceptionDownstreamUnwindsThroughThePlugInToTheInjector) {
  Node& first = broker.createNode("EchoNode", "first");
  Node& second = broker.createNode("EchoNode", "second");
  broker.setAttribute(second, "mode", "throw");
  broker.wire(first, "out", second, "in");
  Message message = Message::fromXml(kOrder);
  auto result = broker.inject(first, "in", message);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.exception->messageNumber, 30);
  EXPECT_EQ(result.exception->function, "evaluate");
  // The first node saw rc 64, fetched the record and rethrew; its output
  // message was released while the exception unwound.
  EXPECT_EQ(broker.callCount("cciGetLastExceptionData"), 1);
  EXPECT_EQ(broker.callCount("cciRethrowLastException"), 1);
  EXPECT_EQ(broker.undeletedMessages(), 0);
}

TEST_F(BrokerFlowTest, InjectedPropagateFaultsDriveBothFailurePaths) {
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& capture = broker.createNode(kvbroker::kCaptureNodeClass, "c");
  broker.wire(echo, "out", capture, "in");
  Message message = Message::fromXml(kOrder);

  broker.injectFault("cniPropagate");
  auto result = broker.inject(echo, "in", message);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.exception->function, "cniPropagate");

  broker.clearFaults();
  broker.resetCallCounts();
  broker.injectFault("cniPropagate", CCI_FAILURE);
  EXPECT_TRUE(broker.inject(echo, "in", message).ok());
  ASSERT_EQ(broker.eventCount(), 2u);  // the load event, then "not propagated"
  EXPECT_EQ(broker.events()[1].traceText, "Message not propagated");
  EXPECT_TRUE(capture.captured().empty());
  EXPECT_EQ(broker.callCount("cniDeleteMessage"), 1);
}

TEST_F(BrokerFlowTest, DeletingANodeUnwiresIt) {
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& capture = broker.createNode(kvbroker::kCaptureNodeClass, "c");
  broker.wire(echo, "out", capture, "in");
  broker.deleteNode(capture);
  EXPECT_EQ(broker.findNode("c"), nullptr);
  EXPECT_EQ(cniIsTerminalAttached(nullptr, echo.findTerminal("out")), 0);
  EXPECT_EQ(errorOf([&] { broker.wire(echo, "nowhere", echo, "in"); }),
            "wire e1.nowhere to e1.in: node e1 has no output terminal nowhere");
}

TEST_F(BrokerFlowTest, WiringLoopEndsWithAnException) {
  Node& echo = broker.createNode("EchoNode", "loop");
  broker.wire(echo, "out", echo, "in");
  Message message = Message::fromXml(kOrder);
  auto result = broker.inject(echo, "in", message);
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.exception->traceText.find("wired in a loop"), std::string::npos);
  EXPECT_EQ(broker.undeletedMessages(), 0);
}

TEST_F(BrokerFlowTest, OutputNodeWritesOneNumberedFilePerMessage) {
  char directory[] = "/tmp/broker-output-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& output = broker.createNode(kvbroker::kOutputNodeClass, "out");
  EXPECT_EQ(broker.setAttribute(output, "directory", directory), 0);
  broker.wire(echo, "out", output, "in");
  Message first = Message::fromXml("<a>1</a>");
  Message second = Message::fromXml("<a>2</a>");
  EXPECT_TRUE(broker.inject(echo, "in", first).ok());
  EXPECT_TRUE(broker.inject(echo, "in", second).ok());
  for (const auto& [name, text] : {std::pair{"/message-000001.xml", "<a>1</a>"},
                                   std::pair{"/message-000002.xml", "<a>2</a>"}}) {
    std::ifstream file(std::string(directory) + name);
    ASSERT_TRUE(file) << name;
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_NE(content.str().find(text), std::string::npos) << content.str();
    struct stat written {};
    EXPECT_TRUE(::stat((directory + std::string(name)).c_str(), &written) == 0 &&
                (written.st_mode & 07777) == 0644);
  }
  // Only a regular file of one name is replaced: a planted link stays, and
  // what it points to is untouched.
  const std::string planted = std::string(directory) + "/message-000003.xml";
  ASSERT_EQ(::symlink("/etc/hostname", planted.c_str()), 0);
  auto refused = broker.inject(echo, "in", first);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.exception->traceText.find("not a regular file"), std::string::npos);
  struct stat status {};
  EXPECT_TRUE(::lstat(planted.c_str(), &status) == 0 && S_ISLNK(status.st_mode));
  // A directory that cannot be written fails the flow with the reason.
  broker.setAttribute(output, "directory", "/nonexistent");
  auto result = broker.inject(echo, "in", first);
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.exception->traceText.find("/nonexistent/message-000004.xml"), std::string::npos)
      << result.exception->traceText;
}

TEST_F(BrokerFlowTest, OutputNodeLogsAndSkipsAMessageThatIsNotXml) {
  char directory[] = "/tmp/broker-output-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& output = broker.createNode(kvbroker::kOutputNodeClass, "out");
  Node& capture = broker.createNode(kvbroker::kCaptureNodeClass, "c");
  broker.setAttribute(output, "directory", directory);
  broker.wire(echo, "out", output, "in");
  broker.wire(echo, "out", capture, "in");
  Message bad = Message::fromXml(kOrder);
  kvbroker::addChild(kvbroker::findPath(bad.root(), "XML.Order"), "a<b>c", "1");
  Message good = Message::fromXml(kOrder);

  // The message fails, not the flow: it goes on to the next node.
  broker.clearEvents();
  EXPECT_TRUE(broker.inject(echo, "in", bad).ok());
  ASSERT_EQ(broker.events().size(), 1u);
  const auto event = broker.events()[0];
  EXPECT_EQ(event.messageNumber, kvbroker::kEventMessageNotWritten);
  EXPECT_EQ(event.messageSource, u"KvBroker");
  ASSERT_EQ(event.inserts.size(), 3u);
  EXPECT_EQ(event.inserts[0], "out");
  EXPECT_EQ(event.inserts[1], "XML.Order.a<b>c");
  ASSERT_EQ(capture.captured().size(), 1u);
  EXPECT_EQ(capture.captured()[0].xml, "");
  EXPECT_NE(capture.captured()[0].xmlError.find("a<b>c"), std::string::npos);

  EXPECT_TRUE(broker.inject(echo, "in", good).ok());
  std::vector<std::string> files;
  for (const char* name : {"/message-000001.xml", "/message-000002.xml"}) {
    if (std::ifstream(std::string(directory) + name)) files.push_back(name);
  }
  EXPECT_EQ(files, std::vector<std::string>{"/message-000001.xml"});
}

TEST_F(BrokerFlowTest, ForkedProcessesRunTheirOwnCopyOfTheFlow) {
  Node& echo = broker.createNode("EchoNode", "e1");
  Node& capture = broker.createNode(kvbroker::kCaptureNodeClass, "c");
  broker.wire(echo, "out", capture, "in");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Message message = Message::fromXml(kOrder);
    bool ok = broker.inject(echo, "in", message).ok() && capture.captured().size() == 1;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(capture.captured().empty());
}

}  // namespace
