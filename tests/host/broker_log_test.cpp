// The stand-in broker's event log, exceptions, exception record and fault
// injection.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "broker/Broker.h"

namespace {

using kvbroker::BrokerException;
using kvbroker::Fault;

const CciChar* ucs(const char16_t* text) {
  return reinterpret_cast<const CciChar*>(text);
}

class BrokerLogTest : public ::testing::Test {
 protected:
  kvbroker::Broker broker;
};

TEST_F(BrokerLogTest, RecordsEveryFieldAndInsertInOrder) {
  int rc = -1;
  cciLog(&rc, CCI_LOG_ERROR, "KvPool", 852, "evaluate()", ucs(u"VTRL-KvPool"), 1, "Vantrel2",
         "Root.XML.missing", "second", nullptr);
  EXPECT_EQ(rc, CCI_SUCCESS);
  cciLog(nullptr, CCI_LOG_INFORMATION, "KvPool", 993, "vtrGetMessageflowNodeFactory()",
         ucs(u"Vantrel2"), 0, "Plugin <KvPoolFactoryNEWKv2> loading", nullptr);
  auto events = broker.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, CCI_LOG_ERROR);
  EXPECT_EQ(events[0].file, "KvPool");
  EXPECT_EQ(events[0].line, 852);
  EXPECT_EQ(events[0].function, "evaluate()");
  EXPECT_EQ(events[0].messageSource, u"VTRL-KvPool");
  EXPECT_EQ(events[0].messageNumber, 1);
  EXPECT_EQ(events[0].traceText, "Vantrel2");
  EXPECT_EQ(events[0].inserts, (std::vector<std::string>{"Root.XML.missing", "second"}));
  EXPECT_TRUE(events[1].inserts.empty());
  EXPECT_EQ(events[1].line, 993);

  std::ostringstream printed;
  broker.printEvents(printed);
  EXPECT_EQ(printed.str(),
            "ERROR 1 VTRL-KvPool KvPool:852 evaluate(): Vantrel2 [Root.XML.missing] [second]\n"
            "INFORMATION 0 Vantrel2 KvPool:993 vtrGetMessageflowNodeFactory(): Plugin "
            "<KvPoolFactoryNEWKv2> loading\n");
}

TEST_F(BrokerLogTest, NullFieldsPrintAsDashes) {
  cciLog(nullptr, CCI_LOG_WARNING, nullptr, 0, "", nullptr, 1073744447, "x: error = 5", nullptr);
  ASSERT_EQ(broker.eventCount(), 1u);
  EXPECT_EQ(kvbroker::formatEvent(broker.events()[0]), "WARNING 1073744447 - -:0 -: x: error = 5");
}

TEST_F(BrokerLogTest, ConcurrentLoggingLosesNoEvent) {
  constexpr int kThreads = 4, kEvents = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEvents; ++i) {
        cciLog(nullptr, CCI_LOG_INFORMATION, "T", t, "f", ucs(u"S"), i, "x", "insert", nullptr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto events = broker.events();
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kEvents));
  std::vector<int> next(kThreads, 0);
  for (const auto& event : events) EXPECT_EQ(event.messageNumber, next[event.line]++);
}

TEST_F(BrokerLogTest, ThrowRaisesTheFieldsAndLeavesThemPending) {
  try {
    cciThrowException(nullptr, CCI_CONFIGURATION_EXCEPTION, "KvPool", 660, "setAttribute",
                      ucs(u"VTRL-KvPool"), 10, "Vantrel2", "ins", nullptr);
    FAIL() << "cciThrowException returned";
  } catch (const BrokerException& exception) {
    EXPECT_EQ(exception.record().type, CCI_CONFIGURATION_EXCEPTION);
    EXPECT_EQ(exception.record().inserts, std::vector<std::string>{"ins"});
    EXPECT_STREQ(exception.what(),
                 "CONFIGURATION 10 VTRL-KvPool KvPool:660 setAttribute: Vantrel2 [ins]");
  }
  auto pending = kvbroker::Broker::pendingException();
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(pending->messageNumber, 10);
}

TEST_F(BrokerLogTest, ExceptionRecordHasTheFieldsAtTheirOffsets) {
  EXPECT_THROW(cciThrowException(nullptr, CCI_FATAL_EXCEPTION, "KvPool", 884, "evaluate()",
                                 ucs(u"Vantrel2"), 6, "Message not propagated", nullptr),
               BrokerException);
  unsigned char raw[576];
  std::memset(raw, 0, sizeof raw);
  const std::int32_t startWord = 0x00010001;
  std::memcpy(raw, &startWord, 4);
  int rc = -1;
  cciGetLastExceptionData(&rc, reinterpret_cast<CciExceptionData*>(raw));
  EXPECT_EQ(rc, CCI_SUCCESS);

  auto intAt = [&](std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, raw + offset, 4);
    return value;
  };
  auto textAt = [&](std::size_t offset) {
    const char* text;
    std::memcpy(&text, raw + offset, sizeof text);
    return std::string(text);
  };
  EXPECT_EQ(intAt(0), startWord);  // the caller's word stays
  EXPECT_EQ(intAt(4), CCI_FATAL_EXCEPTION);
  EXPECT_EQ(intAt(8), 6);
  EXPECT_EQ(textAt(528), "KvPool");
  EXPECT_EQ(intAt(536), 884);
  EXPECT_EQ(textAt(544), "evaluate()");
  EXPECT_EQ(textAt(552), "Message not propagated");
}

TEST_F(BrokerLogTest, RethrowRaisesThePendingExceptionAgainOrReturnsWhenTold) {
  int rc = -1;
  cciRethrowLastException(&rc);  // nothing pending: returns with a failure
  EXPECT_EQ(rc, CCI_FAILURE);
  CciExceptionData untouched{};
  untouched.line = 77;
  cciGetLastExceptionData(&rc, &untouched);
  EXPECT_EQ(rc, CCI_FAILURE);
  EXPECT_EQ(untouched.line, 77);

  EXPECT_THROW(
      cciThrowException(nullptr, CCI_FATAL_EXCEPTION, "F", 1, "fn", ucs(u"S"), 42, "t", nullptr),
      BrokerException);
  try {
    cciRethrowLastException(nullptr);
    FAIL() << "cciRethrowLastException returned";
  } catch (const BrokerException& exception) {
    EXPECT_EQ(exception.record().messageNumber, 42);
  }
  broker.setRethrowReturns(true);
  rc = -1;
  cciRethrowLastException(&rc);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(kvbroker::Broker::pendingException()->messageNumber, 42);
}

TEST_F(BrokerLogTest, FaultWithCode64FailsTheCallAndLeavesAPendingException) {
  kvbroker::Message message;
  broker.injectFault("cniCreateMessage");
  int rc = -1;
  CciMessageContext* context = cniGetMessageContext(&rc, message.handle());
  EXPECT_EQ(cniCreateMessage(&rc, context), nullptr);
  EXPECT_EQ(rc, CCI_EXCEPTION);
  auto pending = kvbroker::Broker::pendingException();
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(pending->function, "cniCreateMessage");
  EXPECT_THROW(cciRethrowLastException(nullptr), BrokerException);
  // Only the first call fails.
  CciMessage* made = cniCreateMessage(&rc, context);
  EXPECT_NE(made, nullptr);
  EXPECT_EQ(rc, CCI_SUCCESS);
  cniDeleteMessage(nullptr, made);
}

TEST_F(BrokerLogTest, FaultOnTheNthCallForKCalls) {
  broker.injectFault("cciMbsToUcs", CCI_FAILURE, 2, 2);
  std::vector<int> codes;
  for (int i = 0; i < 4; ++i) {
    CciChar buffer[4] = {9, 9, 9, 9};
    int rc = -1;
    cciMbsToUcs(&rc, "ab", buffer, 4, CCI_CODEPAGE_UTF8);
    codes.push_back(rc);
    if (rc != CCI_SUCCESS) {
      EXPECT_EQ(buffer[0], 0);  // still terminated
    }
  }
  EXPECT_EQ(codes, (std::vector<int>{CCI_SUCCESS, CCI_FAILURE, CCI_FAILURE, CCI_SUCCESS}));
  EXPECT_FALSE(kvbroker::Broker::pendingException().has_value());
  EXPECT_EQ(broker.callCount("cciMbsToUcs"), 4);
}

TEST_F(BrokerLogTest, FaultForEveryCallAndClearing) {
  broker.injectFault("cciLog", CCI_FAILURE, 1, 0);
  int rc = -1;
  for (int i = 0; i < 3; ++i) {
    cciLog(&rc, CCI_LOG_ERROR, "f", 1, "g", ucs(u"s"), 1, "t", nullptr);
    EXPECT_EQ(rc, CCI_FAILURE);
  }
  EXPECT_EQ(broker.eventCount(), 0u);
  broker.clearFaults();
  cciLog(&rc, CCI_LOG_ERROR, "f", 1, "g", ucs(u"s"), 1, "t", nullptr);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(broker.eventCount(), 1u);
  EXPECT_EQ(broker.callCount("cciLog"), 4);
  broker.resetCallCounts();
  EXPECT_EQ(broker.callCount("cciLog"), 0);
  EXPECT_EQ(broker.callCount("cniDefineNodeClass"), 0);
}

TEST_F(BrokerLogTest, FaultedThrowReturnsInsteadOfRaising) {
  broker.injectFault("cciThrowException", CCI_FAILURE);
  int rc = -1;
  cciThrowException(&rc, CCI_FATAL_EXCEPTION, "f", 1, "g", ucs(u"s"), 1, "t", nullptr);
  EXPECT_EQ(rc, CCI_FAILURE);
}

TEST(BrokerLifetime, OneActiveBrokerPerProcess) {
  {
    kvbroker::Broker first;
    EXPECT_EQ(kvbroker::Broker::active(), &first);
    EXPECT_THROW(kvbroker::Broker second, kvbroker::BrokerError);
  }
  EXPECT_EQ(kvbroker::Broker::active(), nullptr);
  kvbroker::Broker again;
  EXPECT_EQ(again.eventCount(), 0u);
}

}  // namespace
