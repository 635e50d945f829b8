// One flow on the stand-in broker: building it (creating and configuring the
// nodes, wiring them), collecting every problem the broker or the plug-in
// reports, and sending messages through it while counting what comes out.
#ifndef KVPOOL_TOOLS_KVFLOW_FLOWRUN_H
#define KVPOOL_TOOLS_KVFLOW_FLOWRUN_H

#include <map>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "tools/kvflow/FlowFile.h"

namespace kvflow {

// What messages did in one process; summed over processes for the summary.
struct RunStats {
  long sent = 0;
  long reachedNoOutput = 0;
  std::map<std::string, long> perOutput;                // output node -> messages
  std::map<int, std::map<std::string, long>> failures;  // result code -> operand -> count
  std::map<int, long> eventsByNumber;                   // every broker event
  std::map<std::string, long> exceptions;               // broker exceptions out of a flow
  // Output node -> element path -> messages it did not write (not XML).
  std::map<std::string, std::map<std::string, long>> notWritten;
  void add(const RunStats& other);
};

class FlowRun {
 public:
  // Creates and configures the flow's nodes on the broker (whose plug-in is
  // loaded) and wires them. Never throws for the flow's own faults: each one
  // becomes a line in problems(), naming the file, the node and the cause.
  // With counting, every output node gets a counting tap. A non-empty
  // outputTag goes after each output node's file prefix, so that several
  // processes running the flow never write the same file.
  FlowRun(kvbroker::Broker& broker, const FlowFile& file, const FlowDef& flow, bool counting,
          const std::string& outputTag = "");

  const std::vector<std::string>& problems() const { return problems_; }
  bool ok() const { return problems_.empty(); }

  // Sends a copy of the message at the flow's input; the flow runs to its
  // end. False when a broker exception came out of the flow (counted in the
  // stats).
  bool send(const kvbroker::Message& message);
  // Folds the broker's event log into the statistics and empties it.
  void collectEvents();
  const RunStats& stats() const { return stats_; }

 private:
  void createNode(const NodeDef& def);
  void configure(kvbroker::Node& node, const NodeDef& def);
  void explainRefusedScript(kvbroker::Node& node, const NodeDef& def, const std::string& script,
                            const kvbroker::CallbackRefused& refusal, std::size_t eventsBefore);
  void wire(const WireDef& wire);
  void addTaps();

  kvbroker::Broker& broker_;
  const FlowFile& file_;
  const FlowDef& flow_;
  std::string outputTag_;
  std::vector<std::string> problems_;
  kvbroker::Node* input_ = nullptr;
  // Output node name -> the node that counts what reaches it.
  std::map<std::string, kvbroker::Node*> taps_;
  // Each tap with its output's count in stats_.perOutput, for the sends.
  std::vector<std::pair<kvbroker::Node*, long*>> tapCounts_;
  RunStats stats_;
};

// Short meanings, for the summary and the docs.
std::string resultCodeMeaning(int code);
std::string eventMeaning(int number);

}  // namespace kvflow

#endif
