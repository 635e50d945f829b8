// The broker's failures and the records of the events and exceptions a
// plug-in raises through cciLog and cciThrowException.
#ifndef KVPOOL_BROKER_EVENTS_H
#define KVPOOL_BROKER_EVENTS_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#define KVBROKER_EXPORT __attribute__((visibility("default")))

namespace kvbroker {

// A failure of the broker's own (loading, creating, wiring, parsing): what()
// names the step, the object and the system's reason in one line.
class KVBROKER_EXPORT BrokerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~BrokerError() override;
};

// Malformed XML: the source name, the byte offset, line and column, and the
// parser's reason.
class KVBROKER_EXPORT XmlError : public BrokerError {
 public:
  XmlError(const std::string& what, std::size_t offset) : BrokerError(what), offset_(offset) {}
  ~XmlError() override;
  std::size_t offset() const { return offset_; }

 private:
  std::size_t offset_;
};

// A message tree that cannot be written as XML: an element or attribute whose
// name is not an XML name (a script may create "Line[5]" or "a<b>c").
// what() names the element by its path below the root; elementPath() is that
// path alone ("XML.Order.Line[5]").
class KVBROKER_EXPORT XmlNameError : public BrokerError {
 public:
  XmlNameError(const std::string& what, std::string elementPath)
      : BrokerError(what), elementPath_(std::move(elementPath)) {}
  ~XmlNameError() override;
  const std::string& elementPath() const { return elementPath_; }

 private:
  std::string elementPath_;
};

// The event an OutputNode logs (type error, message source "KvBroker") for a
// message it does not write because the message cannot be written as XML.
// Inserts: the node's name, the element's path, the reason (XmlNameError's
// what()).
inline constexpr int kEventMessageNotWritten = 2001;

// The fields of one cciLog event or cciThrowException exception.
struct EventRecord {
  int type = 0;  // log type (0 error, 1 warning, 2 information) or exception type
  std::string file;
  int line = 0;
  std::string function;
  std::u16string messageSource;
  int messageNumber = 0;
  std::string traceText;
  std::vector<std::string> inserts;
};

// One line, stable for tools and tests:
//   "<TYPE> <number> <source> <file>:<line> <function>: <trace text>[ [<insert>]...]"
// TYPE is ERROR, WARNING or INFORMATION (TYPE<n> for others); an empty text
// prints as "-". Example: "ERROR 1 VTRL-KvPool KvPool:852 evaluate(): Vantrel2 [Root.XML.missing]".
std::string formatEvent(const EventRecord& event);
// The same form with FATAL or CONFIGURATION (EXCEPTION<n> for others) as TYPE.
std::string formatException(const EventRecord& exception);

// The exception cciThrowException and cciRethrowLastException raise. It
// unwinds through the plug-in's frames to the broker's call site; its type
// information is exported so the executable can catch it.
class KVBROKER_EXPORT BrokerException : public std::exception {
 public:
  explicit BrokerException(EventRecord record);
  ~BrokerException() override;
  const EventRecord& record() const { return record_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  EventRecord record_;
  std::string text_;
};

// A plug-in callback raised a broker exception where the broker configures a
// node (createNodeContext, setAttribute, getAttribute...) or loads a plug-in.
// what(): "<step> <object>: refused: <formatException(record)>".
class KVBROKER_EXPORT CallbackRefused : public BrokerError {
 public:
  CallbackRefused(const std::string& step, EventRecord record);
  ~CallbackRefused() override;
  const EventRecord& record() const { return record_; }

 private:
  EventRecord record_;
};

}  // namespace kvbroker

#endif
