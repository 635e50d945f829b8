// The cni calls (factories, classes, terminals, propagation, messages and
// elements), and the delivery of a message to a node along a wire.
#include <algorithm>
#include <cstring>

#include "broker/HostState.h"

namespace kvbroker::detail {

void deliver(CciTerminalS* input, CciMessage* exceptionList, CciMessage* destinationList,
             CciMessage* message) {
  // A wiring loop would recurse without end; a real flow is never this deep.
  constexpr int kMaxDepth = 256;
  thread_local int depth = 0;
  if (depth >= kMaxDepth) {
    throw BrokerException(brokerFailureRecord(
        "cniPropagate", "propagation deeper than 256 nodes at node " + input->node->name +
                            " (is the flow wired in a loop?)"));
  }
  struct DepthGuard {
    DepthGuard() { ++depth; }
    ~DepthGuard() { --depth; }
  } guard;
  CciNodeS* node = input->node;
  if (node->builtIn) {
    node->builtIn->evaluate(exceptionList, destinationList, message);
  } else {
    node->nodeClass->table->evaluate(node->context, exceptionList, destinationList, message);
  }
}

}  // namespace kvbroker::detail

namespace {

using kvbroker::detail::enterCall;
using kvbroker::detail::host;
using kvbroker::detail::setReturnCode;

template <typename Handle>
bool isValid(const Handle* handle, HandleTag tag) {
  return handle && handle->tag == tag;
}

std::u16string_view ucsText(const CciChar* text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return {reinterpret_cast<const char16_t*>(text), length};
}

CciTerminal* createTerminal(int* returnCode, CciNode* node, const CciChar* terminalName, bool input,
                            const char* call) {
  if (enterCall(call, returnCode)) return nullptr;
  if (!isValid(node, HandleTag::node) || !terminalName) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  std::string name = kvbroker::detail::displayUtf8(ucsText(terminalName));
  auto& list = input ? node->inputs : node->outputs;
  for (const auto& existing : list) {
    if (existing->name == name) {
      kvbroker::detail::addDiagnostic(std::string(call) + " on node " + node->name + ": terminal " +
                                      name + " exists already");
      setReturnCode(returnCode, CCI_FAILURE);
      return nullptr;
    }
  }
  auto terminal = std::make_unique<CciTerminalS>();
  terminal->node = node;
  terminal->name = name;
  terminal->input = input;
  list.push_back(std::move(terminal));
  return list.back().get();
}

}  // namespace

extern "C" {

CciFactory* cniCreateNodeFactory(int* returnCode, const CciChar* factoryName) {
  if (enterCall("cniCreateNodeFactory", returnCode)) return nullptr;
  if (!factoryName) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  auto& state = host();
  std::lock_guard lock(state.mutex);
  std::u16string name(ucsText(factoryName));
  // The entry may run twice in a process; the factory of a name stays the same.
  for (const auto& factory : state.factories) {
    if (factory->name == name) return factory.get();
  }
  auto factory = std::make_unique<CciFactoryS>();
  factory->name = name;
  state.factories.push_back(std::move(factory));
  return state.factories.back().get();
}

void cniDefineNodeClass(int* returnCode, CciFactory* factory, const CciChar* className,
                        CniNodeFunctionTable* functionTable) {
  if (enterCall("cniDefineNodeClass", returnCode)) return;
  std::string name = className ? kvbroker::detail::displayUtf8(ucsText(className)) : "";
  const char* reason = nullptr;
  if (!isValid(factory, HandleTag::factory)) {
    reason = "no valid factory";
  } else if (name.empty()) {
    reason = "no class name";
  } else if (!functionTable) {
    reason = "no callback table";
  } else if (std::memcmp(functionTable->eyeCatcher, CNI_VFT_EYECATCHER, 4) != 0) {
    reason = "callback table eye-catcher is not \"NVFT\"";
  } else if (functionTable->version != CNI_VFT_VERSION) {
    reason = "callback table version is not 1";
  } else if (!functionTable->createNodeContext || !functionTable->deleteNodeContext ||
             !functionTable->getAttributeName || !functionTable->setAttribute ||
             !functionTable->getAttribute || !functionTable->evaluate) {
    reason = "callback table lacks a callback";
  }
  if (reason) {
    kvbroker::detail::addDiagnostic("define node class " + (name.empty() ? "-" : name) + ": " +
                                    reason);
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  auto& state = host();
  std::lock_guard lock(state.mutex);
  auto existing = std::find_if(state.classes.begin(), state.classes.end(),
                               [&](const auto& nodeClass) { return nodeClass.name == name; });
  if (existing != state.classes.end()) {
    existing->factory = factory;
    existing->table = functionTable;
  } else {
    state.classes.push_back({name, factory, functionTable});
  }
  if (state.loading) {
    auto& names = state.loading->classNames;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
}

CciTerminal* cniCreateInputTerminal(int* returnCode, CciNode* nodeObject,
                                    const CciChar* terminalName) {
  return createTerminal(returnCode, nodeObject, terminalName, true, "cniCreateInputTerminal");
}

CciTerminal* cniCreateOutputTerminal(int* returnCode, CciNode* nodeObject,
                                     const CciChar* terminalName) {
  return createTerminal(returnCode, nodeObject, terminalName, false, "cniCreateOutputTerminal");
}

int cniIsTerminalAttached(int* returnCode, CciTerminal* terminal) {
  auto fault = enterCall("cniIsTerminalAttached", returnCode);
  if (!isValid(terminal, HandleTag::terminal)) {
    if (!fault) setReturnCode(returnCode, CCI_FAILURE);
    return fault ? fault->result.value_or(0) : 0;
  }
  int attached = terminal->input ? terminal->sources > 0 : !terminal->targets.empty();
  // A failing call still answers, so a caller that checks the code after a
  // nonzero answer sees the failure.
  if (fault) return fault->result.value_or(attached);
  return attached;
}

int cniPropagate(int* returnCode, CciTerminal* terminal, CciMessage* exceptionList,
                 CciMessage* destinationList, CciMessage* message) {
  if (auto fault = enterCall("cniPropagate", returnCode)) return fault->result.value_or(0);
  if (!isValid(terminal, HandleTag::terminal) || terminal->input ||
      !isValid(message, HandleTag::message)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return 0;
  }
  int delivered = 0;
  // Copy: a node further on may wire or unwire while the message travels.
  auto targets = terminal->targets;
  for (CciTerminalS* target : targets) {
    try {
      kvbroker::detail::deliver(target, exceptionList, destinationList, message);
      ++delivered;
    } catch (const kvbroker::BrokerException& exception) {
      kvbroker::detail::setPending(exception.record());
      setReturnCode(returnCode, CCI_EXCEPTION);
      return 0;
    } catch (const std::exception& failure) {
      kvbroker::detail::setPending(
          kvbroker::detail::brokerFailureRecord("cniPropagate", failure.what()));
      setReturnCode(returnCode, CCI_EXCEPTION);
      return 0;
    }
  }
  return delivered > 0 ? 1 : 0;
}

CciMessageContext* cniGetMessageContext(int* returnCode, CciMessage* message) {
  if (enterCall("cniGetMessageContext", returnCode)) return nullptr;
  if (!isValid(message, HandleTag::message)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  return message->context;
}

CciMessage* cniCreateMessage(int* returnCode, CciMessageContext* context) {
  if (enterCall("cniCreateMessage", returnCode)) return nullptr;
  if (!isValid(context, HandleTag::context)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  auto message = kvbroker::detail::newMessage(context);
  message->pluginCreated = true;
  context->created.push_back(std::move(message));
  ++host().undeletedMessages;
  return context->created.back().get();
}

CciElement* cniRootElement(int* returnCode, CciMessage* message) {
  if (enterCall("cniRootElement", returnCode)) return nullptr;
  if (!isValid(message, HandleTag::message)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  return message->root.get();
}

void cniCopyElementTree(int* returnCode, CciElement* source, CciElement* target) {
  if (enterCall("cniCopyElementTree", returnCode)) return;
  if (!isValid(source, HandleTag::element) || !isValid(target, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  kvbroker::detail::copyChildren(source, target);
}

void cniFinalize(int* returnCode, CciMessage* message, int /*options*/) {
  if (enterCall("cniFinalize", returnCode)) return;
  if (!isValid(message, HandleTag::message)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  message->finalized = true;
}

void cniDeleteMessage(int* returnCode, CciMessage* message) {
  if (enterCall("cniDeleteMessage", returnCode)) return;
  if (!isValid(message, HandleTag::message)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  auto& created = message->context->created;
  auto found = std::find_if(created.begin(), created.end(),
                            [&](const auto& owned) { return owned.get() == message; });
  if (found == created.end()) {
    // Input messages and companion trees belong to the broker.
    kvbroker::detail::addDiagnostic(
        "cniDeleteMessage: the message was not made by cniCreateMessage; not deleted");
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  created.erase(found);
  --host().undeletedMessages;
}

CciElement* cniFirstChild(int* returnCode, CciElement* element) {
  if (enterCall("cniFirstChild", returnCode)) return nullptr;
  if (!isValid(element, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  return element->children.empty() ? nullptr : element->children.front().get();
}

CciElement* cniLastChild(int* returnCode, CciElement* element) {
  if (enterCall("cniLastChild", returnCode)) return nullptr;
  if (!isValid(element, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  return element->children.empty() ? nullptr : element->children.back().get();
}

CciElement* cniNextSibling(int* returnCode, CciElement* element) {
  if (enterCall("cniNextSibling", returnCode)) return nullptr;
  if (!isValid(element, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  CciElementS* parent = element->parent;
  if (!parent || element->index + 1 >= parent->children.size()) return nullptr;
  return parent->children[element->index + 1].get();
}

int cniElementName(int* returnCode, CciElement* element, CciChar* buffer, int capacity) {
  if (auto fault = enterCall("cniElementName", returnCode)) return fault->result.value_or(0);
  if (!isValid(element, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return 0;
  }
  const auto& name = element->name;
  int length = static_cast<int>(name.size());
  if (!buffer || capacity < 1) {
    setReturnCode(returnCode, CCI_BUFFER_TOO_SMALL);
    return length;
  }
  // Within the capacity, terminator included.
  int copied = std::min(length, capacity - 1);
  std::memcpy(buffer, name.data(), copied * sizeof(CciChar));
  buffer[copied] = 0;
  if (copied < length) setReturnCode(returnCode, CCI_BUFFER_TOO_SMALL);
  return length;
}

int cniElementType(int* returnCode, CciElement* element) {
  if (auto fault = enterCall("cniElementType", returnCode)) return fault->result.value_or(0);
  if (!isValid(element, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return 0;
  }
  return element->type;
}

int cniElementCharacterValue(int* returnCode, CciElement* element, CciChar* buffer, int capacity) {
  if (auto fault = enterCall("cniElementCharacterValue", returnCode)) {
    if (buffer && capacity >= 1) buffer[0] = 0;
    return fault->result.value_or(0);
  }
  if (!isValid(element, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return 0;
  }
  const auto& value = element->value;
  int length = static_cast<int>(value.size());
  if (!buffer || capacity < 0) return length;
  if (length <= capacity) {
    // The whole value; its terminator goes after it (buffer of capacity + 1 units).
    std::memcpy(buffer, value.data(), length * sizeof(CciChar));
    buffer[length] = 0;
    return length;
  }
  // Too long: a terminated prefix within the capacity; the caller asks again.
  if (capacity >= 1) {
    std::memcpy(buffer, value.data(), (capacity - 1) * sizeof(CciChar));
    buffer[capacity - 1] = 0;
  }
  setReturnCode(returnCode, CCI_BUFFER_TOO_SMALL);
  return length;
}

CciElement* cniCreateElementAsLastChild(int* returnCode, CciElement* parent) {
  if (enterCall("cniCreateElementAsLastChild", returnCode)) return nullptr;
  if (!isValid(parent, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  return kvbroker::detail::appendChild(parent);
}

void cniSetElementName(int* returnCode, CciElement* element, const CciChar* name) {
  if (enterCall("cniSetElementName", returnCode)) return;
  if (!isValid(element, HandleTag::element) || !name) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  element->name = std::u16string(ucsText(name));
}

void cniSetElementType(int* returnCode, CciElement* element, int type) {
  if (enterCall("cniSetElementType", returnCode)) return;
  if (!isValid(element, HandleTag::element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  element->type = type;
}

void cniSetElementCharacterValue(int* returnCode, CciElement* element, const CciChar* value,
                                 int length) {
  if (enterCall("cniSetElementCharacterValue", returnCode)) return;
  if (!isValid(element, HandleTag::element) || length < 0 || (!value && length > 0)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  if (length == 0) {
    element->value.clear();
  } else {
    element->value.assign(reinterpret_cast<const char16_t*>(value),
                          static_cast<std::size_t>(length));
  }
  element->type |= CCI_ELEMENT_TYPE_VALUE;
}

}  // extern "C"
