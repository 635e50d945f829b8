// The broker object: plug-in loading, nodes, wiring, injection, and access to
// the event log, the counters and the fault table.
#include "broker/Broker.h"

#include <dlfcn.h>

#include <algorithm>
#include <ostream>
#include <utility>

#include "broker/HostState.h"

namespace kvbroker {
namespace {

using detail::host;

// Runs `use` on the host state with its mutex held.
template <typename Use>
auto locked(Use use) {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  return use(state);
}

// The callbacks' writable CciChar* view of a text (terminated, as a string is).
CciChar* ucs(std::u16string& text) {
  return reinterpret_cast<CciChar*>(text.data());
}

// Runs a plug-in callback; a broker exception it raises becomes CallbackRefused
// naming the step (made only then).
template <typename Callback, typename Step>
auto callPlugin(Callback callback, Step step) {
  try {
    return callback();
  } catch (const BrokerException& exception) {
    throw CallbackRefused(step(), exception.record());
  }
}

// Everything the active broker keeps in the host, back to its start.
void resetHost(detail::HostState& state) {
  state.events.clear();
  detail::resetCallCounts();
  state.faults.clear();
  state.hasFaults = false;
  state.rethrowReturns = false;
  state.diagnostics.clear();
  state.classes.clear();
  state.factories.clear();
  state.loading = nullptr;
  state.undeletedMessages = 0;
}

std::vector<std::string> terminalNames(const std::vector<std::unique_ptr<CciTerminalS>>& list) {
  std::vector<std::string> names;
  for (const auto& terminal : list) names.push_back(terminal->name);
  return names;
}

}  // namespace

Node::Node() : state_(std::make_unique<CciNodeS>()) {}
Node::~Node() = default;
const std::string& Node::name() const {
  return state_->name;
}
CciContext* Node::context() const {
  return state_->context;
}
std::vector<std::string> Node::inputTerminals() const {
  return terminalNames(state_->inputs);
}
std::vector<std::string> Node::outputTerminals() const {
  return terminalNames(state_->outputs);
}
CciTerminal* Node::findTerminal(std::string_view name) const {
  if (auto* terminal = detail::findTerminalIn(state_->inputs, name)) return terminal;
  return detail::findTerminalIn(state_->outputs, name);
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

Broker::Broker() {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  if (state.active) throw BrokerError("create broker: another broker is active in this process");
  state.active = this;
  resetHost(state);
  detail::pending().reset();
}

Broker::~Broker() {
  deleteNodes();
  locked([](auto& state) {
    resetHost(state);
    state.active = nullptr;
  });
  while (!libraries_.empty()) libraries_.pop_back();
}

Broker* Broker::active() {
  return locked([](auto& state) { return state.active; });
}

const PluginInfo& Broker::loadPlugin(const std::string& path) {
  const std::string step = "load plug-in " + path;
  ::dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = ::dlerror();
    throw BrokerError(step + ": dlopen failed: " + (reason ? reason : "unknown reason"));
  }
  std::shared_ptr<void> library(handle, ::dlclose);
  ::dlerror();
  void* symbol = ::dlsym(library.get(), "vtrGetMessageflowNodeFactory");
  if (!symbol) {
    const char* reason = ::dlerror();
    throw BrokerError(step + ": entry symbol vtrGetMessageflowNodeFactory not found" +
                      (reason ? std::string(": ") + reason : std::string()));
  }
  auto entry = reinterpret_cast<CciFactory* (*)()>(symbol);
  PluginInfo info;
  info.path = path;
  // Ends the entry's run; when it failed, the classes it defined go too.
  auto endLoading = [&](bool failed) {
    locked([&](auto& state) {
      state.loading = nullptr;
      if (!failed) return;
      std::erase_if(state.classes, [&](const detail::NodeClass& nodeClass) {
        return std::find(info.classNames.begin(), info.classNames.end(), nodeClass.name) !=
               info.classNames.end();
      });
    });
  };
  locked([&](auto& state) { state.loading = &info; });
  try {
    info.factory = callPlugin(entry, [&] { return step + ": vtrGetMessageflowNodeFactory"; });
    if (!info.factory)
      throw BrokerError(step + ": vtrGetMessageflowNodeFactory returned no factory");
  } catch (...) {
    endLoading(true);
    throw;
  }
  endLoading(false);
  libraries_.push_back(std::move(library));
  plugins_.push_back(std::move(info));
  return plugins_.back();
}

std::vector<std::string> Broker::nodeClassNames() const {
  std::vector<std::string> names;
  locked([&](auto& state) {
    for (const auto& nodeClass : state.classes) names.push_back(nodeClass.name);
  });
  names.emplace_back(kOutputNodeClass);
  names.emplace_back(kCaptureNodeClass);
  return names;
}

const CniNodeFunctionTable* Broker::nodeClassTable(std::string_view className) const {
  return locked([&](auto& state) -> const CniNodeFunctionTable* {
    for (const auto& nodeClass : state.classes) {
      if (nodeClass.name == className) return nodeClass.table;
    }
    return nullptr;
  });
}

Node& Broker::createNode(std::string_view className, std::string_view nodeName) {
  const std::string step =
      "create node " + std::string(nodeName) + " of class " + std::string(className);
  if (findNode(nodeName)) throw BrokerError(step + ": a node of that name exists");
  std::unique_ptr<Node> node(new Node());
  CciNodeS* state = node->state_.get();
  state->name = nodeName;
  locked([&](auto& host) {
    for (const auto& nodeClass : host.classes) {
      if (nodeClass.name == className) state->nodeClass = nodeClass;
    }
  });
  if (state->nodeClass) {
    auto name = toUtf16(nodeName);
    state->context = callPlugin(
        [&] {
          return state->nodeClass->table->createNodeContext(state->nodeClass->factory, ucs(name),
                                                            state);
        },
        [&] { return step + ": createNodeContext"; });
    if (!state->context) throw BrokerError(step + ": createNodeContext returned no context");
  } else if ((state->builtIn = detail::makeBuiltInNode(className, state->name))) {
    detail::addTerminal(state, "in", true);
  } else {
    throw BrokerError(step + ": no such node class");
  }
  nodes_.push_back(std::move(node));
  return *nodes_.back();
}

Node* Broker::findNode(std::string_view nodeName) const {
  for (const auto& node : nodes_) {
    if (node->name() == nodeName) return node.get();
  }
  return nullptr;
}

void Broker::deleteNodes() {
  while (!nodes_.empty()) deleteNode(*nodes_.back());
}

void Broker::deleteNode(Node& node) {
  CciNodeS* state = node.state_.get();
  if (state->nodeClass) {
    try {
      state->nodeClass->table->deleteNodeContext(state->context);
    } catch (const BrokerException& exception) {
      detail::addDiagnostic("delete node " + state->name +
                            ": deleteNodeContext raised: " + formatException(exception.record()));
    }
  }
  // Unwire both directions.
  for (const auto& other : nodes_) {
    for (const auto& output : other->state_->outputs) {
      std::erase_if(output->targets, [&](CciTerminalS* target) { return target->node == state; });
    }
  }
  for (const auto& output : state->outputs) {
    for (CciTerminalS* target : output->targets) --target->sources;
  }
  std::erase_if(nodes_, [&](const auto& owned) { return owned.get() == &node; });
}

int Broker::setAttribute(Node& node, std::u16string_view name, std::u16string_view value) {
  CciNodeS* state = node.state_.get();
  if (state->builtIn) {
    return !state->builtIn->setAttribute(detail::displayUtf8(name), detail::displayUtf8(value));
  }
  std::u16string nameArgument(name), valueArgument(value);
  return callPlugin(
      [&] {
        return state->nodeClass->table->setAttribute(state->context, ucs(nameArgument),
                                                     ucs(valueArgument));
      },
      [&] { return "set attribute " + detail::displayUtf8(name) + " of node " + state->name; });
}

int Broker::setAttribute(Node& node, std::string_view name, std::string_view value) {
  return setAttribute(node, std::u16string_view(toUtf16(name)),
                      std::u16string_view(toUtf16(value)));
}

std::optional<std::string> Broker::getAttribute(Node& node, std::string_view name, int capacity) {
  CciNodeS* state = node.state_.get();
  if (state->builtIn) {
    auto found = state->builtIn->attributes.find(name);
    if (found == state->builtIn->attributes.end()) return std::nullopt;
    return found->second;
  }
  capacity = std::max(capacity, 0);
  auto nameArgument = toUtf16(name);
  // One unit beyond the capacity stays zero, so the text is always terminated.
  std::u16string buffer(static_cast<std::size_t>(capacity) + 1, u'\0');
  const int result = callPlugin(
      [&] {
        return state->nodeClass->table->getAttribute(state->context, ucs(nameArgument), ucs(buffer),
                                                     capacity);
      },
      [&] { return "get attribute " + std::string(name) + " of node " + state->name; });
  if (result != 0) return std::nullopt;
  return detail::displayUtf8(detail::ucsView(ucs(buffer)));
}

std::vector<std::string> Broker::attributeNames(Node& node) {
  CciNodeS* state = node.state_.get();
  std::vector<std::string> names;
  if (state->builtIn) {
    for (const auto& attribute : state->builtIn->attributes) names.push_back(attribute.first);
    return names;
  }
  constexpr int kCapacity = 256;
  // A callback that never answers 1 would loop for ever.
  constexpr int kMaxAttributes = 10000;
  for (int index = 0; index < kMaxAttributes; ++index) {
    std::u16string buffer(kCapacity + 1, u'\0');
    const int result = callPlugin(
        [&] {
          return state->nodeClass->table->getAttributeName(state->context, index, ucs(buffer),
                                                           kCapacity);
        },
        [&] { return "get attribute name " + std::to_string(index) + " of node " + state->name; });
    if (result != 0) break;
    names.push_back(detail::displayUtf8(detail::ucsView(ucs(buffer))));
  }
  return names;
}

void Broker::wire(Node& from, std::string_view outputTerminal, Node& to,
                  std::string_view inputTerminal) {
  const std::string step = "wire " + from.name() + "." + std::string(outputTerminal) + " to " +
                           to.name() + "." + std::string(inputTerminal);
  CciTerminalS* output = detail::findTerminalIn(from.state_->outputs, outputTerminal);
  if (!output)
    throw BrokerError(step + ": node " + from.name() + " has no output terminal " +
                      std::string(outputTerminal));
  CciTerminalS* input = detail::findTerminalIn(to.state_->inputs, inputTerminal);
  if (!input)
    throw BrokerError(step + ": node " + to.name() + " has no input terminal " +
                      std::string(inputTerminal));
  if (std::find(output->targets.begin(), output->targets.end(), input) == output->targets.end()) {
    output->targets.push_back(input);
    ++input->sources;
  }
}

void Broker::wire(std::string_view fromNode, std::string_view outputTerminal,
                  std::string_view toNode, std::string_view inputTerminal) {
  const std::string step = "wire " + std::string(fromNode) + "." + std::string(outputTerminal) +
                           " to " + std::string(toNode) + "." + std::string(inputTerminal);
  Node* from = findNode(fromNode);
  if (!from) throw BrokerError(step + ": no node " + std::string(fromNode));
  Node* to = findNode(toNode);
  if (!to) throw BrokerError(step + ": no node " + std::string(toNode));
  wire(*from, outputTerminal, *to, inputTerminal);
}

InjectResult Broker::inject(Node& node, std::string_view inputTerminal, Message& message) {
  CciTerminalS* input = detail::findTerminalIn(node.state_->inputs, inputTerminal);
  if (!input) {
    throw BrokerError("inject a message at " + node.name() + "." + std::string(inputTerminal) +
                      ": no such input terminal");
  }
  InjectResult result;
  result.exception = detail::deliver(input, result.exceptionList.handle(),
                                     result.destinationList.handle(), message.handle(), "evaluate");
  return result;
}

std::vector<EventRecord> Broker::events() const {
  return locked([](auto& state) { return state.events; });
}
std::size_t Broker::eventCount() const {
  return locked([](auto& state) { return state.events.size(); });
}
void Broker::clearEvents() {
  locked([](auto& state) { state.events.clear(); });
}
void Broker::printEvents(std::ostream& out) const {
  for (const auto& event : events()) out << formatEvent(event) << '\n';
}

std::vector<std::string> Broker::diagnostics() const {
  return locked([](auto& state) { return state.diagnostics; });
}

void Broker::injectFault(Fault fault) {
  locked([&](auto& state) {
    state.faults.push_back(std::move(fault));
    state.hasFaults = true;
  });
}

void Broker::injectFault(std::string call, int returnCode, int firstCall, int times) {
  Fault fault;
  fault.call = std::move(call);
  fault.returnCode = returnCode;
  fault.firstCall = firstCall;
  fault.times = times;
  injectFault(std::move(fault));
}

void Broker::clearFaults() {
  locked([](auto& state) {
    state.faults.clear();
    state.hasFaults = false;
  });
}

void Broker::setRethrowReturns(bool returns) {
  locked([&](auto& state) { state.rethrowReturns = returns; });
}

int Broker::callCount(std::string_view call) const {
  return detail::callCountOf(call);
}
void Broker::resetCallCounts() {
  locked([](auto&) { detail::resetCallCounts(); });
}

int Broker::undeletedMessages() const {
  return host().undeletedMessages;
}
std::optional<EventRecord> Broker::pendingException() {
  return detail::pending();
}
void Broker::clearPendingException() {
  detail::pending().reset();
}

}  // namespace kvbroker
