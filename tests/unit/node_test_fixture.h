// Unit-test fixture for the node and script internals: a stand-in broker with
// the plug-in's statically linked entry defining the node class, so a test
// reaches both the callbacks (through the broker) and the NodeContext itself.
#ifndef KVPOOL_TESTS_UNIT_NODE_TEST_FIXTURE_H
#define KVPOOL_TESTS_UNIT_NODE_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "node/KvPool.h"

namespace kvtest {

class NodeUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_.emplace();
    ASSERT_NE(vtrGetMessageflowNodeFactory(), nullptr);
  }
  void TearDown() override { broker_.reset(); }

  kvbroker::Broker& broker() { return *broker_; }
  kvbroker::Node& kvNode(const std::string& name) {
    return broker_->createNode("KvPoolNode", name);
  }
  static NodeContext* contextOf(kvbroker::Node& node) {
    return static_cast<NodeContext*>(node.context());
  }
  static std::vector<std::string> statements(kvbroker::Node& node) {
    std::vector<std::string> result;
    for (PoolScriptEntry* entry = contextOf(node)->scriptHead; entry != nullptr;
         entry = entry->next) {
      result.emplace_back(entry->statement);
    }
    return result;
  }

  std::optional<kvbroker::Broker> broker_;
};

inline std::vector<kvbroker::EventRecord> eventsNumbered(const kvbroker::Broker& broker,
                                                         int number) {
  std::vector<kvbroker::EventRecord> result;
  for (const auto& event : broker.events()) {
    if (event.messageNumber == number) result.push_back(event);
  }
  return result;
}

inline const CciChar* units(const std::u16string& text) {
  return reinterpret_cast<const CciChar*>(text.c_str());
}

}  // namespace kvtest

#endif
