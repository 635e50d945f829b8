// kvflow keys and kvflow graph.
#include "tools/kvflow/KeyMap.h"

#include <algorithm>

#include "tools/kvflow/ScriptText.h"
#include "tools/kvflow/VisibleText.h"

namespace kvflow {
namespace {

constexpr const char* kScriptAttribute = "KvPoolExpression";
constexpr const char* kPoolNodeClass = "KvPoolNode";

bool isPoolOperand(const std::string& operand) {
  return operand.rfind(kPoolPrefix, 0) == 0;
}

void addUses(KeyMap& map, const FlowFile& file, const FlowDef& flow, const NodeDef& node) {
  if (node.className != kPoolNodeClass) return;
  for (const auto& [name, value] : node.attributes) {
    if (name != kScriptAttribute) continue;
    const Script script = readScript(value);
    if (!script.refusal.empty()) {
      map.refusedScripts.push_back(file.path + ": flow \"" + visibleText(flow.name) +
                                   "\", node \"" + visibleText(node.name) +
                                   "\": the node refuses its script (" + script.refusal +
                                   "), so its keys are not listed; kvflow check tells more");
      continue;
    }
    for (const ScriptStatement& statement : script.statements) {
      if (!alwaysFails(statement).empty()) continue;
      const auto use = [&](const std::string& key) {
        return KeyUse{file.path, flow.name, node.name, statement.number, statement.assignment, key};
      };
      // Right first: the statement reads before it stores.
      if (const std::string key = statement.right(); isPoolOperand(key)) {
        map.keys[key].readers.push_back(use(key));
      }
      if (const std::string key = statement.left(); isPoolOperand(key)) {
        map.keys[key].writers.push_back(use(key));
      }
    }
  }
}

std::string where(const KeyMap& map, const KeyUse& use) {
  return (map.severalFiles ? use.file + ": " : "") + visibleText(use.flow) + "/" +
         visibleText(use.node) + " statement " + std::to_string(use.statement);
}

// The inside of a DOT string: quotes and backslashes escaped, invisible
// characters shown as VisibleText.h does (so never a raw control byte or a
// byte that is not UTF-8).
std::string dotText(const std::string& text) {
  std::string out;
  for (char c : visibleText(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string quoted(const std::string& text) {
  return "\"" + dotText(text) + "\"";
}

// Node names are unique within a file only: the file's place in the list
// keeps the ids of several files apart.
std::string nodeId(std::size_t fileIndex, const std::string& node) {
  return quoted("node:" + std::to_string(fileIndex) + ":" + node);
}

std::string keyId(const std::string& key) {
  return quoted("key:" + key);
}

// Levenshtein distance over bytes, one row at a time.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::vector<std::string> KeyMap::warnings() const {
  std::vector<std::string> lines;
  const auto at = [](const KeyUse& use) {
    return use.file + ": flow \"" + visibleText(use.flow) + "\", node \"" + visibleText(use.node) +
           "\", statement " + std::to_string(use.statement) + ": key " + visibleText(use.key);
  };
  for (const auto& [key, uses] : keys) {
    if (uses.writers.empty()) {
      const std::string near = nearestWrittenKey(key);
      lines.push_back(at(uses.readers.front()) + " is read but never written (a typo" +
                      (near.empty() ? "" : " of " + visibleText(near)) + "?)");
    } else if (uses.readers.empty()) {
      lines.push_back(at(uses.writers.front()) + " is written but never read");
    }
  }
  lines.insert(lines.end(), refusedScripts.begin(), refusedScripts.end());
  return lines;
}

std::string KeyMap::nearestWrittenKey(const std::string& key) const {
  constexpr std::size_t kMaxEdits = 2;
  std::string nearest;
  std::size_t best = kMaxEdits + 1;
  for (const auto& [other, uses] : keys) {
    if (other == key || uses.writers.empty()) continue;
    const std::size_t distance = editDistance(key, other);
    if (distance < best) best = distance, nearest = other;
  }
  return nearest;
}

KeyMap buildKeyMap(const std::vector<FlowFile>& files) {
  KeyMap map;
  map.severalFiles = files.size() > 1;
  for (const FlowFile& file : files) {
    for (const FlowDef& flow : file.flows) {
      for (const NodeDef& node : flow.nodes) addUses(map, file, flow, node);
    }
  }
  return map;
}

void printKeyMap(std::ostream& out, const KeyMap& map) {
  if (map.keys.empty()) out << "no pool keys in these flows\n";
  for (const auto& [key, uses] : map.keys) {
    out << visibleText(key) << "\n";
    for (const KeyUse& use : uses.writers) {
      out << "  written by " << where(map, use) << ": " << visibleText(use.assignment) << "\n";
    }
    for (const KeyUse& use : uses.readers) {
      out << "  read by    " << where(map, use) << ": " << visibleText(use.assignment) << "\n";
    }
  }
}

void printKeyGraph(std::ostream& out, const std::vector<FlowFile>& files, const KeyMap& map) {
  out << "digraph kvpool {\n"
      << "  rankdir=LR;\n"
      << "  graph [fontname=\"Helvetica\"];\n"
      << "  node [fontname=\"Helvetica\", fontsize=11];\n"
      << "  edge [fontname=\"Helvetica\", fontsize=9];\n";
  // Which file each use comes from, for its node's id.
  std::map<std::string, std::size_t> fileIndex;
  int cluster = 0;
  for (std::size_t f = 0; f < files.size(); ++f) {
    const FlowFile& file = files[f];
    fileIndex.emplace(file.path, f);
    for (const FlowDef& flow : file.flows) {
      const std::string label =
          "flow " + flow.name + (files.size() > 1 ? " (" + file.path + ")" : "");
      out << "  subgraph cluster_" << cluster++ << " {\n"
          << "    label=" << quoted(label) << "; style=rounded;\n";
      for (const NodeDef& node : flow.nodes) {
        const bool poolNode = node.className == kPoolNodeClass;
        out << "    " << nodeId(f, node.name) << " [label=\"" << dotText(node.name) << "\\n"
            << dotText(node.className) << "\", shape=box"
            << (poolNode ? ", style=filled, fillcolor=\"#dde8f8\"" : "")
            << (node.name == flow.input.node ? ", penwidth=2" : "") << "];\n";
      }
      for (const WireDef& wire : flow.wires) {
        const std::string label =
            wire.from.terminal + (wire.to.terminal == "in" ? "" : " -> " + wire.to.terminal);
        out << "    " << nodeId(f, wire.from.node) << " -> " << nodeId(f, wire.to.node)
            << " [label=" << quoted(label)
            << (wire.from.terminal == "failure" ? ", color=firebrick, fontcolor=firebrick" : "")
            << "];\n";
      }
      out << "  }\n";
    }
  }
  for (const auto& [key, uses] : map.keys) {
    const bool lonely = uses.writers.empty() || uses.readers.empty();
    out << "  " << keyId(key) << " [label=" << quoted(key)
        << ", shape=cylinder, style=filled, fillcolor=" << (lonely ? "\"#f8d8d0\"" : "\"#fff4c8\"")
        << "];\n";
    for (const KeyUse& use : uses.writers) {
      out << "  " << nodeId(fileIndex[use.file], use.node) << " -> " << keyId(key)
          << " [style=dashed, label=" << quoted("#" + std::to_string(use.statement)) << "];\n";
    }
    for (const KeyUse& use : uses.readers) {
      out << "  " << keyId(key) << " -> " << nodeId(fileIndex[use.file], use.node)
          << " [style=dashed, label=" << quoted("#" + std::to_string(use.statement)) << "];\n";
    }
  }
  out << "}\n";
}

}  // namespace kvflow
