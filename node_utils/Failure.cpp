// Formatted warnings, information events and exceptions raised through the
// broker, and the routing of a failed message.
#include <cstdarg>
#include <cstdio>

#include "node_utils/NodeHelpers.h"
#include "support/EntryGuard.h"
#include "support/KvPoolConstants.h"

namespace {

constexpr int kMessageNumber = 0x40000A3F;

// Logs (raise false) or raises the text through the broker.
void report(bool raise, int type, const char* file, int line, const char* text) {
  int rc = CCI_SUCCESS;
  if (raise) {
    kvpool::raiseThroughBroker([&] {
      cciThrowException(nullptr, type, file, line, "", kvpool::kVTRL2Units, kMessageNumber, text,
                        static_cast<const char*>(nullptr));
    });
  } else {
    cciLog(&rc, type, file, line, "", kvpool::kVTRL2Units, kMessageNumber, text,
           static_cast<const char*>(nullptr));
  }
}

}  // namespace

// The body of each raiser: the values are expanded (cut at 1023 bytes) and
// va_end'ed before the broker is called, since a raised exception unwinds
// through here.
#define NODE_REPORT_FORMATTED(raise, type, file, line)                       \
  char text[1024];                                                           \
  va_list values;                                                            \
  va_start(values, format);                                                  \
  if (std::vsnprintf(text, sizeof text, format, values) < 0) text[0] = '\0'; \
  va_end(values);                                                            \
  report(raise, type, file, line, text)

extern "C" {

KVPOOL_EXPORT void NodePrintWarning(const char* file, int line, const char* format, ...) {
  NODE_REPORT_FORMATTED(false, CCI_LOG_WARNING, file, line);
}

KVPOOL_EXPORT void NodePrintInfo(const char* format, ...) {
  NODE_REPORT_FORMATTED(false, CCI_LOG_INFORMATION, "", 0);
}

KVPOOL_EXPORT void NodeThrowFatalException(const char* file, int line, const char* format, ...) {
  NODE_REPORT_FORMATTED(true, CCI_FATAL_EXCEPTION, file, line);
}

KVPOOL_EXPORT void NodeThrowConfigException(const char* file, int line, const char* format, ...) {
  NODE_REPORT_FORMATTED(true, CCI_CONFIGURATION_EXCEPTION, file, line);
}

KVPOOL_EXPORT void NodeHandleFailure(const char* file, int line, int code, CciTerminal* terminal,
                                     const char* text, CciMessage* exceptionList,
                                     CciMessage* destinationList, CciMessage* message) {
  if (cniIsTerminalAttached(nullptr, terminal)) {
    NodePrintWarning(file, line, "%s: error = %i", text, code);
    cniPropagate(nullptr, terminal, exceptionList, destinationList, message);
  } else if (code == CCI_EXCEPTION) {
    kvpool::raiseThroughBroker([] { cciRethrowLastException(nullptr); });
  } else {
    NodeThrowFatalException(file, line, "%s: error = %i", text, code);
  }
}

}  // extern "C"
