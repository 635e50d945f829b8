// Node instances, loaded plug-ins and what one injected message did.
#ifndef KVPOOL_BROKER_NODE_H
#define KVPOOL_BROKER_NODE_H

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker/Events.h"
#include "broker/Message.h"
#include "host/BrokerApi.h"

struct CciNodeS;

namespace kvbroker {

// Class names of the nodes built into the broker.
inline constexpr std::string_view kOutputNodeClass = "OutputNode";
inline constexpr std::string_view kCaptureNodeClass = "CaptureNode";

// A node instance. Owned by the broker from createNode to deleteNode.
class Node {
 public:
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  const std::string& name() const;
  const std::string& className() const;
  // The handle the plug-in received in createNodeContext.
  CciNode* handle() const;
  // The plug-in's context (null for built-in nodes).
  CciContext* context() const;
  std::vector<std::string> inputTerminals() const;
  std::vector<std::string> outputTerminals() const;
  CciTerminal* findTerminal(std::string_view name) const;
  // Messages kept by a CaptureNode (empty for other nodes, and for a
  // CaptureNode whose "keep" is "count"); clearCaptured empties it.
  const std::vector<CapturedMessage>& captured() const;
  // Messages a CaptureNode received since it was made or last cleared, kept
  // or only counted (0 for other nodes).
  long receivedCount() const;
  void clearCaptured();

 private:
  friend class Broker;
  friend struct ::CciNodeS;
  Node();
  std::unique_ptr<CciNodeS> state_;
};

// A plug-in loaded by loadPlugin.
struct PluginInfo {
  std::string path;
  CciFactory* factory = nullptr;        // what the entry returned
  std::vector<std::string> classNames;  // classes defined while it loaded
};

// What one injected message did.
struct InjectResult {
  // The broker exception that evaluate raised (set also when a broker-side node
  // failed further along the flow), or none.
  std::optional<EventRecord> exception;
  // The two companion trees evaluate received, as the flow left them.
  Message exceptionList;
  Message destinationList;
  bool ok() const { return !exception; }
};

}  // namespace kvbroker

#endif
