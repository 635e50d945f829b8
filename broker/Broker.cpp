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

// Closes a plug-in library when its owner goes.
class LibraryHandle {
 public:
  explicit LibraryHandle(void* handle) : handle_(handle) {}
  ~LibraryHandle() {
    if (handle_) ::dlclose(handle_);
  }
  LibraryHandle(LibraryHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;
  void* get() const { return handle_; }

 private:
  void* handle_;
};

// A null-terminated, writable UTF-16 copy for the callbacks' CciChar* arguments.
std::vector<CciChar> ucsArgument(std::u16string_view text) {
  std::vector<CciChar> buffer(text.begin(), text.end());
  buffer.push_back(0);
  return buffer;
}

std::string ucsResult(const std::vector<CciChar>& buffer) {
  std::size_t length = 0;
  while (length < buffer.size() && buffer[length] != 0) ++length;
  return detail::displayUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(buffer.data()), length));
}

}  // namespace

struct Broker::Impl {
  // Libraries close after the nodes and classes that point into them are gone.
  std::vector<LibraryHandle> libraries;
  std::vector<PluginInfo> plugins;
  std::vector<std::unique_ptr<Node>> nodes;
};

Broker::Broker() : impl_(std::make_unique<Impl>()) {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  if (state.active) throw BrokerError("create broker: another broker is active in this process");
  state.active = this;
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
  detail::pending().reset();
}

Broker::~Broker() {
  while (!impl_->nodes.empty()) deleteNode(*impl_->nodes.back());
  auto& state = host();
  {
    std::lock_guard lock(state.mutex);
    state.classes.clear();
    state.factories.clear();
    state.faults.clear();
    state.hasFaults = false;
    state.rethrowReturns = false;
    state.active = nullptr;
  }
  while (!impl_->libraries.empty()) impl_->libraries.pop_back();
}

Broker* Broker::active() {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  return state.active;
}

const PluginInfo& Broker::loadPlugin(const std::string& path) {
  const std::string step = "load plug-in " + path;
  ::dlerror();
  LibraryHandle library(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!library.get()) {
    const char* reason = ::dlerror();
    throw BrokerError(step + ": dlopen failed: " + (reason ? reason : "unknown reason"));
  }
  ::dlerror();
  void* symbol = ::dlsym(library.get(), "vtrGetMessageflowNodeFactory");
  if (!symbol) {
    const char* reason = ::dlerror();
    throw BrokerError(step + ": entry symbol vtrGetMessageflowNodeFactory not found" +
                      (reason ? std::string(": ") + reason : std::string()));
  }
  using Entry = CciFactory* (*)();
  auto entry = reinterpret_cast<Entry>(symbol);
  PluginInfo info;
  info.path = path;
  auto& state = host();
  auto forgetClasses = [&] {
    std::lock_guard lock(state.mutex);
    state.loading = nullptr;
    std::erase_if(state.classes, [&](const detail::NodeClass& nodeClass) {
      return std::find(info.classNames.begin(), info.classNames.end(), nodeClass.name) !=
             info.classNames.end();
    });
  };
  {
    std::lock_guard lock(state.mutex);
    state.loading = &info;
  }
  try {
    info.factory = entry();
  } catch (const BrokerException& exception) {
    forgetClasses();
    throw CallbackRefused(step + ": vtrGetMessageflowNodeFactory", exception.record());
  }
  {
    std::lock_guard lock(state.mutex);
    state.loading = nullptr;
  }
  if (!info.factory) {
    forgetClasses();
    throw BrokerError(step + ": vtrGetMessageflowNodeFactory returned no factory");
  }
  impl_->libraries.push_back(std::move(library));
  impl_->plugins.push_back(std::move(info));
  return impl_->plugins.back();
}

const std::vector<PluginInfo>& Broker::plugins() const {
  return impl_->plugins;
}

std::vector<std::string> Broker::nodeClassNames() const {
  std::vector<std::string> names;
  {
    auto& state = host();
    std::lock_guard lock(state.mutex);
    for (const auto& nodeClass : state.classes) names.push_back(nodeClass.name);
  }
  for (auto& name : detail::builtInClassNames()) names.push_back(std::move(name));
  return names;
}

const CniNodeFunctionTable* Broker::nodeClassTable(std::string_view className) const {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  for (const auto& nodeClass : state.classes) {
    if (nodeClass.name == className) return nodeClass.table;
  }
  return nullptr;
}

Node& Broker::createNode(std::string_view className, std::string_view nodeName) {
  const std::string step =
      "create node " + std::string(nodeName) + " of class " + std::string(className);
  if (findNode(nodeName)) throw BrokerError(step + ": a node of that name exists");
  std::unique_ptr<Node> node(new Node());
  CciNodeS* state = node->state_.get();
  state->name = nodeName;
  state->className = className;
  {
    auto& host = detail::host();
    std::lock_guard lock(host.mutex);
    for (const auto& nodeClass : host.classes) {
      if (nodeClass.name == className) state->nodeClass = nodeClass;
    }
  }
  if (state->nodeClass) {
    auto name = ucsArgument(toUtf16(nodeName));
    try {
      state->context =
          state->nodeClass->table->createNodeContext(state->nodeClass->factory, name.data(), state);
    } catch (const BrokerException& exception) {
      throw CallbackRefused(step + ": createNodeContext", exception.record());
    }
    if (!state->context) throw BrokerError(step + ": createNodeContext returned no context");
  } else if ((state->builtIn = detail::makeBuiltInNode(className, state->name))) {
    state->inputs.push_back(std::make_unique<CciTerminalS>());
    state->inputs.back()->node = state;
    state->inputs.back()->name = "in";
    state->inputs.back()->input = true;
  } else {
    throw BrokerError(step + ": no such node class");
  }
  impl_->nodes.push_back(std::move(node));
  return *impl_->nodes.back();
}

Node* Broker::findNode(std::string_view nodeName) const {
  for (const auto& node : impl_->nodes) {
    if (node->name() == nodeName) return node.get();
  }
  return nullptr;
}

std::vector<Node*> Broker::nodes() const {
  std::vector<Node*> all;
  for (const auto& node : impl_->nodes) all.push_back(node.get());
  return all;
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
  for (const auto& other : impl_->nodes) {
    for (const auto& output : other->state_->outputs) {
      std::erase_if(output->targets, [&](CciTerminalS* target) { return target->node == state; });
    }
  }
  for (const auto& output : state->outputs) {
    for (CciTerminalS* target : output->targets) --target->sources;
  }
  std::erase_if(impl_->nodes, [&](const auto& owned) { return owned.get() == &node; });
}

int Broker::setAttribute(Node& node, std::u16string_view name, std::u16string_view value) {
  CciNodeS* state = node.state_.get();
  if (state->builtIn) {
    return state->builtIn->setAttribute(detail::displayUtf8(name), detail::displayUtf8(value)) ? 0
                                                                                               : 1;
  }
  auto nameArgument = ucsArgument(name);
  auto valueArgument = ucsArgument(value);
  try {
    return state->nodeClass->table->setAttribute(state->context, nameArgument.data(),
                                                 valueArgument.data());
  } catch (const BrokerException& exception) {
    throw CallbackRefused("set attribute " + detail::displayUtf8(name) + " of node " + state->name,
                          exception.record());
  }
}

int Broker::setAttribute(Node& node, std::string_view name, std::string_view value) {
  return setAttribute(node, std::u16string_view(toUtf16(name)),
                      std::u16string_view(toUtf16(value)));
}

std::optional<std::string> Broker::getAttribute(Node& node, std::string_view name, int capacity) {
  CciNodeS* state = node.state_.get();
  if (state->builtIn) return state->builtIn->getAttribute(name);
  if (capacity < 0) capacity = 0;
  auto nameArgument = ucsArgument(toUtf16(name));
  // One unit beyond the capacity stays zero, so the text is always terminated.
  std::vector<CciChar> buffer(static_cast<std::size_t>(capacity) + 1, 0);
  int result;
  try {
    result = state->nodeClass->table->getAttribute(state->context, nameArgument.data(),
                                                   buffer.data(), capacity);
  } catch (const BrokerException& exception) {
    throw CallbackRefused("get attribute " + std::string(name) + " of node " + state->name,
                          exception.record());
  }
  if (result != 0) return std::nullopt;
  return ucsResult(buffer);
}

std::vector<std::string> Broker::attributeNames(Node& node) {
  CciNodeS* state = node.state_.get();
  if (state->builtIn) return state->builtIn->attributeNames();
  constexpr int kCapacity = 256;
  // A callback that never answers 1 would loop for ever.
  constexpr int kMaxAttributes = 10000;
  std::vector<std::string> names;
  for (int index = 0; index < kMaxAttributes; ++index) {
    std::vector<CciChar> buffer(kCapacity + 1, 0);
    int result;
    try {
      result = state->nodeClass->table->getAttributeName(state->context, index, buffer.data(),
                                                         kCapacity);
    } catch (const BrokerException& exception) {
      throw CallbackRefused(
          "get attribute name " + std::to_string(index) + " of node " + state->name,
          exception.record());
    }
    if (result != 0) break;
    names.push_back(ucsResult(buffer));
  }
  return names;
}

void Broker::wire(Node& from, std::string_view outputTerminal, Node& to,
                  std::string_view inputTerminal) {
  const std::string step = "wire " + from.name() + "." + std::string(outputTerminal) + " to " +
                           to.name() + "." + std::string(inputTerminal);
  CciTerminalS* output = findTerminalIn(from.state_->outputs, outputTerminal);
  if (!output)
    throw BrokerError(step + ": node " + from.name() + " has no output terminal " +
                      std::string(outputTerminal));
  CciTerminalS* input = findTerminalIn(to.state_->inputs, inputTerminal);
  if (!input)
    throw BrokerError(step + ": node " + to.name() + " has no input terminal " +
                      std::string(inputTerminal));
  if (std::find(output->targets.begin(), output->targets.end(), input) != output->targets.end()) {
    return;
  }
  output->targets.push_back(input);
  ++input->sources;
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
  CciTerminalS* input = findTerminalIn(node.state_->inputs, inputTerminal);
  if (!input) {
    throw BrokerError("inject a message at " + node.name() + "." + std::string(inputTerminal) +
                      ": no such input terminal");
  }
  InjectResult result;
  try {
    detail::deliver(input, result.exceptionList.handle(), result.destinationList.handle(),
                    message.handle());
  } catch (const BrokerException& exception) {
    result.exception = exception.record();
  } catch (const std::exception& failure) {
    result.exception = detail::brokerFailureRecord("evaluate", failure.what());
  }
  return result;
}

std::vector<EventRecord> Broker::events() const {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  return state.events;
}

std::size_t Broker::eventCount() const {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  return state.events.size();
}

void Broker::clearEvents() {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  state.events.clear();
}

void Broker::printEvents(std::ostream& out) const {
  for (const auto& event : events()) out << formatEvent(event) << '\n';
}

std::vector<std::string> Broker::diagnostics() const {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  return state.diagnostics;
}

void Broker::injectFault(Fault fault) {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  state.faults.push_back(std::move(fault));
  state.hasFaults = true;
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
  auto& state = host();
  std::lock_guard lock(state.mutex);
  state.faults.clear();
  state.hasFaults = false;
}

void Broker::setRethrowReturns(bool returns) {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  state.rethrowReturns = returns;
}

int Broker::callCount(std::string_view call) const {
  return detail::callCountOf(call);
}

void Broker::resetCallCounts() {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  detail::resetCallCounts();
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
