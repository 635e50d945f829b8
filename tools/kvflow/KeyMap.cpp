// kvflow keys and kvflow graph.
#include "tools/kvflow/KeyMap.h"


namespace kvflow {
namespace {

constexpr const char* kScriptAttribute = "KvPoolExpression";
constexpr const char* kPoolPrefix = "KvPool";

bool isPoolOperand(const std::string& operand) {
  return operand.rfind(kPoolPrefix, 0) == 0;
}

// The statements of a script as the node compiles them: up to each ';',
// spaces, tabs and line feeds removed, the leading "SET" dropped.
std::vector<std::string> assignments(const std::string& script) {
  std::vector<std::string> result;
  std::string statement;
  for (char c : script) {
    if (c == ';') {
      result.push_back(statement.rfind("SET", 0) == 0 ? statement.substr(3) : std::string());
      statement.clear();
    } else if (c != ' ' && c != '\t' && c != '\n') {
      statement.push_back(c);
    }
  }
  return result;
}

void addUses(KeyMap& map, const FlowDef& flow, const NodeDef& node) {
  if (node.className != "KvPoolNode") return;
  for (const auto& [name, value] : node.attributes) {
    if (name != kScriptAttribute) continue;
    const std::vector<std::string> statements = assignments(value);
    for (std::size_t i = 0; i < statements.size(); ++i) {
      const std::string& assignment = statements[i];
      const std::size_t equals = assignment.find('=');
      if (equals == std::string::npos) continue;
      const std::string left = assignment.substr(0, equals);
      const std::string right = assignment.substr(equals + 1);
      const KeyUse use{flow.name, node.name, static_cast<int>(i + 1), assignment};
      if (isPoolOperand(right)) map.keys[right].readers.push_back(use);
      if (isPoolOperand(left)) map.keys[left].writers.push_back(use);
    }
  }
}

std::string where(const KeyUse& use) {
  return use.flow + "/" + use.node + " statement " + std::to_string(use.statement);
}

// A DOT identifier or label: quoted, with quotes and backslashes escaped and
// bytes outside printable ASCII written as octal escapes of their own.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string nodeId(const std::string& flow, const std::string& node) {
  return quoted("node:" + flow + "/" + node);
}

}  // namespace

int KeyMap::warnings() const {
  int count = 0;
  for (const auto& [key, uses] : keys) {
    if (uses.writers.empty() || uses.readers.empty()) ++count;
  }
  return count;
}

KeyMap buildKeyMap(const std::vector<FlowFile>& files) {
  KeyMap map;
  for (const FlowFile& file : files) {
    for (const FlowDef& flow : file.flows) {
      for (const NodeDef& node : flow.nodes) addUses(map, flow, node);
    }
  }
  return map;
}

void printKeyMap(std::ostream& out, const KeyMap& map) {
  if (map.keys.empty()) out << "no pool keys in these flows\n";
  for (const auto& [key, uses] : map.keys) {
    out << key << "\n";
    for (const KeyUse& use : uses.writers) {
      out << "  written by " << where(use) << ": " << use.assignment << "\n";
    }
    for (const KeyUse& use : uses.readers) {
      out << "  read by    " << where(use) << ": " << use.assignment << "\n";
    }
  }
  for (const auto& [key, uses] : map.keys) {
    if (uses.writers.empty()) {
      out << "warning: " << key << " is read but never written (a typo?): read by "
          << where(uses.readers.front()) << "\n";
    } else if (uses.readers.empty()) {
      out << "warning: " << key << " is written but never read: written by "
          << where(uses.writers.front()) << "\n";
    }
  }
}

void printKeyGraph(std::ostream& out, const std::vector<FlowFile>& files, const KeyMap& map) {
  out << "digraph kvpool {\n"
      << "  rankdir=LR;\n"
      << "  node [fontname=\"Helvetica\"];\n";
  int cluster = 0;
  for (const FlowFile& file : files) {
    for (const FlowDef& flow : file.flows) {
      out << "  subgraph cluster_" << cluster++ << " {\n"
          << "    label=" << quoted("flow " + flow.name) << "; style=rounded;\n";
      for (const NodeDef& node : flow.nodes) {
        const bool poolNode = node.className == "KvPoolNode";
        out << "    " << nodeId(flow.name, node.name) << " [label=" << quoted(node.name)
            << ", shape=box" << (poolNode ? ", style=filled, fillcolor=\"#dde8f8\"" : "") << "];\n";
      }
      for (const WireDef& wire : flow.wires) {
        out << "    " << nodeId(flow.name, wire.from.node) << " -> "
            << nodeId(flow.name, wire.to.node) << " [label=" << quoted(wire.from.terminal)
            << (wire.from.terminal == "failure" ? ", color=firebrick" : "") << "];\n";
      }
      out << "  }\n";
    }
  }
  for (const auto& [key, uses] : map.keys) {
    const bool lonely = uses.writers.empty() || uses.readers.empty();
    out << "  " << quoted("key:" + key) << " [label=" << quoted(key)
        << ", shape=cylinder, style=filled, fillcolor=" << (lonely ? "\"#f8d8d0\"" : "\"#fff4c8\"")
        << "];\n";
    for (const KeyUse& use : uses.writers) {
      out << "  " << nodeId(use.flow, use.node) << " -> " << quoted("key:" + key)
          << " [style=dashed, label=" << quoted("#" + std::to_string(use.statement)) << "];\n";
    }
    for (const KeyUse& use : uses.readers) {
      out << "  " << quoted("key:" + key) << " -> " << nodeId(use.flow, use.node)
          << " [style=dashed, label=" << quoted("#" + std::to_string(use.statement)) << "];\n";
    }
  }
  out << "}\n";
}

}  // namespace kvflow
