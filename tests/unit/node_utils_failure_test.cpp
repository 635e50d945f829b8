// Warnings, information events and exceptions raised through the stand-in
// broker, the routing of a failed message, and checkRC passing on a pending
// exception.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "broker/Broker.h"
#include "node_utils/NodeHelpers.h"
#include "support/KvPoolUtil.h"

namespace {

using kvbroker::BrokerException;
using kvbroker::EventRecord;

constexpr int kMessageNumber = 0x40000A3F;
const std::u16string kSource = u"Vantrel2";

// Runs f and returns the broker exception it raised, or none.
template <typename F>
std::optional<EventRecord> raisedBy(F f) {
  try {
    f();
  } catch (const BrokerException& exception) {
    return exception.record();
  }
  return std::nullopt;
}

class FailureHelperTest : public ::testing::Test {
 protected:
  // Leaves an exception pending, as a failed broker call does; returns the
  // call's return code.
  int failBrokerCall(const std::string& traceText) {
    kvbroker::Fault fault;
    fault.call = "cniFirstChild";
    fault.returnCode = CCI_EXCEPTION;
    fault.traceText = traceText;
    broker_.resetCallCounts();
    broker_.injectFault(fault);
    int rc = CCI_SUCCESS;
    cniFirstChild(&rc, message_.root());
    broker_.clearFaults();
    broker_.resetCallCounts();
    return rc;
  }

  kvbroker::Broker broker_;
  kvbroker::Message message_;
  kvbroker::Message exceptionList_;
  kvbroker::Message destinationList_;
};

// ---- Formatted events and exceptions ---------------------------------------------

TEST_F(FailureHelperTest, WarningAndInfoCarryTheFixedSourceAndNumber) {
  NodePrintWarning("Flow.c", 77, "%s failed with %d", "store", 8);
  NodePrintInfo("%s", "ready");
  const auto events = broker_.events();
  ASSERT_EQ(events.size(), 2u);

  EXPECT_EQ(events[0].type, CCI_LOG_WARNING);
  EXPECT_EQ(events[0].file, "Flow.c");
  EXPECT_EQ(events[0].line, 77);
  EXPECT_EQ(events[0].function, "");
  EXPECT_EQ(events[0].messageSource, kSource);
  EXPECT_EQ(events[0].messageNumber, kMessageNumber);
  EXPECT_EQ(events[0].traceText, "store failed with 8");
  EXPECT_TRUE(events[0].inserts.empty());

  // Information events name no file or line, whoever calls.
  EXPECT_EQ(events[1].type, CCI_LOG_INFORMATION);
  EXPECT_EQ(events[1].file, "");
  EXPECT_EQ(events[1].line, 0);
  EXPECT_EQ(events[1].messageSource, kSource);
  EXPECT_EQ(events[1].messageNumber, kMessageNumber);
  EXPECT_EQ(events[1].traceText, "ready");
  EXPECT_TRUE(events[1].inserts.empty());
}

TEST_F(FailureHelperTest, ThrowHelpersRaiseFatalAndConfigurationExceptions) {
  auto fatal = raisedBy([] { NodeThrowFatalException("Pool.c", 5, "pool %s", "gone"); });
  ASSERT_TRUE(fatal);
  EXPECT_EQ(fatal->type, CCI_FATAL_EXCEPTION);
  EXPECT_EQ(fatal->file, "Pool.c");
  EXPECT_EQ(fatal->line, 5);
  EXPECT_EQ(fatal->function, "");
  EXPECT_EQ(fatal->messageSource, kSource);
  EXPECT_EQ(fatal->messageNumber, kMessageNumber);
  EXPECT_EQ(fatal->traceText, "pool gone");
  EXPECT_TRUE(fatal->inserts.empty());

  auto config = raisedBy([] { NodeThrowConfigException("Node.c", 9, "bad %d", 3); });
  ASSERT_TRUE(config);
  EXPECT_EQ(config->type, CCI_CONFIGURATION_EXCEPTION);
  EXPECT_EQ(config->file, "Node.c");
  EXPECT_EQ(config->line, 9);
  EXPECT_EQ(config->traceText, "bad 3");
  EXPECT_EQ(broker_.eventCount(), 0u);
}

TEST_F(FailureHelperTest, FormattedTextIsCutAt1023Bytes) {
  for (size_t length : {1022u, 1023u, 1024u, 5000u}) {
    const std::string text(length, 'x');
    const std::string expected = text.substr(0, 1023);
    broker_.clearEvents();
    NodePrintWarning("f", 1, "%s", text.c_str());
    NodePrintInfo("%s", text.c_str());
    const auto events = broker_.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].traceText, expected) << length;
    EXPECT_EQ(events[1].traceText, expected) << length;
    auto fatal = raisedBy([&] { NodeThrowFatalException("f", 1, "%s", text.c_str()); });
    ASSERT_TRUE(fatal);
    EXPECT_EQ(fatal->traceText, expected) << length;
    auto config = raisedBy([&] { NodeThrowConfigException("f", 1, "%s", text.c_str()); });
    ASSERT_TRUE(config);
    EXPECT_EQ(config->traceText, expected) << length;
  }
  // The cut falls inside the expansion of a conversion as well.
  const std::string head(1020, 'h');
  NodePrintInfo("%s%d", head.c_str(), 123456);
  EXPECT_EQ(broker_.events().back().traceText, head + "123");
}

// ---- Routing a failed message --------------------------------------------------

class HandleFailureTest : public FailureHelperTest {
 protected:
  void SetUp() override {
    sender_ = &broker_.createNode(kvbroker::kCaptureNodeClass, "sender");
    receiver_ = &broker_.createNode(kvbroker::kCaptureNodeClass, "receiver");
    int rc = CCI_SUCCESS;
    wired_ = cniCreateOutputTerminal(&rc, sender_->handle(), u16("failure").c_str());
    ASSERT_EQ(rc, CCI_SUCCESS);
    loose_ = cniCreateOutputTerminal(&rc, sender_->handle(), u16("loose").c_str());
    ASSERT_EQ(rc, CCI_SUCCESS);
    broker_.wire(*sender_, "failure", *receiver_, "in");
    kvbroker::addChild(message_.root(), "Order", "42");
  }

  static std::basic_string<CciChar> u16(const std::string& text) {
    return std::basic_string<CciChar>(text.begin(), text.end());
  }

  void handle(CciTerminal* terminal, int code) {
    NodeHandleFailure("Eval.c", 31, code, terminal, "store", exceptionList_.handle(),
                      destinationList_.handle(), message_.handle());
  }

  kvbroker::Node* sender_ = nullptr;
  kvbroker::Node* receiver_ = nullptr;
  CciTerminal* wired_ = nullptr;
  CciTerminal* loose_ = nullptr;
};

TEST_F(HandleFailureTest, AttachedTerminalGetsTheMessageAfterAWarning) {
  for (int code : {3, int{CCI_EXCEPTION}}) {
    broker_.clearEvents();
    receiver_->clearCaptured();
    if (code == CCI_EXCEPTION) {
      ASSERT_EQ(failBrokerCall("pending"), CCI_EXCEPTION);
    }
    EXPECT_FALSE(raisedBy([&] { handle(wired_, code); })) << code;
    const auto events = broker_.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, CCI_LOG_WARNING);
    EXPECT_EQ(events[0].file, "Eval.c");
    EXPECT_EQ(events[0].line, 31);
    EXPECT_EQ(events[0].traceText, "store: error = " + std::to_string(code));
    ASSERT_EQ(receiver_->captured().size(), 1u);
    EXPECT_EQ(kvbroker::elementValue(
                  kvbroker::findPath(receiver_->captured()[0].message.root(), "Order")),
              "42");
    kvbroker::Broker::clearPendingException();
  }
}

TEST_F(HandleFailureTest, UnattachedTerminalRethrowsAPendingException) {
  ASSERT_EQ(failBrokerCall("lost child"), CCI_EXCEPTION);
  const auto pending = kvbroker::Broker::pendingException();
  ASSERT_TRUE(pending);
  auto raised = raisedBy([&] { handle(loose_, CCI_EXCEPTION); });
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->traceText, pending->traceText);
  EXPECT_EQ(raised->messageNumber, pending->messageNumber);
  EXPECT_EQ(broker_.eventCount(), 0u);
  EXPECT_EQ(broker_.callCount("cniPropagate"), 0);
}

TEST_F(HandleFailureTest, UnattachedTerminalRaisesAFatalExceptionForOtherCodes) {
  auto raised = raisedBy([&] { handle(loose_, 3); });
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->type, CCI_FATAL_EXCEPTION);
  EXPECT_EQ(raised->file, "Eval.c");
  EXPECT_EQ(raised->line, 31);
  EXPECT_EQ(raised->messageNumber, kMessageNumber);
  EXPECT_EQ(raised->messageSource, kSource);
  EXPECT_EQ(raised->traceText, "store: error = 3");
  EXPECT_EQ(broker_.eventCount(), 0u);
  EXPECT_TRUE(receiver_->captured().empty());
}

// ---- checkRC -------------------------------------------------------------------

TEST_F(FailureHelperTest, CheckRcIgnoresEveryCodeButTheException) {
  for (int code : {0, 1, 2, 63, 65}) {
    EXPECT_FALSE(raisedBy([&] { checkRC(code); })) << code;
  }
  EXPECT_EQ(broker_.eventCount(), 0u);
  EXPECT_EQ(broker_.callCount("cciGetLastExceptionData"), 0);
}

TEST_F(FailureHelperTest, CheckRcLogsThePendingExceptionAndRethrowsIt) {
  ASSERT_EQ(failBrokerCall("lost child"), CCI_EXCEPTION);
  const auto pending = kvbroker::Broker::pendingException();
  ASSERT_TRUE(pending);

  auto raised = raisedBy([] { checkRC(CCI_EXCEPTION); });
  const auto events = broker_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, CCI_LOG_ERROR);
  EXPECT_EQ(events[0].file, pending->file);
  EXPECT_EQ(events[0].line, pending->line);
  EXPECT_EQ(events[0].function, pending->function);
  EXPECT_EQ(events[0].messageNumber, pending->messageNumber);
  EXPECT_EQ(events[0].traceText, "lost child");
  EXPECT_EQ(events[0].messageSource, u"HVTRv210");
  EXPECT_TRUE(events[0].inserts.empty());

  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->traceText, "lost child");
  EXPECT_EQ(raised->messageNumber, pending->messageNumber);
}

TEST_F(FailureHelperTest, CheckRcCarriesARaisedExceptionsOwnFields) {
  // A raised exception stays pending after it is caught, with every field the
  // raiser gave.
  static const CciChar source[] = {'S', 0};
  ASSERT_TRUE(raisedBy([] {
    cciThrowException(nullptr, CCI_FATAL_EXCEPTION, "Store.c", 412, "storeBlock", source, 1234,
                      "segment full", static_cast<const char*>(nullptr));
  }));
  const auto pending = kvbroker::Broker::pendingException();
  ASSERT_TRUE(pending);
  auto raised = raisedBy([] { checkRC(CCI_EXCEPTION); });
  ASSERT_EQ(broker_.eventCount(), 1u);
  const EventRecord event = broker_.events()[0];
  EXPECT_EQ(event.file, "Store.c");
  EXPECT_EQ(event.line, 412);
  EXPECT_EQ(event.function, "storeBlock");
  EXPECT_EQ(event.messageNumber, 1234);
  EXPECT_EQ(event.traceText, "segment full");
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->traceText, "segment full");
}

}  // namespace
