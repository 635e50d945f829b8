// The stand-in broker: a host for node plug-ins in its user's process (tests,
// the flow runner). It implements every cni/cci call of host/BrokerApi.h and
// offers this C++ API: load plug-ins, create, configure and wire nodes, inject
// messages, read the event log, inject faults into the calls a plug-in makes.
//
// One broker per process: the cni/cci calls have no broker argument and reach
// the active one (constructed last, not yet destroyed). Code-page conversions
// and message trees work without one. Threads: the event log, the call
// counters and the fault table are guarded by one mutex, so plug-in calls may
// come from several threads; node management belongs to one thread, as in a
// real host; the pending exception is per thread. The broker starts no
// threads, so a process may fork after loading plug-ins and creating nodes.
#ifndef KVPOOL_BROKER_BROKER_H
#define KVPOOL_BROKER_BROKER_H

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/BrokerApi.h"

#define KVBROKER_EXPORT __attribute__((visibility("default")))

struct CciNodeS;

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

// The event an OutputNode logs (type error, source "KvBroker") for a message
// it cannot write as XML. Inserts: the node's name, the element's path, the
// reason (XmlNameError's what()).
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

// UTF-8 <-> UTF-16 with the rules of cciMbsToUcs/cciUcsToMbs; throw BrokerError
// on invalid input.
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

// A fault injected into a cni/cci call.
struct Fault {
  std::string call;                // function name, e.g. "cniCreateNodeFactory"
  int returnCode = CCI_EXCEPTION;  // 64 also makes a pending exception
  int firstCall = 1;               // 1-based count of the first call that fails
  int times = 1;                   // consecutive failing calls; 0 = every call from firstCall on
  // What the failing call returns when it returns an int. When unset:
  // cniIsTerminalAttached returns its true answer, every other call 0 (or null).
  std::optional<int> result;
  std::string traceText = "injected fault";  // trace text of the pending exception
};

// An element type bit of the broker's own: a value-bearing child that the XML
// writer turns back into an attribute of its parent.
constexpr int kElementTypeXmlAttribute = 0x00000100;

// The body of a message (the last child of the root) as an XML document. When
// the body is the "XML" folder its children form the document; otherwise the
// body element itself is the document element. Children marked with
// kElementTypeXmlAttribute become attributes; a value becomes text. Empty
// text when the root has no children. Indented by two blanks per level, or
// on one line when the document is more than 100 levels deep. Throws
// XmlNameError, writing nothing, when a name is not an XML name.
std::string serializeBody(CciMessage* message);
// A readable dump of the tree below and including element: indented by two
// blanks per level, "name (0xTYPE)" and " = 'value'" when value-bearing.
// Below level 64 the indentation stays at 64 levels and "(level N) " comes
// before the name.
std::string dumpTree(CciElement* element);

// A message owned by the caller: its own message context, a root element named
// "Root" (type 0x01000000). Messages the plug-in makes with cniCreateMessage
// on that context are released with it at the latest. Movable; copy() makes a
// deep copy.
class Message {
 public:
  Message();
  ~Message();
  Message(Message&&) noexcept;
  Message& operator=(Message&&) noexcept;

  // A message whose root holds a "Properties" folder (MessageFormat "XML",
  // CodedCharSetId "1208") and then an "XML" folder with the document:
  // elements become name elements (0x01000000), their text their value (bit
  // 0x02000000 added), attributes value-bearing children marked with
  // kElementTypeXmlAttribute, placed before the element's child elements.
  // Throws XmlError for malformed XML; sourceName names the text in it.
  static Message fromXml(std::string_view xmlText, std::string_view sourceName = "<xml>");
  // Reads and parses a file; BrokerError when it cannot be read.
  static Message fromXmlFile(const std::string& path);
  // Deep copy of any message's tree into a new caller-owned message.
  static Message copyOf(CciMessage* message);

  Message copy() const { return copyOf(handle()); }
  CciMessage* handle() const { return message_.get(); }
  CciElement* root() const;
  // Set by cniFinalize.
  bool isFinalized() const;
  std::string toXml() const { return serializeBody(handle()); }
  std::string dump() const { return dumpTree(root()); }

 private:
  // Declared first, destroyed last: the context releases the messages the
  // plug-in made on it after the message itself is gone.
  std::unique_ptr<CciMessageContext> context_;
  std::unique_ptr<CciMessage> message_;
};

// Element helpers for tools and tests (UTF-8 on this side).
std::string elementName(CciElement* element);
std::string elementValue(CciElement* element);
int elementType(CciElement* element);
std::vector<CciElement*> elementChildren(CciElement* element);
// First child of that name, or null.
CciElement* findChild(CciElement* parent, std::string_view name);
// Follows a dotted path of child names ("XML.Order.Id") from an element; null
// when a segment is missing.
CciElement* findPath(CciElement* from, std::string_view dottedPath);
// New last child named `name` (type 0x01000000), value-bearing when a value
// is given.
CciElement* addChild(CciElement* parent, std::string_view name,
                     std::optional<std::string_view> value = std::nullopt);

// A message a capture node received: the XML form of its body, a deep copy of
// its tree, and whether it had been finalised. When the body cannot be
// written as XML, xml is empty and xmlError says why (XmlNameError's what()).
struct CapturedMessage {
  std::string xml;
  std::string xmlError;
  Message message;
  bool finalized = false;
};

// Class names of the nodes built into the broker.
inline constexpr std::string_view kOutputNodeClass = "OutputNode";
inline constexpr std::string_view kCaptureNodeClass = "CaptureNode";

// A node instance. Owned by the broker from createNode to deleteNode.
class Node {
 public:
  ~Node();
  const std::string& name() const;
  // The handle the plug-in received in createNodeContext.
  CciNode* handle() const { return state_.get(); }
  // The plug-in's context (null for built-in nodes).
  CciContext* context() const;
  std::vector<std::string> inputTerminals() const;
  std::vector<std::string> outputTerminals() const;
  CciTerminal* findTerminal(std::string_view name) const;
  // Messages kept by a CaptureNode (none for other nodes, or when its "keep"
  // is "count"), and how many it received since made or cleared (kept or not).
  const std::vector<CapturedMessage>& captured() const;
  long receivedCount() const;
  void clearCaptured();

 private:
  friend class Broker;
  Node();
  std::unique_ptr<CciNodeS> state_;
};

// A plug-in loaded by loadPlugin.
struct PluginInfo {
  std::string path;
  CciFactory* factory = nullptr;        // what the entry returned
  std::vector<std::string> classNames;  // classes defined while it loaded
};

// What one injected message did.
struct InjectResult {
  // The broker exception evaluate raised (also for a failure of a broker-side
  // node further along the flow), or none.
  std::optional<EventRecord> exception;
  // The two companion trees evaluate received, as the flow left them.
  Message exceptionList;
  Message destinationList;
  bool ok() const { return !exception; }
};

// The broker. Constructing it makes it the process's active broker (BrokerError
// when another is active). Destroying it deletes its nodes (deleteNodeContext),
// forgets the node classes and closes the plug-ins.
class Broker {
 public:
  Broker();
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // The active broker, or null.
  static Broker* active();

  // dlopen(path), then calls the C entry vtrGetMessageflowNodeFactory. Throws
  // BrokerError naming the step (dlopen with dlerror's text, missing entry
  // symbol, entry returned no factory) or CallbackRefused when the entry raised.
  const PluginInfo& loadPlugin(const std::string& path);
  const std::vector<PluginInfo>& plugins() const { return plugins_; }

  // Classes defined through cniDefineNodeClass, then the built-in ones.
  std::vector<std::string> nodeClassNames() const;
  // The callback table a plug-in class was defined with (null when unknown).
  const CniNodeFunctionTable* nodeClassTable(std::string_view className) const;

  // Creates a node: createNodeContext(factory, name, node) for a plug-in class.
  // BrokerError for an unknown class, a name in use or no context returned;
  // CallbackRefused when createNodeContext raised.
  Node& createNode(std::string_view className, std::string_view nodeName);
  Node* findNode(std::string_view nodeName) const;
  // deleteNodeContext, then unwires and forgets the node. A raised exception is
  // kept in diagnostics().
  void deleteNode(Node& node);
  // Every node, the last created first, as a flow's stop deletes them.
  void deleteNodes();

  // setAttribute callback: its result (0 known attribute, 1 unknown);
  // CallbackRefused when it raised.
  int setAttribute(Node& node, std::u16string_view name, std::u16string_view value);
  int setAttribute(Node& node, std::string_view name, std::string_view value);
  // getAttribute callback with a buffer of `capacity` units (zeroed, one extra
  // unit kept as terminator); none when the callback answered nonzero.
  std::optional<std::string> getAttribute(Node& node, std::string_view name, int capacity = 1024);
  // getAttributeName for index 0, 1, ... until the callback answers nonzero.
  std::vector<std::string> attributeNames(Node& node);

  // Wires an output terminal to an input terminal of another (or the same)
  // node. An output terminal may feed several inputs; delivery is in wiring
  // order. BrokerError naming the missing node or terminal.
  void wire(Node& from, std::string_view outputTerminal, Node& to, std::string_view inputTerminal);
  void wire(std::string_view fromNode, std::string_view outputTerminal, std::string_view toNode,
            std::string_view inputTerminal);

  // Calls the node's evaluate for the message at its input terminal, with
  // fresh, empty ExceptionList and DestinationList messages; the flow runs
  // synchronously through cniPropagate. The broker exception that reaches
  // this call is returned, not thrown.
  InjectResult inject(Node& node, std::string_view inputTerminal, Message& message);

  // The event log: every cciLog call in order.
  std::vector<EventRecord> events() const;
  std::size_t eventCount() const;
  void clearEvents();
  // One formatEvent line per event.
  void printEvents(std::ostream& out) const;

  // Messages of the broker itself (refused definitions, failed deletes...).
  std::vector<std::string> diagnostics() const;

  // Fault injection. Faults are matched by call name in the order added; the
  // counters they use are the call counters below.
  void injectFault(Fault fault);
  // The same for the common case: `call` fails with returnCode on its
  // firstCall-th call and the times - 1 calls after it (times 0: every call on).
  void injectFault(std::string call, int returnCode = CCI_EXCEPTION, int firstCall = 1,
                   int times = 1);
  void clearFaults();
  // When set, cciRethrowLastException returns (rc 0, the exception stays
  // pending) instead of raising.
  void setRethrowReturns(bool returns);

  // Calls per cni/cci function name since construction or resetCallCounts.
  int callCount(std::string_view call) const;
  void resetCallCounts();

  // Messages made with cniCreateMessage and not deleted with cniDeleteMessage
  // (even when released later with their context): a plug-in's leaks.
  int undeletedMessages() const;

  // This thread's pending exception, or none.
  static std::optional<EventRecord> pendingException();
  static void clearPendingException();

 private:
  // Libraries (closed by dlclose) go after the nodes and classes that point into them.
  std::vector<std::shared_ptr<void>> libraries_;
  std::vector<PluginInfo> plugins_;
  std::vector<std::unique_ptr<Node>> nodes_;
};

}  // namespace kvbroker

#endif
