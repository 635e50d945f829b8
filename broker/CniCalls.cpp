// The cni calls (factories, classes, terminals, propagation, messages and
// elements), and the delivery of a message to a node along a wire.
#include <algorithm>
#include <cstring>

#include "broker/HostState.h"

namespace kvbroker::detail {

CciTerminalS* addTerminal(CciNodeS* node, std::string name, bool input) {
  auto& list = input ? node->inputs : node->outputs;
  list.push_back(std::make_unique<CciTerminalS>());
  list.back()->node = node;
  list.back()->name = std::move(name);
  list.back()->input = input;
  return list.back().get();
}

std::optional<EventRecord> deliver(CciTerminalS* input, CciMessage* exceptionList,
                                   CciMessage* destinationList, CciMessage* message,
                                   std::string_view caller) {
  // A wiring loop would recurse without end; a real flow is never this deep.
  constexpr int kMaxDepth = 256;
  thread_local int depth = 0;
  if (depth >= kMaxDepth) {
    return brokerFailureRecord("cniPropagate", "propagation deeper than 256 nodes at node " +
                                                   input->node->name +
                                                   " (is the flow wired in a loop?)");
  }
  struct DepthGuard {
    DepthGuard() { ++depth; }
    ~DepthGuard() { --depth; }
  } guard;
  CciNodeS* node = input->node;
  try {
    if (node->builtIn) {
      node->builtIn->evaluate(message);
    } else {
      node->nodeClass->table->evaluate(node->context, exceptionList, destinationList, message);
    }
  } catch (const BrokerException& exception) {
    return exception.record();
  } catch (const std::exception& failure) {
    return brokerFailureRecord(caller, failure.what());
  }
  return std::nullopt;
}

}  // namespace kvbroker::detail

namespace {

using kvbroker::detail::enterCall;
using kvbroker::detail::host;
using kvbroker::detail::isValid;
using kvbroker::detail::setReturnCode;
using kvbroker::detail::ucsView;

// Enters the call. The result it returns at once (return code set) when a
// fault hit it or its handles and arguments are not `valid`; none when it goes on.
std::optional<int> refused(const char* call, int* returnCode, bool valid) {
  if (auto fault = enterCall(call, returnCode)) return fault->result.value_or(0);
  if (valid) return std::nullopt;
  setReturnCode(returnCode, CCI_FAILURE);
  return 0;
}

CciTerminal* createTerminal(int* returnCode, CciNode* node, const CciChar* terminalName, bool input,
                            const char* call) {
  if (refused(call, returnCode, isValid(node) && terminalName != nullptr)) return nullptr;
  std::string name = kvbroker::detail::displayUtf8(ucsView(terminalName));
  auto& list = input ? node->inputs : node->outputs;
  if (kvbroker::detail::findTerminalIn(list, name)) {
    kvbroker::detail::addDiagnostic(std::string(call) + " on node " + node->name + ": terminal " +
                                    name + " exists already");
    setReturnCode(returnCode, CCI_FAILURE);
    return nullptr;
  }
  return kvbroker::detail::addTerminal(node, name, input);
}

}  // namespace

extern "C" {

CciFactory* cniCreateNodeFactory(int* returnCode, const CciChar* factoryName) {
  if (refused("cniCreateNodeFactory", returnCode, factoryName != nullptr)) return nullptr;
  auto& state = host();
  std::lock_guard lock(state.mutex);
  std::u16string name(ucsView(factoryName));
  // The entry may run twice in a process; the factory of a name stays the same.
  for (const auto& factory : state.factories) {
    if (factory->name == name) return factory.get();
  }
  state.factories.push_back(std::make_unique<CciFactoryS>());
  state.factories.back()->name = name;
  return state.factories.back().get();
}

void cniDefineNodeClass(int* returnCode, CciFactory* factory, const CciChar* className,
                        CniNodeFunctionTable* functionTable) {
  if (enterCall("cniDefineNodeClass", returnCode)) return;
  std::string name = kvbroker::detail::displayUtf8(ucsView(className));
  const char* reason = nullptr;
  if (!isValid(factory)) {
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
  const bool valid = isValid(terminal);
  if (!valid && !fault) setReturnCode(returnCode, CCI_FAILURE);
  const int attached =
      valid && (terminal->input ? terminal->sources > 0 : !terminal->targets.empty());
  // A failing call still answers, so a caller that checks the code after a
  // nonzero answer sees the failure.
  return fault ? fault->result.value_or(attached) : attached;
}

int cniPropagate(int* returnCode, CciTerminal* terminal, CciMessage* exceptionList,
                 CciMessage* destinationList, CciMessage* message) {
  const bool valid = isValid(terminal) && !terminal->input && isValid(message);
  if (auto stop = refused("cniPropagate", returnCode, valid)) return *stop;
  // Copy: a node further on may wire or unwire while the message travels.
  auto targets = terminal->targets;
  for (CciTerminalS* target : targets) {
    auto failure =
        kvbroker::detail::deliver(target, exceptionList, destinationList, message, "cniPropagate");
    if (failure) {
      kvbroker::detail::pending() = std::move(failure);
      setReturnCode(returnCode, CCI_EXCEPTION);
      return 0;
    }
  }
  return targets.empty() ? 0 : 1;
}

CciMessageContext* cniGetMessageContext(int* returnCode, CciMessage* message) {
  if (refused("cniGetMessageContext", returnCode, isValid(message))) return nullptr;
  return message->context;
}

CciMessage* cniCreateMessage(int* returnCode, CciMessageContext* context) {
  if (refused("cniCreateMessage", returnCode, isValid(context))) return nullptr;
  context->created.push_back(kvbroker::detail::newMessage(context));
  ++host().undeletedMessages;
  return context->created.back().get();
}

CciElement* cniRootElement(int* returnCode, CciMessage* message) {
  if (refused("cniRootElement", returnCode, isValid(message))) return nullptr;
  return message->root.get();
}

void cniCopyElementTree(int* returnCode, CciElement* source, CciElement* target) {
  if (refused("cniCopyElementTree", returnCode, isValid(source) && isValid(target))) return;
  kvbroker::detail::copyChildren(source, target);
}

void cniFinalize(int* returnCode, CciMessage* message, int /*options*/) {
  if (refused("cniFinalize", returnCode, isValid(message))) return;
  message->finalized = true;
}

void cniDeleteMessage(int* returnCode, CciMessage* message) {
  if (refused("cniDeleteMessage", returnCode, isValid(message))) return;
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
  if (refused("cniFirstChild", returnCode, isValid(element))) return nullptr;
  return element->children.empty() ? nullptr : element->children.front().get();
}

CciElement* cniLastChild(int* returnCode, CciElement* element) {
  if (refused("cniLastChild", returnCode, isValid(element))) return nullptr;
  return element->children.empty() ? nullptr : element->children.back().get();
}

CciElement* cniNextSibling(int* returnCode, CciElement* element) {
  if (refused("cniNextSibling", returnCode, isValid(element))) return nullptr;
  CciElementS* parent = element->parent;
  if (!parent || element->index + 1 >= parent->children.size()) return nullptr;
  return parent->children[element->index + 1].get();
}

int cniElementName(int* returnCode, CciElement* element, CciChar* buffer, int capacity) {
  if (auto stop = refused("cniElementName", returnCode, isValid(element))) return *stop;
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
  if (auto stop = refused("cniElementType", returnCode, isValid(element))) return *stop;
  return element->type;
}

// The buffer holds capacity + 1 units: a value of up to capacity units is
// written whole with its terminator after it; a longer one leaves a
// terminated prefix within the capacity and CCI_BUFFER_TOO_SMALL.
int cniElementCharacterValue(int* returnCode, CciElement* element, CciChar* buffer, int capacity) {
  if (auto fault = enterCall("cniElementCharacterValue", returnCode)) {
    if (buffer && capacity >= 1) buffer[0] = 0;
    return fault->result.value_or(0);
  }
  if (!isValid(element)) {
    setReturnCode(returnCode, CCI_FAILURE);
    return 0;
  }
  const auto& value = element->value;
  int length = static_cast<int>(value.size());
  if (!buffer || capacity < 0) return length;
  if (length <= capacity) {
    std::memcpy(buffer, value.data(), length * sizeof(CciChar));
    buffer[length] = 0;
    return length;
  }
  if (capacity >= 1) {
    std::memcpy(buffer, value.data(), (capacity - 1) * sizeof(CciChar));
    buffer[capacity - 1] = 0;
  }
  setReturnCode(returnCode, CCI_BUFFER_TOO_SMALL);
  return length;
}

CciElement* cniCreateElementAsLastChild(int* returnCode, CciElement* parent) {
  if (refused("cniCreateElementAsLastChild", returnCode, isValid(parent))) return nullptr;
  return kvbroker::detail::appendChild(parent);
}

void cniSetElementName(int* returnCode, CciElement* element, const CciChar* name) {
  if (refused("cniSetElementName", returnCode, isValid(element) && name != nullptr)) return;
  element->name = std::u16string(ucsView(name));
}

void cniSetElementType(int* returnCode, CciElement* element, int type) {
  if (refused("cniSetElementType", returnCode, isValid(element))) return;
  element->type = type;
}

void cniSetElementCharacterValue(int* returnCode, CciElement* element, const CciChar* value,
                                 int length) {
  if (refused("cniSetElementCharacterValue", returnCode,
              isValid(element) && length >= 0 && (value || length == 0))) {
    return;
  }
  element->value.assign(reinterpret_cast<const char16_t*>(value), static_cast<std::size_t>(length));
  element->type |= CCI_ELEMENT_TYPE_VALUE;
}

}  // extern "C"
