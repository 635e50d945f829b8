// Internals of the stand-in broker: what the opaque handles of host/BrokerApi.h
// point to, the process-wide host state, and the call/fault bookkeeping that
// every cni/cci call goes through. Not part of the broker's API.
#ifndef KVPOOL_BROKER_HOSTSTATE_H
#define KVPOOL_BROKER_HOSTSTATE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "broker/Broker.h"

// Every handle starts with a tag (its kind's name in ASCII) so that a handle
// of the wrong kind (an element passed as a message) is refused, not misread.
template <std::uint32_t kKind>
struct Tagged {
  static constexpr std::uint32_t kTag = kKind;
  std::uint32_t tag = kKind;
};

struct CciElementS : Tagged<0x454c454d> {  // ELEM
  // Takes the subtree apart without recursing, so that a tree nested
  // thousands of levels deep never exhausts the stack when it goes.
  ~CciElementS();

  std::u16string name;
  int type = 0;
  std::u16string value;
  CciElementS* parent = nullptr;
  std::size_t index = 0;  // position among the parent's children (children are only appended)
  std::vector<std::unique_ptr<CciElementS>> children;
};

struct CciMessageS : Tagged<0x4d455353> {  // MESS
  CciMessageContextS* context = nullptr;
  std::unique_ptr<CciElementS> root;
  bool finalized = false;
};

struct CciMessageContextS : Tagged<0x43545854> {  // CTXT
  // Messages made by cniCreateMessage on this context and not yet deleted;
  // those never deleted go with the context and stay counted as undeleted.
  std::vector<std::unique_ptr<CciMessageS>> created;
};

struct CciFactoryS : Tagged<0x46414354> {  // FACT
  std::u16string name;
};

struct CciTerminalS : Tagged<0x5445524d> {  // TERM
  CciNodeS* node = nullptr;
  std::string name;
  bool input = false;
  std::vector<CciTerminalS*> targets;  // output terminals: wired inputs, in wiring order
  int sources = 0;                     // input terminals: outputs wired to it
};

namespace kvbroker::detail {

template <typename Handle>
bool isValid(const Handle* handle) {
  return handle && handle->tag == Handle::kTag;
}

// A zero-terminated CciChar text (null: empty).
inline std::u16string_view ucsView(const CciChar* text) {
  return text ? std::u16string_view(reinterpret_cast<const char16_t*>(text))
              : std::u16string_view();
}

// The terminal of that name in a node's list, or null.
inline CciTerminalS* findTerminalIn(const std::vector<std::unique_ptr<CciTerminalS>>& list,
                                    std::string_view name) {
  for (const auto& terminal : list) {
    if (terminal->name == name) return terminal.get();
  }
  return nullptr;
}

// A node class built into the broker (C++ rather than a callback table).
class BuiltInNode {
 public:
  virtual ~BuiltInNode() = default;
  // False when the node has no such attribute.
  virtual bool setAttribute(std::string_view name, std::string_view value) {
    auto found = attributes.find(name);
    if (found == attributes.end()) return false;
    found->second = value;
    return true;
  }
  // May throw BrokerException or BrokerError; the caller turns either into a
  // pending exception.
  virtual void evaluate(CciMessage* message) = 0;
  std::map<std::string, std::string, std::less<>> attributes;  // name -> value
  std::vector<CapturedMessage> captured;
  long received = 0;  // messages since the last clearCaptured, kept or only counted
};

// Null when the class name is not a built-in class.
std::unique_ptr<BuiltInNode> makeBuiltInNode(std::string_view className,
                                             const std::string& nodeName);

struct NodeClass {
  std::string name;
  CciFactoryS* factory = nullptr;
  CniNodeFunctionTable* table = nullptr;
};

// How often one call was made: the call's name, as the address of the text
// its function passes, and the count.
struct CallCounter {
  std::atomic<const char*> call{nullptr};
  std::atomic<int> count{0};
};

struct HostState {
  std::mutex mutex;
  kvbroker::Broker* active = nullptr;
  std::vector<EventRecord> events;
  // The call counters, found by the name's address without the mutex: every
  // cni/cci call passes through them, and a plug-in makes many. A name passed
  // from two addresses has two counters; callCount adds them up. Names that
  // find the table full are counted in callCounts, under the mutex.
  std::array<CallCounter, 256> callCounters;
  std::map<std::string, int, std::less<>> callCounts;
  std::vector<Fault> faults;
  std::atomic<bool> hasFaults{false};  // !faults.empty(), readable without the mutex
  bool rethrowReturns = false;
  std::vector<std::string> diagnostics;
  std::vector<std::unique_ptr<CciFactoryS>> factories;
  std::vector<NodeClass> classes;
  PluginInfo* loading = nullptr;  // the plug-in whose entry is running
  std::atomic<int> undeletedMessages{0};
};

// Inline: every cni/cci call reaches it, more than once.
inline HostState& host() {
  static HostState state;
  return state;
}

// Add a diagnostic line, an event to the log (both take the host mutex).
void addDiagnostic(std::string line);
void logEvent(EventRecord record);

// The calls made under that name; all counts back to 0, with the mutex held
// by the caller.
int callCountOf(std::string_view call);
void resetCallCounts();

// Counts the call; when a fault matches, sets *returnCode (and the pending
// exception for 64) and returns what the failing call answers (Fault::result).
// Otherwise sets *returnCode to 0 and returns none.
struct CallFault {
  std::optional<int> result;
};
std::optional<CallFault> enterCall(const char* call, int* returnCode);

inline void setReturnCode(int* returnCode, int code) {
  if (returnCode) *returnCode = code;
}

// This thread's pending exception.
std::optional<EventRecord>& pending();

// A new terminal of the node (not checked against those it has).
CciTerminalS* addTerminal(CciNodeS* node, std::string name, bool input);
// Delivers a message to an input terminal: the node's evaluate. What it
// raised: a broker exception's record, or a fatal record of the broker's
// (function `caller`) for any other failure; none when it succeeded.
std::optional<EventRecord> deliver(CciTerminalS* input, CciMessage* exceptionList,
                                   CciMessage* destinationList, CciMessage* message,
                                   std::string_view caller);

// A fatal record for a failure of the broker's own while it ran a flow.
EventRecord brokerFailureRecord(std::string_view function, std::string traceText);

// Tree helpers. None of them recurses: a message may be nested as deeply as
// its sender likes.
CciElementS* appendChild(CciElementS* parent, std::u16string name = {}, int type = 0);
// Appends deep copies of source's children to target (target may lie inside
// source).
void copyChildren(const CciElementS* source, CciElementS* target);
std::unique_ptr<CciMessageS> newMessage(CciMessageContextS* context);

// Decodes one UTF-16 character at text[*position]; false for a lone surrogate.
bool decodeUtf16(std::u16string_view text, std::size_t* position, char32_t* codePoint);
// Lenient UTF-16 to UTF-8 for display (invalid units become U+FFFD).
std::string displayUtf8(std::u16string_view text);

}  // namespace kvbroker::detail

struct CciNodeS : Tagged<0x4e4f4445> {  // NODE
  std::string name;
  std::optional<kvbroker::detail::NodeClass> nodeClass;  // plug-in class; none for built-in nodes
  CciContext* context = nullptr;
  std::unique_ptr<kvbroker::detail::BuiltInNode> builtIn;
  std::vector<std::unique_ptr<CciTerminalS>> inputs;
  std::vector<std::unique_ptr<CciTerminalS>> outputs;
};

#endif
