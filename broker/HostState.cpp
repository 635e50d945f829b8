// The host's process-wide state, the bookkeeping every cni/cci call goes
// through (call counters, injected faults, the pending exception), and the
// message trees. Every tree walk keeps its own stack of pending elements
// instead of recursing, so a deeply nested message costs heap, never call stack.
#include "broker/HostState.h"

CciElementS::~CciElementS() {
  std::vector<std::unique_ptr<CciElementS>> doomed = std::move(children);
  while (!doomed.empty()) {
    std::unique_ptr<CciElementS> element = std::move(doomed.back());
    doomed.pop_back();
    for (auto& child : element->children) doomed.push_back(std::move(child));
    element->children.clear();
    // element goes here, childless.
  }
}

namespace kvbroker::detail {
namespace {

int countCall(const char* call) {
  auto& counters = host().callCounters;
  const std::size_t size = counters.size();
  std::size_t slot = (reinterpret_cast<std::uintptr_t>(call) >> 3) % size;
  for (std::size_t probe = 0; probe < size; ++probe, slot = (slot + 1) % size) {
    CallCounter& counter = counters[slot];
    const char* owner = counter.call.load(std::memory_order_acquire);
    if (owner == nullptr) {
      // Claimed by whichever call comes first; a loser looks on.
      if (counter.call.compare_exchange_strong(owner, call, std::memory_order_acq_rel)) {
        owner = call;
      }
    }
    if (owner == call) return counter.count.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  auto& state = host();
  std::lock_guard lock(state.mutex);
  return ++state.callCounts[call];
}

}  // namespace

void addDiagnostic(std::string line) {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  state.diagnostics.push_back(std::move(line));
}

void logEvent(EventRecord record) {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  state.events.push_back(std::move(record));
}

std::optional<EventRecord>& pending() {
  thread_local std::optional<EventRecord> record;
  return record;
}

EventRecord brokerFailureRecord(std::string_view function, std::string traceText) {
  EventRecord record;
  record.type = CCI_FATAL_EXCEPTION;
  record.file = "KvBroker";
  record.function = std::string(function);
  record.messageSource = u"KvBroker";
  record.traceText = std::move(traceText);
  return record;
}

int callCountOf(std::string_view call) {
  auto& state = host();
  int count = 0;
  for (const CallCounter& counter : state.callCounters) {
    const char* owner = counter.call.load(std::memory_order_acquire);
    if (owner != nullptr && call == owner) count += counter.count.load(std::memory_order_relaxed);
  }
  std::lock_guard lock(state.mutex);
  auto found = state.callCounts.find(call);
  return count + (found == state.callCounts.end() ? 0 : found->second);
}

void resetCallCounts() {
  auto& state = host();
  for (CallCounter& counter : state.callCounters) counter.count.store(0, std::memory_order_relaxed);
  state.callCounts.clear();
}

std::optional<CallFault> enterCall(const char* call, int* returnCode) {
  auto& state = host();
  const int number = countCall(call);
  setReturnCode(returnCode, CCI_SUCCESS);
  if (!state.hasFaults.load(std::memory_order_acquire)) return std::nullopt;
  std::optional<CallFault> hit;
  int code = CCI_SUCCESS;
  std::string traceText;
  {
    std::lock_guard lock(state.mutex);
    for (const auto& fault : state.faults) {
      if (fault.call != call || number < fault.firstCall) continue;
      if (fault.times > 0 && number >= fault.firstCall + fault.times) continue;
      hit = CallFault{fault.result};
      code = fault.returnCode;
      traceText = fault.traceText;
      break;
    }
  }
  if (code == CCI_EXCEPTION) {
    auto record = brokerFailureRecord(call, traceText);
    record.inserts.push_back(call);
    pending() = std::move(record);
  }
  setReturnCode(returnCode, code);
  return hit;
}

CciElementS* appendChild(CciElementS* parent, std::u16string name, int type) {
  auto child = std::make_unique<CciElementS>();
  child->name = std::move(name);
  child->type = type;
  child->parent = parent;
  child->index = parent->children.size();
  parent->children.push_back(std::move(child));
  return parent->children.back().get();
}

void copyChildren(const CciElementS* source, CciElementS* target) {
  // Copy first, then append: the target may lie inside the source. Each
  // pending pair is an original and its copy, whose children are still to be
  // made; children are made in order when their parent's turn comes.
  CciElementS copies;
  std::vector<std::pair<const CciElementS*, CciElementS*>> pending{{source, &copies}};
  while (!pending.empty()) {
    auto [original, copy] = pending.back();
    pending.pop_back();
    for (const auto& child : original->children) {
      CciElementS* childCopy = appendChild(copy, child->name, child->type);
      childCopy->value = child->value;
      pending.emplace_back(child.get(), childCopy);
    }
  }
  for (auto& copy : copies.children) {
    copy->parent = target;
    copy->index = target->children.size();
    target->children.push_back(std::move(copy));
  }
  copies.children.clear();
}

std::unique_ptr<CciMessageS> newMessage(CciMessageContextS* context) {
  auto message = std::make_unique<CciMessageS>();
  message->context = context;
  message->root = std::make_unique<CciElementS>();
  message->root->name = u"Root";
  message->root->type = CCI_ELEMENT_TYPE_NAME;
  return message;
}

}  // namespace kvbroker::detail
