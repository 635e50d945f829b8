// Loading the plug-in: start-up trace and event, the node class and its
// callback table, exported names, and a broker that refuses the factory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "node_test_fixture.h"

namespace {

using kvbroker::Broker;
using kvbroker::Fault;
using kvtest::traceLinesSince;
using kvtest::traceSize;

TEST(PluginLoadTest, WritesEntryTraceInOrderAndExactlyOneStartupEvent) {
  const std::size_t offset = traceSize();
  Broker broker;
  const kvbroker::PluginInfo& info = broker.loadPlugin(KVPOOL_PLUGIN_PATH);
  ASSERT_NE(info.factory, nullptr);
  EXPECT_EQ(info.classNames, std::vector<std::string>{"KvPoolNode"});

  EXPECT_EQ(traceLinesSince(offset),
            (std::vector<std::string>{"-->vtrGetMessageflowNodeFactory", "-->initNodeConstants",
                                      "-->defineKvPoolNode"}));
  const auto events = broker.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, CCI_LOG_INFORMATION);
  EXPECT_EQ(events[0].file, "KvPool");
  EXPECT_EQ(events[0].line, 993);
  EXPECT_EQ(events[0].function, "vtrGetMessageflowNodeFactory()");
  EXPECT_EQ(events[0].messageSource, u"Vantrel2");
  EXPECT_EQ(events[0].messageNumber, 0);
  EXPECT_EQ(events[0].traceText, "Plugin <KvPoolFactoryNEWKv2> loading");
  EXPECT_TRUE(events[0].inserts.empty());
}

TEST(PluginLoadTest, CallbackTableHoldsEyeCatcherVersionAndTheSixCallbacksInOrder) {
  Broker broker;
  broker.loadPlugin(KVPOOL_PLUGIN_PATH);
  const CniNodeFunctionTable* table = broker.nodeClassTable("KvPoolNode");
  ASSERT_NE(table, nullptr);
  void* plugin = dlopen(KVPOOL_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(plugin, nullptr);

  // Read the record as bytes, as a host that knows only the layout would.
  const auto* bytes = reinterpret_cast<const unsigned char*>(table);
  int32_t word = -1;
  std::memcpy(&word, bytes, 4);
  EXPECT_EQ(word, 0);
  EXPECT_EQ(std::memcmp(bytes + 4, "\x4E\x56\x46\x54", 4), 0);
  std::memcpy(&word, bytes + 8, 4);
  EXPECT_EQ(word, 1);
  const std::size_t first = sizeof(void*) == 4 ? 12 : 16;
  const char* const order[] = {"createNodeContext", "deleteNodeContext", "getAttributeName",
                               "setAttribute",      "getAttribute",      "evaluate"};
  for (std::size_t i = 0; i < 6; ++i) {
    void* callback = nullptr;
    std::memcpy(&callback, bytes + first + i * sizeof(void*), sizeof(void*));
    EXPECT_EQ(callback, dlsym(plugin, order[i])) << order[i];
  }
  void* trailing = reinterpret_cast<void*>(1);
  std::memcpy(&trailing, bytes + first + 6 * sizeof(void*), sizeof(void*));
  EXPECT_EQ(trailing, nullptr);

  // The class name the broker got is "KvPoolNode" in UTF-16.
  auto* className = *reinterpret_cast<CciChar**>(dlsym(plugin, "constKvPoolNode"));
  ASSERT_NE(className, nullptr);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(className)), u"KvPoolNode");
  dlclose(plugin);
}

TEST(PluginLoadTest, ExportsTheEntryAndCallbacksButNoInternals) {
  Broker broker;
  broker.loadPlugin(KVPOOL_PLUGIN_PATH);
  void* plugin = dlopen(KVPOOL_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(plugin, nullptr);
  for (const char* name :
       {"vtrGetMessageflowNodeFactory", "initNodeConstants", "defineKvPoolNode", "insAttrTblEntry",
        "insInputTerminalListEntry", "insOutputTerminalListEntry", "getInputTerminalHandle",
        "getOutputTerminalHandle", "getAttributePointer", "getBoolAttribute", "processKvPoolscript",
        "insertKvScript", "runKvPoolscript", "getOperandsOfPoolScript", "constOut", "constFailure",
        "constKvCatalog", "constVTRL2", "constPluginNodeFactory"}) {
    EXPECT_NE(dlsym(plugin, name), nullptr) << name;
  }
  for (const char* name : {"_ZN6kvpool21releasePoolScriptListEP11NodeContext",
                           "_ZN6kvpool13findAttributeEP11NodeContextPKt",
                           "_ZN6kvpool17constFnGetFactoryE", "nodeFunctionTable"}) {
    EXPECT_EQ(dlsym(plugin, name), nullptr) << name;
  }
  dlclose(plugin);
}

TEST(PluginLoadTest, FactoryRefusedWithoutPendingExceptionDefinesNoClass) {
  Broker broker;
  Fault fault;
  fault.call = "cniCreateNodeFactory";
  fault.returnCode = CCI_FAILURE;
  broker.injectFault(fault);
  EXPECT_THROW(broker.loadPlugin(KVPOOL_PLUGIN_PATH), kvbroker::BrokerError);
  EXPECT_EQ(broker.callCount("cniDefineNodeClass"), 0);
  EXPECT_EQ(broker.callCount("cciGetLastExceptionData"), 0);
  EXPECT_EQ(broker.callCount("cciRethrowLastException"), 0);
  EXPECT_EQ(broker.eventCount(), 1u);  // the start-up event only
}

TEST(PluginLoadTest, FactoryRefusedWithPendingExceptionIsRaisedAgain) {
  Broker broker;
  Fault fault;
  fault.call = "cniCreateNodeFactory";
  fault.traceText = "factory refused";
  broker.injectFault(fault);
  try {
    broker.loadPlugin(KVPOOL_PLUGIN_PATH);
    FAIL() << "the pending exception was not raised";
  } catch (const kvbroker::CallbackRefused& refused) {
    EXPECT_EQ(refused.record().traceText, "factory refused");
  }
  EXPECT_EQ(broker.callCount("cniDefineNodeClass"), 0);
  EXPECT_EQ(broker.callCount("cciGetLastExceptionData"), 1);
  EXPECT_EQ(broker.callCount("cciRethrowLastException"), 1);
}

TEST(PluginLoadTest, FactoryRefusedWithPendingExceptionReturnsNullWhenRethrowReturns) {
  Broker broker;
  Fault fault;
  fault.call = "cniCreateNodeFactory";
  broker.injectFault(fault);
  broker.setRethrowReturns(true);
  EXPECT_THROW(broker.loadPlugin(KVPOOL_PLUGIN_PATH), kvbroker::BrokerError);
  EXPECT_EQ(broker.callCount("cciRethrowLastException"), 1);
  EXPECT_EQ(broker.callCount("cniDefineNodeClass"), 0);
  Broker::clearPendingException();
}

}  // namespace
