// Formatted warnings, information events and exceptions raised through the
// broker, and the routing of a failed message.
#include <cstdarg>
#include <cstdio>

#include "node_utils/NodeHelpers.h"

namespace {

constexpr int kMessageNumber = 0x40000A3F;
constexpr CciChar kMessageSource[] = {'V', 'a', 'n', 't', 'r', 'e', 'l', '2', 0};
// Room for 1023 bytes of text and the terminator; longer texts are cut.
constexpr size_t kTextBytes = 1024;

void formatText(char (&text)[kTextBytes], const char* format, va_list values) {
  if (std::vsnprintf(text, sizeof text, format, values) < 0) text[0] = '\0';
}

// The values are expanded before the broker is called: a raised exception
// unwinds through here, and must not skip a va_end.
void logText(int type, const char* file, int line, const char* text) {
  int rc = CCI_SUCCESS;
  cciLog(&rc, type, file, line, "", kMessageSource, kMessageNumber, text,
         static_cast<const char*>(nullptr));
}

void throwText(int type, const char* file, int line, const char* text) {
  cciThrowException(nullptr, type, file, line, "", kMessageSource, kMessageNumber, text,
                    static_cast<const char*>(nullptr));
}

}  // namespace

extern "C" {

KVPOOL_EXPORT void NodePrintWarning(const char* file, int line, const char* format, ...) {
  char text[kTextBytes];
  va_list values;
  va_start(values, format);
  formatText(text, format, values);
  va_end(values);
  logText(CCI_LOG_WARNING, file, line, text);
}

KVPOOL_EXPORT void NodePrintInfo(const char* format, ...) {
  char text[kTextBytes];
  va_list values;
  va_start(values, format);
  formatText(text, format, values);
  va_end(values);
  logText(CCI_LOG_INFORMATION, "", 0, text);
}

KVPOOL_EXPORT void NodeThrowFatalException(const char* file, int line, const char* format, ...) {
  char text[kTextBytes];
  va_list values;
  va_start(values, format);
  formatText(text, format, values);
  va_end(values);
  throwText(CCI_FATAL_EXCEPTION, file, line, text);
}

KVPOOL_EXPORT void NodeThrowConfigException(const char* file, int line, const char* format, ...) {
  char text[kTextBytes];
  va_list values;
  va_start(values, format);
  formatText(text, format, values);
  va_end(values);
  throwText(CCI_CONFIGURATION_EXCEPTION, file, line, text);
}

KVPOOL_EXPORT void NodeHandleFailure(const char* file, int line, int code, CciTerminal* terminal,
                                     const char* text, CciMessage* exceptionList,
                                     CciMessage* destinationList, CciMessage* message) {
  if (cniIsTerminalAttached(nullptr, terminal)) {
    NodePrintWarning(file, line, "%s: error = %i", text, code);
    cniPropagate(nullptr, terminal, exceptionList, destinationList, message);
    return;
  }
  if (code == CCI_EXCEPTION) {
    cciRethrowLastException(nullptr);
    return;
  }
  NodeThrowFatalException(file, line, "%s: error = %i", text, code);
}

}  // extern "C"
