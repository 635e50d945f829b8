// The host's process-wide state, and the bookkeeping every cni/cci call goes
// through: call counters, injected faults and the pending exception.
#include "broker/HostState.h"

namespace kvbroker::detail {

HostState& host() {
  static HostState state;
  return state;
}

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

std::optional<CallFault> enterCall(const char* call, int* returnCode) {
  auto& state = host();
  std::optional<CallFault> hit;
  std::string traceText;
  {
    std::lock_guard lock(state.mutex);
    auto counter = state.callCounts.find(std::string_view(call));
    if (counter == state.callCounts.end()) counter = state.callCounts.emplace(call, 0).first;
    int number = ++counter->second;
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
