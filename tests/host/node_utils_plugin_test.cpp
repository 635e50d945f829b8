// The generic helpers as a host reaches them: looked up in the loaded plug-in
// by their C names, with broker exceptions unwinding through the plug-in's
// frames back to the caller.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "broker/Broker.h"

namespace {

using PathFn = CciElement* (*)(const char*, CciMessage*, CciMessage*, CciMessage*);
using ThrowFn = void (*)(const char*, int, const char*, ...);
using CheckFn = void (*)(int);

class PluginHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_.loadPlugin(KVPOOL_PLUGIN_PATH);
    broker_.clearEvents();
    plugin_ = dlopen(KVPOOL_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(plugin_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (plugin_ != nullptr) dlclose(plugin_);
  }

  template <typename Fn>
  Fn lookUp(const char* name) {
    void* symbol = dlsym(plugin_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<Fn>(symbol);
  }

  std::optional<kvbroker::EventRecord> raisedBy(const std::function<void()>& f) {
    try {
      f();
    } catch (const kvbroker::BrokerException& exception) {
      return exception.record();
    }
    return std::nullopt;
  }

  kvbroker::Broker broker_;
  void* plugin_ = nullptr;
};

TEST_F(PluginHelpersTest, PathsResolveAndCreateThroughTheLoadedPlugin) {
  auto addOrGet = lookUp<PathFn>("NodeAddOrGetElement");
  auto getValue = lookUp<PathFn>("NodeGetValue");
  ASSERT_TRUE(addOrGet && getValue);
  kvbroker::Message message = kvbroker::Message::fromXml("<Order><Qty>3</Qty></Order>");
  kvbroker::Message exceptionList;
  kvbroker::Message destinationList;
  auto args = [&](PathFn fn, const char* path) {
    return fn(path, message.handle(), exceptionList.handle(), destinationList.handle());
  };

  EXPECT_EQ(kvbroker::elementValue(args(getValue, "Body.Order.Qty")), "3");
  CciElement* id = args(addOrGet, "Body.Order.Id");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(kvbroker::findPath(message.root(), "XML.Order.Id"), id);
  EXPECT_EQ(args(addOrGet, "Root"), message.root());
  EXPECT_EQ(args(addOrGet, "Body.Missing.Id"), nullptr);
}

TEST_F(PluginHelpersTest, BrokerExceptionsUnwindThroughThePluginToTheCaller) {
  auto throwConfig = lookUp<ThrowFn>("NodeThrowConfigException");
  auto check = lookUp<CheckFn>("checkRC");
  ASSERT_TRUE(throwConfig && check);

  auto config = raisedBy([&] { throwConfig("Attr.c", 4, "bad value %s", "x"); });
  ASSERT_TRUE(config);
  EXPECT_EQ(config->type, CCI_CONFIGURATION_EXCEPTION);
  EXPECT_EQ(config->traceText, "bad value x");

  kvbroker::Message message;
  kvbroker::Fault fault;
  fault.call = "cniLastChild";
  fault.traceText = "tree gone";
  broker_.resetCallCounts();
  broker_.injectFault(fault);
  int rc = CCI_SUCCESS;
  cniLastChild(&rc, message.root());
  ASSERT_EQ(rc, CCI_EXCEPTION);
  broker_.clearEvents();
  auto passedOn = raisedBy([&] { check(rc); });
  ASSERT_TRUE(passedOn);
  EXPECT_EQ(passedOn->traceText, "tree gone");
  ASSERT_EQ(broker_.eventCount(), 1u);
  EXPECT_EQ(broker_.events()[0].type, CCI_LOG_ERROR);
  EXPECT_EQ(broker_.events()[0].traceText, "tree gone");
}

}  // namespace
