// The cci calls: code-page conversions, the event log and broker exceptions.
#include <cstdarg>
#include <cstring>

#include "broker/HostState.h"

namespace kvbroker {
namespace {

// Decodes one UTF-8 character at text[*position]; false for a malformed,
// overlong, surrogate or out-of-range sequence.
bool decodeUtf8(std::string_view text, std::size_t* position, char32_t* codePoint) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  std::size_t i = *position;
  unsigned char lead = byteAt(i);
  int extra = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    *codePoint = lead;
    *position = i + 1;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (i + extra >= text.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    unsigned char next = byteAt(i + k);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *codePoint = value;
  *position = i + 1 + extra;
  return true;
}

// Decodes one UTF-16 character; false for a lone surrogate.
bool decodeUtf16(std::u16string_view text, std::size_t* position, char32_t* codePoint) {
  char16_t unit = text[*position];
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (*position + 1 >= text.size()) return false;
    char16_t low = text[*position + 1];
    if (low < 0xDC00 || low > 0xDFFF) return false;
    *codePoint = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (low - 0xDC00);
    *position += 2;
    return true;
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
  *codePoint = unit;
  *position += 1;
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
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

std::optional<std::u16string> decodeAllUtf8(std::string_view text) {
  std::u16string out;
  std::size_t position = 0;
  while (position < text.size()) {
    char32_t codePoint;
    if (!decodeUtf8(text, &position, &codePoint)) return std::nullopt;
    appendUtf16(out, codePoint);
  }
  return out;
}

std::optional<std::string> decodeAllUtf16(std::u16string_view text) {
  std::string out;
  std::size_t position = 0;
  while (position < text.size()) {
    char32_t codePoint;
    if (!decodeUtf16(text, &position, &codePoint)) return std::nullopt;
    appendUtf8(out, codePoint);
  }
  return out;
}

std::u16string_view ucsView(const CciChar* text) {
  if (!text) return {};
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return {reinterpret_cast<const char16_t*>(text), length};
}

// Both conversions: the number of units of `encoded` that fit in capacity - 1
// without splitting a character (`isContinuation` marks units inside one).
template <typename Unit, typename IsContinuation>
std::size_t fittingLength(const std::basic_string<Unit>& encoded, int capacity,
                          IsContinuation isContinuation) {
  std::size_t room = static_cast<std::size_t>(capacity - 1);
  if (encoded.size() <= room) return encoded.size();
  std::size_t cut = room;
  while (cut > 0 && isContinuation(encoded[cut])) --cut;
  return cut;
}

void readInserts(va_list arguments, std::vector<std::string>* inserts) {
  // A missing closing null would read forever; no event has this many inserts.
  constexpr int kMaxInserts = 64;
  for (int i = 0; i < kMaxInserts; ++i) {
    const char* insert = va_arg(arguments, const char*);
    if (!insert) break;
    inserts->emplace_back(insert);
  }
}

EventRecord makeRecord(int type, const char* file, int line, const char* function,
                       const CciChar* messageSource, int messageNumber, const char* traceText) {
  EventRecord record;
  record.type = type;
  record.file = file ? file : "";
  record.line = line;
  record.function = function ? function : "";
  record.messageSource = std::u16string(ucsView(messageSource));
  record.messageNumber = messageNumber;
  record.traceText = traceText ? traceText : "";
  return record;
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
  auto converted = decodeAllUtf8(utf8);
  if (!converted) throw BrokerError("convert to UTF-16: invalid UTF-8 text");
  return *converted;
}

std::string toUtf8(std::u16string_view utf16) {
  auto converted = decodeAllUtf16(utf16);
  if (!converted) throw BrokerError("convert to UTF-8: invalid UTF-16 text (lone surrogate)");
  return *converted;
}

namespace detail {

std::string displayUtf8(std::u16string_view text) {
  std::string out;
  std::size_t position = 0;
  while (position < text.size()) {
    char32_t codePoint;
    if (!decodeUtf16(text, &position, &codePoint)) {
      codePoint = 0xFFFD;
      ++position;
    }
    appendUtf8(out, codePoint);
  }
  return out;
}

}  // namespace detail

namespace {

std::string orDash(const std::string& text) {
  return text.empty() ? "-" : text;
}

std::string formatRecord(std::string typeName, const EventRecord& record) {
  std::string line = std::move(typeName);
  line += ' ' + std::to_string(record.messageNumber);
  line += ' ' + orDash(detail::displayUtf8(record.messageSource));
  line += ' ' + orDash(record.file) + ':' + std::to_string(record.line);
  line += ' ' + orDash(record.function) + ": " + record.traceText;
  for (const auto& insert : record.inserts) line += " [" + insert + ']';
  return line;
}

}  // namespace

std::string formatEvent(const EventRecord& event) {
  switch (event.type) {
    case CCI_LOG_ERROR:
      return formatRecord("ERROR", event);
    case CCI_LOG_WARNING:
      return formatRecord("WARNING", event);
    case CCI_LOG_INFORMATION:
      return formatRecord("INFORMATION", event);
    default:
      return formatRecord("TYPE" + std::to_string(event.type), event);
  }
}

std::string formatException(const EventRecord& exception) {
  switch (exception.type) {
    case CCI_FATAL_EXCEPTION:
      return formatRecord("FATAL", exception);
    case CCI_CONFIGURATION_EXCEPTION:
      return formatRecord("CONFIGURATION", exception);
    default:
      return formatRecord("EXCEPTION" + std::to_string(exception.type), exception);
  }
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
  if (codepage != CCI_CODEPAGE_UTF8 || !haveInput) {
    setReturnCode(returnCode, codepage != CCI_CODEPAGE_UTF8 ? CCI_FAILURE : CCI_INVALID_DATA);
    return 0;
  }
  auto converted = decode();
  if (!converted) {
    setReturnCode(returnCode, CCI_INVALID_DATA);
    return 0;
  }
  if (!canTerminate) {
    setReturnCode(returnCode, CCI_BUFFER_TOO_SMALL);
    return 0;
  }
  std::size_t length = kvbroker::fittingLength(*converted, capacity, isContinuation);
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
      [ucs] { return kvbroker::decodeAllUtf16(kvbroker::ucsView(ucs)); },
      [](char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; });
}

void cciLog(int* returnCode, int type, const char* file, int line, const char* function,
            const CciChar* messageSource, int messageNumber, const char* traceText, ...) {
  if (enterCall("cciLog", returnCode)) return;
  auto record =
      kvbroker::makeRecord(type, file, line, function, messageSource, messageNumber, traceText);
  va_list arguments;
  va_start(arguments, traceText);
  kvbroker::readInserts(arguments, &record.inserts);
  va_end(arguments);
  auto& host = kvbroker::detail::host();
  {
    std::lock_guard lock(host.mutex);
    host.events.push_back(std::move(record));
  }
  setReturnCode(returnCode, CCI_SUCCESS);
}

void cciThrowException(int* returnCode, int type, const char* file, int line, const char* function,
                       const CciChar* messageSource, int messageNumber, const char* traceText,
                       ...) {
  if (enterCall("cciThrowException", returnCode)) return;
  auto record =
      kvbroker::makeRecord(type, file, line, function, messageSource, messageNumber, traceText);
  va_list arguments;
  va_start(arguments, traceText);
  kvbroker::readInserts(arguments, &record.inserts);
  va_end(arguments);
  kvbroker::detail::setPending(record);
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
  setReturnCode(returnCode, CCI_SUCCESS);
}

void cciRethrowLastException(int* returnCode) {
  if (enterCall("cciRethrowLastException", returnCode)) return;
  const auto& pending = kvbroker::detail::pending();
  if (!pending) {
    setReturnCode(returnCode, CCI_FAILURE);
    return;
  }
  bool returns;
  {
    auto& host = kvbroker::detail::host();
    std::lock_guard lock(host.mutex);
    returns = host.rethrowReturns;
  }
  if (returns) {
    setReturnCode(returnCode, CCI_SUCCESS);
    return;
  }
  setReturnCode(returnCode, CCI_EXCEPTION);
  throw kvbroker::BrokerException(*pending);
}

}  // extern "C"
