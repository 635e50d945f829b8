// kvflow check: building a flow file's flows without sending a message, and
// what it warns about without failing, read from the flow file alone.
#include <map>

#include "tools/kvflow/Kvflow.h"

namespace kvflow {
namespace {

// The wiring loops of a flow: each one the wires it is made of, in order.
std::vector<std::vector<WireDef>> wiringLoops(const FlowDef& flow) {
  std::map<std::string, std::vector<const WireDef*>> wiresFrom;
  for (const WireDef& wire : flow.wires) wiresFrom[wire.from.node].push_back(&wire);
  // Depth-first search with its own stack (a flow file may hold any number
  // of nodes): each wire that leads back to a node on the current path
  // closes one loop, the path's wires from that node on.
  enum class Mark { unseen, onPath, done };
  std::map<std::string, Mark> marks;
  std::vector<std::vector<WireDef>> loops;
  struct Step {
    std::string node;
    std::size_t next = 0;              // the next of its wires to follow
    const WireDef* arrival = nullptr;  // the wire that led here
  };
  for (const NodeDef& start : flow.nodes) {
    if (marks[start.name] != Mark::unseen) continue;
    std::vector<Step> path{{start.name, 0, nullptr}};
    marks[start.name] = Mark::onPath;
    while (!path.empty()) {
      Step& step = path.back();
      const auto& out = wiresFrom[step.node];
      if (step.next == out.size()) {
        marks[step.node] = Mark::done;
        path.pop_back();
        continue;
      }
      const WireDef* wire = out[step.next++];
      const Mark mark = marks[wire->to.node];
      if (mark == Mark::onPath) {
        std::vector<WireDef> loop;
        std::size_t at = path.size();
        while (path[at - 1].node != wire->to.node) --at;
        for (std::size_t k = at; k < path.size(); ++k) loop.push_back(*path[k].arrival);
        loop.push_back(*wire);
        loops.push_back(std::move(loop));
      } else if (mark == Mark::unseen) {
        marks[wire->to.node] = Mark::onPath;
        path.push_back({wire->to.node, 0, wire});
      }
    }
  }
  return loops;
}

// One line per warning, each naming the file, the flow and the node: a
// statement of a script the node accepts that fails on every message, and a
// cycle of wires, which ends each message that enters it in a fatal broker
// exception unless a node on it stops the message.
std::vector<std::string> flowWarnings(const FlowFile& file) {
  std::vector<std::string> warnings;
  for (const FlowDef& flow : file.flows) {
    for (const NodeDef& node : flow.nodes) {
      if (node.className != "KvPoolNode") continue;
      for (const auto& [name, value] : node.attributes) {
        if (name != "KvPoolExpression") continue;
        const Script script = readScript(value);
        // A refused script is a problem of its own, reported as such.
        if (!script.refusal.empty()) continue;
        for (const ScriptStatement& statement : script.statements) {
          const std::string why = alwaysFails(statement);
          if (why.empty()) continue;
          warnings.push_back(file.path + ": flow " + inQuotes(flow.name) + ", node " +
                             inQuotes(node.name) + ": statement " +
                             std::to_string(statement.number) + " \"" +
                             shownStatement(statement.written) + "\" fails on every message (" +
                             why + ": result 4)");
        }
      }
    }
    for (const auto& loop : wiringLoops(flow)) {
      std::vector<std::string> wires;
      for (const WireDef& wire : loop) {
        wires.push_back(visibleText(wire.from.text()) + " -> " + visibleText(wire.to.text()));
      }
      warnings.push_back(file.path + ": flow " + inQuotes(flow.name) + ": wiring loop " +
                         joined(wires) +
                         " (a message that goes round it ends in a fatal broker exception)");
    }
  }
  return warnings;
}

}  // namespace

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
  std::optional<std::string> stdinText;
  for (const FlowDef& flow : file.flows) {
    try {
      readMessages(flow.messages, &stdinText);
    } catch (const MessageError& error) {
      problems.push_back(error.what());
    }
  }
  // Warnings are shown either way; only problems fail the check.
  const std::vector<std::string> warnings = flowWarnings(file);
  for (const std::string& warning : warnings) complain("warning: " + warning);
  for (const std::string& problem : problems) complain(problem);
  if (!problems.empty()) {
    complain(file.path + ": " + counted(problems.size(), "problem"));
    return kExitNothingSent;
  }
  std::cout << "kvflow: " << file.path << ": OK: " << counted(file.flows.size(), "flow") << ", "
            << nodes << " nodes, " << wires << " wires; every node created and configured";
  if (!warnings.empty()) std::cout << "; " << counted(warnings.size(), "warning");
  std::cout << "\n";
  return kExitDone;
}

}  // namespace kvflow
