// A small node plug-in for the broker's own tests, loaded through dlopen as a
// real plug-in is. Class "EchoNode" (factory "EchoFactory"): terminals in, out
// and failure; attribute "mode" picks what evaluate does:
//   echo    a finished copy of the message goes to out, with a "Stamp" element
//           (value of the attribute "stamp") added to the body when stamp is set
//   fail    the input message goes to failure
//   throw   evaluate raises a fatal broker exception (number 30)
// A pending exception after cniPropagate is passed on with
// cciRethrowLastException. Setting mode to anything else raises a
// configuration exception (number 10, insert: the value); a node named
// "refuse" is refused by createNodeContext (number 21). The entry also tries
// to define "BrokenNode" with a table of version 2, which a broker must refuse.
// Built a second time with KVBROKER_TEST_PLUGIN_NO_ENTRY, without the entry.
#include <algorithm>
#include <stdexcept>
#include <string>

#include "host/BrokerApi.h"

namespace {

const CciChar* ucs(const char16_t* text) {
  return reinterpret_cast<const CciChar*>(text);
}

std::u16string text(const CciChar* value) {
  std::u16string out;
  while (value && *value) out.push_back(static_cast<char16_t>(*value++));
  return out;
}

std::string narrow(const std::u16string& value) {
  std::string out;
  for (char16_t unit : value) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

void copyOut(const std::u16string& value, CciChar* buffer, int capacity) {
  if (capacity < 1) return;
  std::size_t count = std::min(value.size(), static_cast<std::size_t>(capacity - 1));
  for (std::size_t i = 0; i < count; ++i) buffer[i] = value[i];
  buffer[count] = 0;
}

struct EchoContext {
  CciTerminal* out = nullptr;
  CciTerminal* failure = nullptr;
  std::u16string mode = u"echo";
  std::u16string stamp;
};

// Deletes the output message on every path, also when a broker exception
// unwinds through evaluate.
class MessageGuard {
 public:
  explicit MessageGuard(CciMessage* message) : message_(message) {}
  ~MessageGuard() {
    if (message_) cniDeleteMessage(nullptr, message_);
  }
  MessageGuard(const MessageGuard&) = delete;
  MessageGuard& operator=(const MessageGuard&) = delete;

 private:
  CciMessage* message_;
};

CciContext* createContext(CciFactory*, CciChar* nodeName, CciNode* nodeObject) {
  if (text(nodeName) == u"refuse") {
    cciThrowException(nullptr, CCI_CONFIGURATION_EXCEPTION, "Echo", 20, "createContext",
                      ucs(u"ECHO"), 21, "node refused", "refuse", nullptr);
  }
  auto* context = new EchoContext;
  int rc = 0;
  cniCreateInputTerminal(&rc, nodeObject, ucs(u"in"));
  context->out = cniCreateOutputTerminal(&rc, nodeObject, ucs(u"out"));
  context->failure = cniCreateOutputTerminal(&rc, nodeObject, ucs(u"failure"));
  return context;
}

void deleteContext(CciContext* context) {
  delete static_cast<EchoContext*>(context);
}

int getAttributeName(CciContext*, int index, CciChar* buffer, int bufferLength) {
  static const char16_t* const names[] = {u"mode", u"stamp"};
  if (index < 0 || index > 1) return 1;
  copyOut(names[index], buffer, bufferLength);
  return 0;
}

int setAttribute(CciContext* context, CciChar* name, CciChar* value) {
  auto* echo = static_cast<EchoContext*>(context);
  std::u16string attribute = text(name);
  std::u16string setting = text(value);
  if (attribute == u"stamp") {
    echo->stamp = setting;
    return 0;
  }
  if (attribute != u"mode") return 1;
  if (setting != u"echo" && setting != u"fail" && setting != u"throw") {
    std::string insert = narrow(setting);
    cciThrowException(nullptr, CCI_CONFIGURATION_EXCEPTION, "Echo", 60, "setAttribute",
                      ucs(u"ECHO"), 10, "unknown mode", insert.c_str(), nullptr);
  }
  echo->mode = setting;
  return 0;
}

int getAttribute(CciContext* context, CciChar* name, CciChar* buffer, int bufferLength) {
  auto* echo = static_cast<EchoContext*>(context);
  std::u16string attribute = text(name);
  if (attribute == u"mode") {
    copyOut(echo->mode, buffer, bufferLength);
  } else if (attribute == u"stamp") {
    copyOut(echo->stamp, buffer, bufferLength);
  } else {
    return 1;
  }
  return 0;
}

void propagateOrRethrow(CciTerminal* terminal, CciMessage* exceptionList,
                        CciMessage* destinationList, CciMessage* message) {
  int rc = 0;
  cniPropagate(&rc, terminal, exceptionList, destinationList, message);
  if (rc == CCI_EXCEPTION) {
    CciExceptionData data{};
    data.versionWord = 0x00010001;
    cciGetLastExceptionData(&rc, &data);
    cciRethrowLastException(nullptr);
  } else if (rc != CCI_SUCCESS) {
    cciLog(nullptr, CCI_LOG_ERROR, "Echo", 90, "evaluate()", ucs(u"ECHO"), 6,
           "Message not propagated", nullptr);
  }
}

void evaluate(CciContext* context, CciMessage* exceptionList, CciMessage* destinationList,
              CciMessage* message) {
  auto* echo = static_cast<EchoContext*>(context);
  if (echo->mode == u"throw") {
    cciThrowException(nullptr, CCI_FATAL_EXCEPTION, "Echo", 40, "evaluate", ucs(u"ECHO"), 30,
                      "evaluate refused", nullptr);
  }
  if (echo->mode == u"fail") {
    propagateOrRethrow(echo->failure, exceptionList, destinationList, message);
    return;
  }
  int rc = 0;
  CciMessage* output = cniCreateMessage(&rc, cniGetMessageContext(&rc, message));
  if (!output) return;
  MessageGuard guard(output);
  CciElement* outputRoot = cniRootElement(&rc, output);
  cniCopyElementTree(&rc, cniRootElement(&rc, message), outputRoot);
  CciElement* body = cniLastChild(&rc, outputRoot);
  if (body && !echo->stamp.empty()) {
    CciElement* parent = cniLastChild(&rc, body);
    CciElement* stamp = cniCreateElementAsLastChild(&rc, parent ? parent : body);
    cniSetElementName(&rc, stamp, ucs(u"Stamp"));
    cniSetElementType(&rc, stamp, CCI_ELEMENT_TYPE_NAME);
    cniSetElementCharacterValue(&rc, stamp, ucs(echo->stamp.c_str()),
                                static_cast<int>(echo->stamp.size()));
  }
  cniFinalize(&rc, output, 0);
  propagateOrRethrow(echo->out, exceptionList, destinationList, output);
}

[[maybe_unused]] CniNodeFunctionTable echoTable = {0,
                                                   {'N', 'V', 'F', 'T'},
                                                   CNI_VFT_VERSION,
                                                   createContext,
                                                   deleteContext,
                                                   getAttributeName,
                                                   setAttribute,
                                                   getAttribute,
                                                   evaluate,
                                                   nullptr};
[[maybe_unused]] CniNodeFunctionTable brokenTable = {0,
                                                     {'N', 'V', 'F', 'T'},
                                                     2,
                                                     createContext,
                                                     deleteContext,
                                                     getAttributeName,
                                                     setAttribute,
                                                     getAttribute,
                                                     evaluate,
                                                     nullptr};

}  // namespace

#ifdef KVBROKER_TEST_PLUGIN_NO_ENTRY
extern "C" __attribute__((visibility("default"))) int brokerTestPluginWithoutEntry() {
  return 0;
}
#else
extern "C" __attribute__((visibility("default"))) CciFactory* vtrGetMessageflowNodeFactory() {
  int rc = 0;
  cciLog(&rc, CCI_LOG_INFORMATION, "Echo", 7, "vtrGetMessageflowNodeFactory()", ucs(u"ECHO"), 0,
         "echo plug-in loading", nullptr);
  CciFactory* factory = cniCreateNodeFactory(&rc, ucs(u"EchoFactory"));
  if (!factory) {
    if (rc == CCI_EXCEPTION) {
      CciExceptionData data{};
      cciGetLastExceptionData(&rc, &data);
      cciRethrowLastException(&rc);
    }
    return nullptr;
  }
  cniDefineNodeClass(&rc, factory, ucs(u"EchoNode"), &echoTable);
  cniDefineNodeClass(&rc, factory, ucs(u"BrokenNode"), &brokenTable);
#ifdef KVBROKER_TEST_PLUGIN_THROWS
  throw std::runtime_error("entry failed after defining its classes");
#endif
  return factory;
}
#endif
