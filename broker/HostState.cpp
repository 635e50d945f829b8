// The host's process-wide state, and the bookkeeping every cni/cci call goes
// through: call counters, injected faults and the pending exception.
#include "broker/HostState.h"

namespace kvbroker::detail {

void addDiagnostic(std::string line) {
  auto& state = host();
  std::lock_guard lock(state.mutex);
  state.diagnostics.push_back(std::move(line));
}

std::optional<EventRecord>& pending() {
  thread_local std::optional<EventRecord> record;
  return record;
}

void setPending(const EventRecord& record) {
  pending() = record;
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
  if (!state.hasFaults.load(std::memory_order_acquire)) {
    setReturnCode(returnCode, CCI_SUCCESS);
    return std::nullopt;
  }
  std::optional<CallFault> hit;
  std::string traceText;
  {
    std::lock_guard lock(state.mutex);
    for (const auto& fault : state.faults) {
      if (fault.call != call || number < fault.firstCall) continue;
      if (fault.times > 0 && number >= fault.firstCall + fault.times) continue;
      hit = CallFault{fault.returnCode, fault.result};
      traceText = fault.traceText;
      break;
    }
  }
  if (!hit) {
    setReturnCode(returnCode, CCI_SUCCESS);
    return hit;
  }
  if (hit->returnCode == CCI_EXCEPTION) {
    auto record = brokerFailureRecord(call, traceText);
    record.inserts.push_back(call);
    setPending(record);
  }
  setReturnCode(returnCode, hit->returnCode);
  return hit;
}

}  // namespace kvbroker::detail
