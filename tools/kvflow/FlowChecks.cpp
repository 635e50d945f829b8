// The warnings of kvflow check.
#include "tools/kvflow/FlowChecks.h"

#include <map>

#include "tools/kvflow/ScriptText.h"
#include "tools/kvflow/VisibleText.h"

namespace kvflow {
namespace {

std::string quoted(const std::string& text) {
  return "\"" + visibleText(text) + "\"";
}

}  // namespace

std::string shownStatement(const std::string& written) {
  std::string text = written;
  for (char& c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  constexpr std::size_t kShownBytes = 100;
  if (text.size() <= kShownBytes) return visibleText(text);
  std::size_t cut = kShownBytes;
  // Never in the middle of a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return visibleText(text.substr(0, cut)) + "...";
}

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
          warnings.push_back(file.path + ": flow " + quoted(flow.name) + ", node " +
                             quoted(node.name) + ": statement " + std::to_string(statement.number) +
                             " \"" + shownStatement(statement.written) +
                             "\" fails on every message (" + why + ": result 4)");
        }
      }
    }
    for (const auto& loop : wiringLoops(flow)) {
      std::string wires;
      for (const WireDef& wire : loop) {
        wires += (wires.empty() ? "" : ", ") + visibleText(wire.from.text()) + " -> " +
                 visibleText(wire.to.text());
      }
      warnings.push_back(file.path + ": flow " + quoted(flow.name) + ": wiring loop " + wires +
                         " (a message that goes round it ends in a fatal broker exception)");
    }
  }
  return warnings;
}

}  // namespace kvflow
