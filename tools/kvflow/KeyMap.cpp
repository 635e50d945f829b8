// kvflow keys and kvflow graph: the map of the pool's keys across flow files
// (which flow, node and statement writes each key and which read it),
// warnings for keys read but never written (likely a typo) and written but
// never read, and the same as a Graphviz picture. Read from the flow files
// alone: no plug-in is loaded and no pool is touched.
#include <algorithm>
#include <set>

#include "script/ScriptRules.h"
#include "tools/kvflow/Kvflow.h"

namespace kvflow {
namespace {

constexpr const char* kPoolNodeClass = "KvPoolNode";

struct KeyUse {
  std::string file;  // the flow file's path; shown only when the map covers several
  std::string flow;
  std::string node;
  int statement = 0;       // counted from 1 in the node's script
  std::string assignment;  // the statement as the node runs it: left=right
  std::string key;         // the key it writes or reads
};

struct KeyUses {
  std::vector<KeyUse> writers;
  std::vector<KeyUse> readers;
};

// The pool keys of every KvPoolNode script, statement by statement as the
// node splits them. Statements that fail on every message touch no key and
// are left out; so are the scripts the node refuses, each noted.
struct KeyMap {
  std::map<std::string, KeyUses> keys;  // by key, in byte order
  bool severalFiles = false;
  std::vector<std::string> refusedScripts;  // one line per script the node refuses

  explicit KeyMap(const std::vector<FlowFile>& files) : severalFiles(files.size() > 1) {
    for (const FlowFile& file : files) {
      for (const FlowDef& flow : file.flows) {
        for (const NodeDef& node : flow.nodes) addUses(file, flow, node);
      }
    }
  }

  void addUses(const FlowFile& file, const FlowDef& flow, const NodeDef& node) {
    if (node.className != kPoolNodeClass) return;
    for (const auto& [name, value] : node.attributes) {
      if (name != "KvPoolExpression") continue;
      const Script script = readScript(value);
      if (!script.refusal.empty()) {
        refusedScripts.push_back(file.path + ": flow " + inQuotes(flow.name) + ", node " +
                                 inQuotes(node.name) + ": the node refuses its script (" +
                                 script.refusal +
                                 "), so its keys are not listed; kvflow check tells more");
        continue;
      }
      for (const ScriptStatement& statement : script.statements) {
        if (!alwaysFails(statement).empty()) continue;
        // Right first: the statement reads before it stores.
        for (const bool writes : {false, true}) {
          const std::string key = writes ? statement.left() : statement.right();
          if (key.rfind(kvpool::kPoolKeyPrefix, 0) != 0) continue;
          KeyUses& uses = keys[key];
          (writes ? uses.writers : uses.readers)
              .push_back(
                  {file.path, flow.name, node.name, statement.number, statement.assignment, key});
        }
      }
    }
  }

  // One line per warning, naming file, flow, node and statement: keys read
  // but never written (with the written key one or two edits away, if any),
  // keys written but never read, refused scripts.
  std::vector<std::string> warnings() const {
    std::vector<std::string> lines;
    const auto at = [](const KeyUse& use) {
      return use.file + ": flow " + inQuotes(use.flow) + ", node " + inQuotes(use.node) +
             ", statement " + std::to_string(use.statement) + ": key " + visibleText(use.key);
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

  // The written key nearest to key, at most two byte edits away; empty if none.
  std::string nearestWrittenKey(const std::string& key) const {
    std::string nearest;
    std::size_t best = 3;
    for (const auto& [other, uses] : keys) {
      if (other == key || uses.writers.empty()) continue;
      const std::size_t distance = editDistance(key, other);
      if (distance < best) best = distance, nearest = other;
    }
    return nearest;
  }

  // Levenshtein distance over bytes, one row at a time.
  static std::size_t editDistance(const std::string& a, const std::string& b) {
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
};

// The inside of a DOT string: quotes and backslashes escaped, invisible
// characters shown (so never a raw control byte or a byte that is not UTF-8).
std::string dotText(const std::string& text) {
  std::string out;
  for (char c : visibleText(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string dotQuoted(const std::string& text) {
  return "\"" + dotText(text) + "\"";
}

// Node names are unique within a file only: the file's place in the list
// keeps the ids of several files apart.
std::string nodeId(std::size_t fileIndex, const std::string& node) {
  return dotQuoted("node:" + std::to_string(fileIndex) + ":" + node);
}

// The flows (clusters of nodes and their wires; the input node drawn bold).
void printFlowGraph(std::ostream& out, const std::vector<FlowFile>& files) {
  int cluster = 0;
  for (std::size_t f = 0; f < files.size(); ++f) {
    for (const FlowDef& flow : files[f].flows) {
      const std::string label =
          "flow " + flow.name + (files.size() > 1 ? " (" + files[f].path + ")" : "");
      out << "  subgraph cluster_" << cluster++ << " {\n"
          << "    label=" << dotQuoted(label) << "; style=rounded;\n";
      for (const NodeDef& node : flow.nodes) {
        out << "    " << nodeId(f, node.name) << " [label=\"" << dotText(node.name) << "\\n"
            << dotText(node.className) << "\", shape=box"
            << (node.className == kPoolNodeClass ? ", style=filled, fillcolor=\"#dde8f8\"" : "")
            << (node.name == flow.input.node ? ", penwidth=2" : "") << "];\n";
      }
      for (const WireDef& wire : flow.wires) {
        const std::string label =
            wire.from.terminal + (wire.to.terminal == "in" ? "" : " -> " + wire.to.terminal);
        out << "    " << nodeId(f, wire.from.node) << " -> " << nodeId(f, wire.to.node)
            << " [label=" << dotQuoted(label)
            << (wire.from.terminal == "failure" ? ", color=firebrick, fontcolor=firebrick" : "")
            << "];\n";
      }
      out << "  }\n";
    }
  }
}

// The keys as shared places between the nodes that write and read them
// (dashed edges labelled with the statement number; keys with a warning
// filled red).
void printKeysGraph(std::ostream& out, const std::vector<FlowFile>& files, const KeyMap& map) {
  std::map<std::string, std::size_t> fileIndex;  // which file each use comes from
  for (std::size_t f = 0; f < files.size(); ++f) fileIndex.emplace(files[f].path, f);
  for (const auto& [key, uses] : map.keys) {
    const bool lonely = uses.writers.empty() || uses.readers.empty();
    const std::string keyId = dotQuoted("key:" + key);
    out << "  " << keyId << " [label=" << dotQuoted(key)
        << ", shape=cylinder, style=filled, fillcolor=" << (lonely ? "\"#f8d8d0\"" : "\"#fff4c8\"")
        << "];\n";
    for (const bool writes : {true, false}) {
      for (const KeyUse& use : writes ? uses.writers : uses.readers) {
        const std::string node = nodeId(fileIndex[use.file], use.node);
        out << "  " << (writes ? node : keyId) << " -> " << (writes ? keyId : node)
            << " [style=dashed, label=" << dotQuoted("#" + std::to_string(use.statement)) << "];\n";
      }
    }
  }
}

// Every file once, in the order given; none, with a complaint per file that
// cannot be read.
std::optional<std::vector<FlowFile>> readFlowFiles(const std::vector<std::string>& paths) {
  std::vector<FlowFile> files;
  std::set<std::filesystem::path> seen;
  bool ok = true;
  for (const std::string& path : paths) {
    std::error_code error;
    const auto canonical = std::filesystem::weakly_canonical(path, error);
    if (!error && !seen.insert(canonical).second) continue;
    try {
      files.push_back(readFlowFile(path));
    } catch (const FlowFileError& failure) {
      complain(failure.what());
      ok = false;
    }
  }
  if (!ok) return std::nullopt;
  return files;
}

}  // namespace

int keysCommand(const Options& options) {
  const auto files = readFlowFiles(options.flowPaths);
  if (!files) return kExitKeysBadInput;
  const KeyMap map(*files);
  if (map.keys.empty()) std::cout << "no pool keys in these flows\n";
  for (const auto& [key, uses] : map.keys) {
    std::cout << visibleText(key) << "\n";
    for (const bool writes : {true, false}) {
      for (const KeyUse& use : writes ? uses.writers : uses.readers) {
        std::cout << (writes ? "  written by " : "  read by    ")
                  << (map.severalFiles ? use.file + ": " : "") << visibleText(use.flow) << "/"
                  << visibleText(use.node) << " statement " << use.statement << ": "
                  << visibleText(use.assignment) << "\n";
      }
    }
  }
  std::cout.flush();
  const std::vector<std::string> warnings = map.warnings();
  for (const std::string& warning : warnings) complain("warning: " + warning);
  return options.strict && !warnings.empty() ? kExitKeysWarned : kExitDone;
}

int graphCommand(const Options& options) {
  const auto files = readFlowFiles(options.flowPaths);
  if (!files) return kExitKeysBadInput;
  std::cout << "digraph kvpool {\n"
            << "  rankdir=LR;\n"
            << "  graph [fontname=\"Helvetica\"];\n"
            << "  node [fontname=\"Helvetica\", fontsize=11];\n"
            << "  edge [fontname=\"Helvetica\", fontsize=9];\n";
  printFlowGraph(std::cout, *files);
  printKeysGraph(std::cout, *files, KeyMap(*files));
  std::cout << "}\n";
  std::cout.flush();
  if (!std::cout) {
    complain("graph: cannot write to standard output");
    return kExitKeysBadInput;
  }
  return kExitDone;
}

}  // namespace kvflow
