// Checking a flow file without running it.
#include "tools/kvflow/CheckCommand.h"

#include <iostream>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "tools/kvflow/FlowChecks.h"
#include "tools/kvflow/FlowFile.h"
#include "tools/kvflow/FlowRun.h"
#include "tools/kvflow/Messages.h"

namespace kvflow {

int checkFlowFile(const Options& options) {
  FlowFile file;
  try {
    file = readFlowFile(options.flowPath);
  } catch (const FlowFileError& error) {
    complain(error.what());
    return kExitNothingSent;
  }
  std::vector<std::string> problems;
  std::size_t nodes = 0, wires = 0;
  {
    kvbroker::Broker broker;
    bool loaded = false;
    try {
      broker.loadPlugin(options.plugin);
      loaded = true;
    } catch (const kvbroker::BrokerError& error) {
      problems.push_back("cannot load the plug-in: " + std::string(error.what()));
    }
    for (const FlowDef& flow : file.flows) {
      nodes += flow.nodes.size();
      wires += flow.wires.size();
      if (!loaded) continue;
      FlowRun run(broker, file, flow, false);
      problems.insert(problems.end(), run.problems().begin(), run.problems().end());
    }
  }
  MessageReader reader;
  for (const FlowDef& flow : file.flows) {
    try {
      reader.read(flow.messages);
    } catch (const MessageError& error) {
      problems.push_back(error.what());
    }
  }
  // Warnings are shown either way; only problems fail the check.
  const std::vector<std::string> warnings = flowWarnings(file);
  for (const std::string& warning : warnings) complain("warning: " + warning);
  for (const std::string& problem : problems) complain(problem);
  if (!problems.empty()) {
    complain(file.path + ": " + std::to_string(problems.size()) + " problem" +
             (problems.size() == 1 ? "" : "s"));
    return kExitNothingSent;
  }
  std::cout << "kvflow: " << file.path << ": OK: " << file.flows.size() << " flow"
            << (file.flows.size() == 1 ? "" : "s") << ", " << nodes << " nodes, " << wires
            << " wires; every node created and configured";
  if (!warnings.empty()) {
    std::cout << "; " << warnings.size() << " warning" << (warnings.size() == 1 ? "" : "s");
  }
  std::cout << "\n";
  return kExitDone;
}

}  // namespace kvflow
