// A node instance as the broker's user sees it: its names, handles,
// terminals and what a capture node kept.
#include "broker/Node.h"

#include "broker/HostState.h"

namespace kvbroker {

Node::Node() : state_(std::make_unique<CciNodeS>()) {
  state_->owner = this;
}
Node::~Node() = default;
const std::string& Node::name() const {
  return state_->name;
}
const std::string& Node::className() const {
  return state_->className;
}
CciNode* Node::handle() const {
  return state_.get();
}
CciContext* Node::context() const {
  return state_->context;
}

std::vector<std::string> Node::inputTerminals() const {
  std::vector<std::string> names;
  for (const auto& terminal : state_->inputs) names.push_back(terminal->name);
  return names;
}

std::vector<std::string> Node::outputTerminals() const {
  std::vector<std::string> names;
  for (const auto& terminal : state_->outputs) names.push_back(terminal->name);
  return names;
}

CciTerminal* Node::findTerminal(std::string_view name) const {
  if (auto* terminal = findTerminalIn(state_->inputs, name)) return terminal;
  return findTerminalIn(state_->outputs, name);
}

const std::vector<CapturedMessage>& Node::captured() const {
  static const std::vector<CapturedMessage> none;
  return state_->builtIn ? state_->builtIn->captured : none;
}

long Node::receivedCount() const {
  return state_->builtIn ? state_->builtIn->received : 0;
}

void Node::clearCaptured() {
  if (!state_->builtIn) return;
  state_->builtIn->captured.clear();
  state_->builtIn->received = 0;
}

}  // namespace kvbroker
