// The flow file of kvflow: one or more message flows, each named nodes with a
// class and attributes, the wires between their terminals, the node that
// receives the messages, and optionally the messages themselves:
//   { "nodes": [ {"name": "enrich", "class": "KvPoolNode",
//                 "attributes": {"label": "enrich",
//                                "KvPoolExpression": ["SET a=b;", "SET c=d;"]}},
//                {"name": "labels", "class": "OutputNode",
//                 "attributes": {"directory": "out"}} ],
//     "wires": [ {"from": "enrich.out", "to": "labels.in"} ],
//     "input": "enrich",
//     "messages": ["shipments/"] }
// Several flows: {"flows": [ {"name": ..., <flow>}, ... ]}, run in that order.
#ifndef KVPOOL_TOOLS_KVFLOW_FLOWFILE_H
#define KVPOOL_TOOLS_KVFLOW_FLOWFILE_H

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/common/Text.h"

namespace kvflow {

// Text from flow files and scripts as kvflow shows it, every character that
// cannot be seen escaped: a script with CR LF line ends is refused for a
// character the reader would never spot.
inline std::string visibleText(std::string_view text) {
  return kvtools::shownText(text, kvtools::ShownAs::kSource);
}
inline std::string inQuotes(std::string_view text) {
  return "\"" + visibleText(text) + "\"";
}
inline std::string joined(const std::vector<std::string>& items, std::string_view between = ", ") {
  std::string out;
  for (const std::string& item : items) (out += out.empty() ? "" : between) += item;
  return out;
}

// A flow file that cannot be used: what() is one line naming the file and
// the place in it.
class FlowFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Terminal {
  std::string node;
  std::string terminal;
  std::string text() const { return node + "." + terminal; }
};

struct NodeDef {
  std::string name;
  std::string className;
  // In file order; "label" is moved to the front so that every trace line of
  // the node's configuration already carries it.
  std::vector<std::pair<std::string, std::string>> attributes;
};

struct WireDef {
  Terminal from;
  Terminal to;
};

struct FlowDef {
  std::string name;
  std::vector<NodeDef> nodes;
  std::vector<WireDef> wires;
  Terminal input;
  // Message sources named by the file, resolved against the file's directory.
  std::vector<std::string> messages;
};

struct FlowFile {
  std::string path;
  std::vector<FlowDef> flows;
  const FlowDef* findFlow(const std::string& name) const;
};

// Node names starting with this are kvflow's own (counting taps).
inline constexpr const char* kReservedNodePrefix = "kvflow.";

// Reads and checks a flow file: JSON syntax, shape, names unique across the
// file, wires and input naming declared nodes. Node classes, attributes and
// terminals are checked when the flow is built on a broker.
FlowFile readFlowFile(const std::string& path);

}  // namespace kvflow

#endif
