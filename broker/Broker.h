/*
 * The stand-in broker: a host for node plug-ins, in the same process as its
 * user (tests, the flow runner). It implements every cni/cci call of
 * host/BrokerApi.h and offers this C++ API to drive plug-ins: load a plug-in,
 * create nodes by class name, configure them, wire terminals, inject messages,
 * read the event log, and inject faults into the calls a plug-in makes.
 *
 * One broker per process. The cni/cci calls have no broker argument, so they
 * reach the process's active broker (the one constructed last and not yet
 * destroyed). Code-page conversions and message trees work without one.
 *
 * Threads: the event log, the call counters and the fault table are guarded by
 * one mutex, so plug-in calls may come from several threads. Node management
 * (create, configure, wire, delete) belongs to one thread, as in a real host.
 * The pending exception is per thread. The broker starts no threads, so a
 * process may fork after loading plug-ins and creating nodes.
 *
 * The broker's pieces, each in a header of its own that this one includes:
 * events and failures (Events.h), code-page conversions (Text.h), messages
 * and trees (Message.h), nodes and plug-ins (Node.h), injected faults
 * (Faults.h).
 */
#ifndef KVPOOL_BROKER_BROKER_H
#define KVPOOL_BROKER_BROKER_H

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker/Events.h"
#include "broker/Faults.h"
#include "broker/Message.h"
#include "broker/Node.h"
#include "broker/Text.h"
#include "host/BrokerApi.h"

namespace kvbroker {

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
  const std::vector<PluginInfo>& plugins() const;

  // Classes defined through cniDefineNodeClass, then the built-in ones.
  std::vector<std::string> nodeClassNames() const;
  // The callback table a plug-in class was defined with (null when unknown).
  const CniNodeFunctionTable* nodeClassTable(std::string_view className) const;

  // Creates a node: createNodeContext(factory, name, node) for a plug-in class.
  // BrokerError for an unknown class, a name in use or no context returned;
  // CallbackRefused when createNodeContext raised.
  Node& createNode(std::string_view className, std::string_view nodeName);
  Node* findNode(std::string_view nodeName) const;
  std::vector<Node*> nodes() const;
  // deleteNodeContext, then unwires and forgets the node. A raised exception is
  // kept in diagnostics().
  void deleteNode(Node& node);

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

  // Messages made with cniCreateMessage since construction and not deleted
  // with cniDeleteMessage (also when the broker released them later with
  // their message context): a plug-in that leaks a message shows here.
  int undeletedMessages() const;

  // This thread's pending exception, or none.
  static std::optional<EventRecord> pendingException();
  static void clearPendingException();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend struct BrokerAccess;
};

}  // namespace kvbroker

#endif
