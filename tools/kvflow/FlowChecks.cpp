// The commands that judge flow files: check, which builds the flows without
// sending a message and warns about what fails for sure, and keys and graph,
// the map of the pool's keys across flow files (which flow, node and
// statement writes each key and which read it; keys read but never written,
// likely a typo, and written but never read), read from the files alone.
// Each reads a KvPoolExpression as the node compiles it
// (script/ScriptRules.h); the plug-in stays the judge.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "script/ScriptRules.h"
#include "tools/common/BackendOption.h"
#include "tools/kvflow/Kvflow.h"

namespace kvflow {
namespace {

struct ScriptStatement {
  int number = 0;                          // counted from 1
  std::string written;                     // the text before its ';' as written
  std::string assignment;                  // as the node keeps it: blanks removed, "SET" dropped
  std::size_t equals = std::string::npos;  // the first '=' in assignment
  std::string left() const { return assignment.substr(0, equals); }
  std::string right() const {
    return equals == std::string::npos ? "" : assignment.substr(equals + 1);
  }
};
struct Script {
  // Up to the last ';', and up to the one the node refuses.
  std::vector<ScriptStatement> statements;
  std::string refusal;  // why the node refuses the script, or empty
};
Script readScript(std::string_view text) {
  Script script;
  // The node looks for the rejected characters in this order, before anything else.
  for (char rejected : kvpool::kScriptRejectedCharacters) {
    if (text.find(rejected) != std::string_view::npos) {
      script.refusal = std::string("the script holds '") + rejected + "'";
      return script;
    }
  }
  std::vector<std::string> written = splitStatements(text);
  written.pop_back();  // the text after the last ';'
  for (std::size_t i = 0; i < written.size(); ++i) {
    ScriptStatement statement{static_cast<int>(i + 1), written[i], written[i]};
    std::string& assignment = statement.assignment;
    const kvpool::StatementForm form = kvpool::normaliseStatement(assignment.data());
    assignment.resize(std::strlen(assignment.c_str()));
    statement.equals = kvpool::splitAssignment(assignment).equals;
    script.statements.push_back(std::move(statement));
    const std::string number = "statement " + std::to_string(i + 1);
    if (form == kvpool::StatementForm::kNoKeyword) {
      script.refusal = number + " does not begin with SET";
    } else if (form == kvpool::StatementForm::kWritesInput) {
      script.refusal = number + " writes to the input message";
    }
    if (!script.refusal.empty()) return script;
  }
  return script;
}

// Why the statement fails on every message that reaches it (no '=', or an
// operand over the bound), or empty.
std::string alwaysFails(const ScriptStatement& statement) {
  if (statement.equals == std::string::npos) return "it has no '='";
  for (const auto& [side, operand] :
       {std::pair{"left", statement.left()}, std::pair{"right", statement.right()}}) {
    if (operand.size() > kvpool::kMaxOperandBytes) {
      return std::string("its ") + side + " operand has " + std::to_string(operand.size()) +
             " bytes, more than " + std::to_string(kvpool::kMaxOperandBytes);
    }
  }
  return "";
}

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

constexpr const char* kPoolNodeClass = "KvPoolNode";

// Calls visit(flow, node, script) for each script of a KvPoolNode, as read.
template <typename Visit>
void forEachScript(const FlowFile& file, Visit visit) {
  for (const FlowDef& flow : file.flows) {
    for (const NodeDef& node : flow.nodes) {
      for (const auto& [name, value] : node.attributes) {
        if (node.className == kPoolNodeClass && name == "KvPoolExpression") {
          visit(flow, node, readScript(value));
        }
      }
    }
  }
}

// One line per warning: a statement of an accepted script that fails on
// every message, and a cycle of wires (a fatal broker exception for each
// message that enters it, unless a node on it stops the message).
std::vector<std::string> flowWarnings(const FlowFile& file) {
  std::vector<std::string> warnings;
  forEachScript(file, [&](const FlowDef& flow, const NodeDef& node, const Script& script) {
    // A refused script is a problem of its own, reported as such.
    if (!script.refusal.empty()) return;
    for (const ScriptStatement& statement : script.statements) {
      const std::string why = alwaysFails(statement);
      if (why.empty()) continue;
      warnings.push_back(file.path + ": flow " + inQuotes(flow.name) + ", node " +
                         inQuotes(node.name) + ": statement " + std::to_string(statement.number) +
                         " \"" + shownStatement(statement.written) + "\" fails on every message (" +
                         why + ": result 4)");
    }
  });
  for (const FlowDef& flow : file.flows) {
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
      forEachScript(file, [&](const FlowDef& flow, const NodeDef& node, const Script& script) {
        addUses(file.path, flow, node, script);
      });
    }
  }

  void addUses(const std::string& path, const FlowDef& flow, const NodeDef& node,
               const Script& script) {
    if (!script.refusal.empty()) {
      refusedScripts.push_back(path + ": flow " + inQuotes(flow.name) + ", node " +
                               inQuotes(node.name) + ": the node refuses its script (" +
                               script.refusal +
                               "), so its keys are not listed; kvflow check tells more");
      return;
    }
    for (const ScriptStatement& statement : script.statements) {
      if (!alwaysFails(statement).empty()) continue;
      // Right first: the statement reads before it stores.
      for (const bool writes : {false, true}) {
        const std::string key = writes ? statement.left() : statement.right();
        if (key.rfind(kvpool::kPoolKeyPrefix, 0) != 0) continue;
        KeyUses& uses = keys[key];
        (writes ? uses.writers : uses.readers)
            .push_back({path, flow.name, node.name, statement.number, statement.assignment, key});
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

std::vector<std::string> splitStatements(std::string_view script) {
  std::vector<std::string> statements;
  std::size_t start = 0;
  for (std::size_t semicolon; (semicolon = script.find(';', start)) != std::string_view::npos;) {
    statements.emplace_back(script.substr(start, semicolon - start));
    start = semicolon + 1;
  }
  statements.emplace_back(script.substr(start));
  return statements;
}

std::string shownStatement(const std::string& written) {
  std::string text = written;
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\t'; }, ' ');
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
  // A node creation opens the pool on Redis without reaching it: check does.
  std::string reached, unreachable;
  if (!kvtools::reachRemotePool(&reached, &unreachable)) problems.push_back(unreachable);
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
    complain(file.path + ": " + counted(problems.size(), "problem", "problems"));
    return kExitNothingSent;
  }
  std::cout << "kvflow: " << file.path << ": OK: " << counted(file.flows.size(), "flow", "flows")
            << ", " << nodes << " nodes, " << wires << " wires; every node created and configured";
  if (!reached.empty()) std::cout << "; the pool on " << reached;
  if (!warnings.empty()) std::cout << "; " << counted(warnings.size(), "warning", "warnings");
  std::cout << "\n";
  return kExitDone;
}

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
