// The bookkeeping every cni/cci call goes through (call counters, injected
// faults, the pending exception), and the cci calls: code-page conversions,
// the event log and broker exceptions.
#include <array>
#include <bit>
#include <cstdarg>
#include <cstring>

#include "broker/HostState.h"

namespace kvbroker {
namespace {

// Decodes one UTF-8 character at text[*position]; false for a malformed,
// overlong, surrogate or out-of-range sequence.
bool decodeUtf8(std::string_view text, std::size_t* position, char32_t* codePoint) {
  constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  const auto lead = static_cast<unsigned char>(text[*position]);
  // The lead's leading ones: none for ASCII, else the length of the sequence.
  const int ones = std::countl_one(lead);
  const int extra = ones == 0 ? 0 : ones - 1;
  if (ones == 1 || ones > 4 || *position + extra >= text.size()) return false;
  char32_t value = lead & (0x7F >> ones);
  for (int k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[*position + k]);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < kMinimum[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  *codePoint = value;
  *position += 1 + extra;
  return true;
}

void appendUtf16(std::u16string& out, char32_t codePoint) {
  if (codePoint >= 0x10000) {
    codePoint -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(codePoint));
  }
}

void appendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
    return;
  }
  const int extra = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
  out.push_back(static_cast<char>(((0xF0 << (3 - extra)) & 0xFF) | (codePoint >> (6 * extra))));
  for (int k = extra - 1; k >= 0; --k) {
    out.push_back(static_cast<char>(0x80 | ((codePoint >> (6 * k)) & 0x3F)));
  }
}

std::optional<std::u16string> decodeAllUtf8(std::string_view text) {
  std::u16string out;
  for (std::size_t position = 0; position < text.size();) {
    char32_t codePoint;
    if (!decodeUtf8(text, &position, &codePoint)) return std::nullopt;
    appendUtf16(out, codePoint);
  }
  return out;
}

// Strict: none for a lone surrogate; lenient: U+FFFD in its place.
std::optional<std::string> decodeAllUtf16(std::u16string_view text, bool lenient) {
  std::string out;
  for (std::size_t position = 0; position < text.size();) {
    char32_t codePoint;
    if (!detail::decodeUtf16(text, &position, &codePoint)) {
      if (!lenient) return std::nullopt;
      codePoint = 0xFFFD;
      ++position;
    }
    appendUtf8(out, codePoint);
  }
  return out;
}

EventRecord makeRecord(int type, const char* file, int line, const char* function,
                       const CciChar* messageSource, int messageNumber, const char* traceText,
                       va_list inserts) {
  EventRecord record{type,
                     file ? file : "",
                     line,
                     function ? function : "",
                     std::u16string(detail::ucsView(messageSource)),
                     messageNumber,
                     traceText ? traceText : "",
                     {}};
  // A missing closing null would read forever; no event has this many inserts.
  constexpr int kMaxInserts = 64;
  for (int i = 0; i < kMaxInserts; ++i) {
    const char* insert = va_arg(inserts, const char*);
    if (!insert) break;
    record.inserts.emplace_back(insert);
  }
  return record;
}

// `names` holds the names of types 0 to 2 (null: none); others print as
// `fallback` and the number.
std::string formatRecord(const EventRecord& record, std::array<const char*, 3> names,
                         const char* fallback) {
  const auto orDash = [](const std::string& text) { return text.empty() ? "-" : text; };
  const bool named = record.type >= 0 && record.type < 3 && names[record.type];
  std::string line = named ? names[record.type] : fallback + std::to_string(record.type);
  line += ' ' + std::to_string(record.messageNumber);
  line += ' ' + orDash(detail::displayUtf8(record.messageSource));
  line += ' ' + orDash(record.file) + ':' + std::to_string(record.line);
  line += ' ' + orDash(record.function) + ": " + record.traceText;
  for (const auto& insert : record.inserts) line += " [" + insert + ']';
  return line;
}

// The number this call has (1 for the first).
int countCall(const char* call) {
  auto& counters = detail::host().callCounters;
  const std::size_t size = counters.size();
  std::size_t slot = (reinterpret_cast<std::uintptr_t>(call) >> 3) % size;
  for (std::size_t probe = 0; probe < size; ++probe, slot = (slot + 1) % size) {
    detail::CallCounter& counter = counters[slot];
    const char* owner = counter.call.load(std::memory_order_acquire);
    if (owner == nullptr) {
      // Claimed by whichever call comes first; a loser looks on.
      if (counter.call.compare_exchange_strong(owner, call, std::memory_order_acq_rel)) {
        owner = call;
      }
    }
    if (owner == call) return counter.count.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  auto& state = detail::host();
  std::lock_guard lock(state.mutex);
  return ++state.callCounts[call];
}

}  // namespace

namespace detail {

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
  std::optional<Fault> hit;
  {
    std::lock_guard lock(state.mutex);
    for (const auto& fault : state.faults) {
      if (fault.call != call || number < fault.firstCall) continue;
      if (fault.times > 0 && number >= fault.firstCall + fault.times) continue;
      hit = fault;
      break;
    }
  }
  if (!hit) return std::nullopt;
  if (hit->returnCode == CCI_EXCEPTION) {
    auto record = brokerFailureRecord(call, hit->traceText);
    record.inserts.push_back(call);
    pending() = std::move(record);
  }
  setReturnCode(returnCode, hit->returnCode);
  return CallFault{hit->result};
}

bool decodeUtf16(std::u16string_view text, std::size_t* position, char32_t* codePoint) {
  const char16_t unit = text[*position];
  const bool high = unit >= 0xD800 && unit <= 0xDBFF;
  const char16_t low = high && *position + 1 < text.size() ? text[*position + 1] : 0;
  // A high surrogate needs a low one after it; a low one alone is no character.
  if (high ? low < 0xDC00 || low > 0xDFFF : unit >= 0xDC00 && unit <= 0xDFFF) return false;
  *codePoint = high ? 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (low - 0xDC00) : unit;
  *position += high ? 2 : 1;
  return true;
}

std::string displayUtf8(std::u16string_view text) {
  return *decodeAllUtf16(text, true);
}

}  // namespace detail

std::u16string toUtf16(std::string_view utf8) {
  auto converted = decodeAllUtf8(utf8);
  if (!converted) throw BrokerError("convert to UTF-16: invalid UTF-8 text");
  return *converted;
}

std::string toUtf8(std::u16string_view utf16) {
  auto converted = decodeAllUtf16(utf16, false);
  if (!converted) throw BrokerError("convert to UTF-8: invalid UTF-16 text (lone surrogate)");
  return *converted;
}

std::string formatEvent(const EventRecord& event) {
  return formatRecord(event, {"ERROR", "WARNING", "INFORMATION"}, "TYPE");
}

std::string formatException(const EventRecord& exception) {
  return formatRecord(exception, {"FATAL", nullptr, "CONFIGURATION"}, "EXCEPTION");
}

BrokerError::~BrokerError() = default;
XmlError::~XmlError() = default;
XmlNameError::~XmlNameError() = default;

BrokerException::BrokerException(EventRecord record)
    : record_(std::move(record)), text_(formatException(record_)) {}
BrokerException::~BrokerException() = default;

CallbackRefused::CallbackRefused(const std::string& step, EventRecord record)
    : BrokerError(step + ": refused: " + formatException(record)), record_(std::move(record)) {}
CallbackRefused::~CallbackRefused() = default;

}  // namespace kvbroker

using kvbroker::detail::enterCall;
using kvbroker::detail::setReturnCode;

namespace {

// The shared body of both conversions: `decode` turns the whole input into
// the output encoding (none when it is invalid); the result is cut at a
// character boundary to fit the capacity and always terminated within it.
template <typename Out, typename Decode, typename IsContinuation>
int convertInto(const char* call, int* returnCode, bool haveInput, int codepage, Out* out,
                int capacity, Decode decode, IsContinuation isContinuation) {
  auto fault = enterCall(call, returnCode);
  const bool canTerminate = out && capacity >= 1;
  if (canTerminate) out[0] = 0;
  if (fault) return fault->result.value_or(0);
  decltype(decode()) converted;
  int refusal = CCI_SUCCESS;
  if (codepage != CCI_CODEPAGE_UTF8) {
    refusal = CCI_FAILURE;
  } else if (!haveInput || !(converted = decode())) {
    refusal = CCI_INVALID_DATA;
  } else if (!canTerminate) {
    refusal = CCI_BUFFER_TOO_SMALL;
  }
  if (refusal != CCI_SUCCESS) {
    setReturnCode(returnCode, refusal);
    return 0;
  }
  // What fits in capacity - 1 units without splitting a character.
  std::size_t length = converted->size();
  if (length > static_cast<std::size_t>(capacity - 1)) {
    length = static_cast<std::size_t>(capacity - 1);
    while (length > 0 && isContinuation((*converted)[length])) --length;
  }
  std::memcpy(out, converted->data(), length * sizeof(Out));
  out[length] = 0;
  setReturnCode(returnCode, length < converted->size() ? CCI_BUFFER_TOO_SMALL : CCI_SUCCESS);
  return static_cast<int>(length);
}

}  // namespace

extern "C" {

int cciMbsToUcs(int* returnCode, const char* mbs, CciChar* ucs, int capacity, int codepage) {
  return convertInto(
      "cciMbsToUcs", returnCode, mbs != nullptr, codepage, ucs, capacity,
      [mbs] { return kvbroker::decodeAllUtf8(mbs); },
      [](char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; });
}

int cciUcsToMbs(int* returnCode, const CciChar* ucs, char* mbs, int capacity, int codepage) {
  return convertInto(
      "cciUcsToMbs", returnCode, ucs != nullptr, codepage, mbs, capacity,
      [ucs] { return kvbroker::decodeAllUtf16(kvbroker::detail::ucsView(ucs), false); },
      [](char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; });
}

void cciLog(int* returnCode, int type, const char* file, int line, const char* function,
            const CciChar* messageSource, int messageNumber, const char* traceText, ...) {
  if (enterCall("cciLog", returnCode)) return;
  va_list inserts;
  va_start(inserts, traceText);
  auto record = kvbroker::makeRecord(type, file, line, function, messageSource, messageNumber,
                                     traceText, inserts);
  va_end(inserts);
  kvbroker::detail::logEvent(std::move(record));
}

void cciThrowException(int* returnCode, int type, const char* file, int line, const char* function,
                       const CciChar* messageSource, int messageNumber, const char* traceText,
                       ...) {
  if (enterCall("cciThrowException", returnCode)) return;
  va_list inserts;
  va_start(inserts, traceText);
  auto record = kvbroker::makeRecord(type, file, line, function, messageSource, messageNumber,
                                     traceText, inserts);
  va_end(inserts);
  kvbroker::detail::pending() = record;
  setReturnCode(returnCode, CCI_EXCEPTION);
  throw kvbroker::BrokerException(std::move(record));
}

void cciGetLastExceptionData(int* returnCode, CciExceptionData* data) {
  if (enterCall("cciGetLastExceptionData", returnCode)) return;
  const auto& pending = kvbroker::detail::pending();
  if (!pending || !data) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  // The first word is the caller's; the pointers refer to the pending record
  // and stay valid until the next exception replaces it.
  data->type = pending->type;
  data->messageNumber = pending->messageNumber;
  std::memset(data->brokerArea, 0, sizeof data->brokerArea);
  std::string source = kvbroker::detail::displayUtf8(pending->messageSource);
  std::memcpy(data->brokerArea, source.data(),
              std::min(source.size(), sizeof data->brokerArea - 1));
  data->file = pending->file.c_str();
  data->line = pending->line;
  data->function = pending->function.c_str();
  data->traceText = pending->traceText.c_str();
  std::memset(data->reserved, 0, sizeof data->reserved);
}

void cciRethrowLastException(int* returnCode) {
  if (enterCall("cciRethrowLastException", returnCode)) return;
  const auto& pending = kvbroker::detail::pending();
  if (!pending) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  auto& host = kvbroker::detail::host();
  std::unique_lock lock(host.mutex);
  if (host.rethrowReturns) return;
  lock.unlock();
  setReturnCode(returnCode, CCI_EXCEPTION);
  throw kvbroker::BrokerException(*pending);
}

}  // extern "C"
