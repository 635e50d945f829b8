// Reading and checking kvflow's flow files.
#include "tools/kvflow/FlowFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace kvflow {
namespace {

using Json = nlohmann::ordered_json;

class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)) {}

  FlowFile read() {
    Json root = parse();
    if (!root.is_object()) fail("the top level must be a JSON object");
    FlowFile file;
    file.path = path_;
    if (root.contains("flows")) {
      onlyKeys(root, "the top level", {"flows", "description"});
      const Json& flows = root["flows"];
      if (!flows.is_array() || flows.empty()) fail("\"flows\" must be a non-empty array of flows");
      for (std::size_t i = 0; i < flows.size(); ++i) {
        const std::string where = "flows[" + std::to_string(i) + "]";
        if (!flows[i].is_object()) fail(where + " must be an object");
        if (!flows[i].contains("name")) fail(where + " has no \"name\"");
        file.flows.push_back(readFlow(flows[i], where));
      }
    } else {
      FlowDef flow = readFlow(root, "the flow");
      file.flows.push_back(std::move(flow));
    }
    checkNamesUnique(file);
    return file;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw FlowFileError(path_ + ": " + what);
  }

  Json parse() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) fail(std::string("cannot open the flow file: ") + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) fail(std::string("cannot read the flow file: ") + std::strerror(errno));
    try {
      return Json::parse(text.str());
    } catch (const Json::parse_error& error) {
      // The library's text starts with its own tag; keep the reason only.
      std::string reason = error.what();
      const auto colon = reason.find("parse error");
      if (colon != std::string::npos) reason = reason.substr(colon);
      fail("not valid JSON (byte " + std::to_string(error.byte) + "): " + reason);
    }
  }

  void onlyKeys(const Json& object, const std::string& where, std::set<std::string> allowed) const {
    for (const auto& item : object.items()) {
      if (!allowed.count(item.key())) {
        std::string list;
        for (const auto& name : allowed) list += (list.empty() ? "" : ", ") + name;
        fail(where + ": unknown key \"" + item.key() + "\" (known: " + list + ")");
      }
    }
  }

  std::string text(const Json& value, const std::string& where) const {
    if (!value.is_string()) fail(where + " must be a string");
    return value.get<std::string>();
  }

  std::string fileStem() const { return std::filesystem::path(path_).stem().string(); }

  FlowDef readFlow(const Json& json, const std::string& where) {
    onlyKeys(json, where, {"name", "description", "nodes", "wires", "input", "messages"});
    FlowDef flow;
    flow.name = json.contains("name") ? text(json["name"], where + ".name") : fileStem();
    if (flow.name.empty() || flow.name.find('=') != std::string::npos) {
      fail(where + ": a flow name must be non-empty and hold no '='");
    }
    const std::string flowWhere = "flow \"" + flow.name + "\"";
    if (!json.contains("nodes") || !json["nodes"].is_array() || json["nodes"].empty()) {
      fail(flowWhere + ": \"nodes\" must be a non-empty array of nodes");
    }
    for (const Json& node : json["nodes"]) flow.nodes.push_back(readNode(node, flowWhere));
    std::set<std::string> names;
    for (const NodeDef& node : flow.nodes) names.insert(node.name);

    if (json.contains("wires")) {
      if (!json["wires"].is_array()) fail(flowWhere + ": \"wires\" must be an array");
      for (const Json& wire : json["wires"]) {
        if (!wire.is_object()) fail(flowWhere + ": each wire must be an object {\"from\", \"to\"}");
        onlyKeys(wire, flowWhere + ", a wire", {"from", "to"});
        if (!wire.contains("from") || !wire.contains("to")) {
          fail(flowWhere + ": each wire needs \"from\" and \"to\"");
        }
        WireDef def;
        def.from = terminal(wire["from"], "out", names, flowWhere + ", wire from");
        def.to = terminal(wire["to"], "in", names, flowWhere + ", wire to");
        flow.wires.push_back(def);
      }
    }
    if (!json.contains("input")) fail(flowWhere + ": no \"input\" node");
    flow.input = terminal(json["input"], "in", names, flowWhere + ", input");

    if (json.contains("messages")) {
      const Json& messages = json["messages"];
      const auto base = std::filesystem::path(path_).parent_path();
      auto add = [&](const Json& item) {
        std::string source = text(item, flowWhere + ": each entry of \"messages\"");
        flow.messages.push_back(source == "-" ? source
                                              : (base / source).lexically_normal().string());
      };
      if (messages.is_array()) {
        for (const Json& item : messages) add(item);
      } else {
        add(messages);
      }
    }
    return flow;
  }

  NodeDef readNode(const Json& json, const std::string& flowWhere) {
    if (!json.is_object()) fail(flowWhere + ": each node must be an object");
    if (!json.contains("name")) fail(flowWhere + ": a node has no \"name\"");
    NodeDef node;
    node.name = text(json["name"], flowWhere + ": a node's \"name\"");
    const std::string where = flowWhere + ", node \"" + node.name + "\"";
    if (node.name.empty()) fail(flowWhere + ": a node has an empty name");
    if (node.name.rfind(kReservedNodePrefix, 0) == 0) {
      fail(where + ": names starting with \"" + kReservedNodePrefix + "\" are kvflow's own");
    }
    onlyKeys(json, where, {"name", "class", "attributes", "description"});
    if (!json.contains("class")) fail(where + ": no \"class\"");
    node.className = text(json["class"], where + ": \"class\"");
    if (json.contains("attributes")) {
      const Json& attributes = json["attributes"];
      if (!attributes.is_object()) fail(where + ": \"attributes\" must be an object");
      for (const auto& item : attributes.items()) {
        node.attributes.emplace_back(item.key(), attributeValue(item.value(), where, item.key()));
      }
    }
    std::stable_partition(node.attributes.begin(), node.attributes.end(),
                          [](const auto& attribute) { return attribute.first == "label"; });
    // An output directory, like a message source, is found from the flow
    // file's own directory, so a flow file works from wherever it is run.
    if (node.className == "OutputNode") {
      for (auto& [name, value] : node.attributes) {
        if (name == "directory" && !value.empty() && value.front() != '/') {
          value = (std::filesystem::path(path_).parent_path() / value).lexically_normal().string();
        }
      }
    }
    return node;
  }

  // Strings as they are, booleans as "true"/"false", and an array of strings
  // (handy for scripts of several statements) as its lines.
  std::string attributeValue(const Json& value, const std::string& where, const std::string& name) {
    const std::string what = where + ": attribute \"" + name + "\"";
    if (value.is_string()) return value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
    if (value.is_number_integer()) return std::to_string(value.get<long long>());
    if (value.is_array()) {
      std::string lines;
      for (const Json& line : value) {
        if (!line.is_string()) fail(what + ": an array value must hold strings only");
        lines += (lines.empty() ? "" : "\n") + line.get<std::string>();
      }
      return lines;
    }
    fail(what + " must be a string, a boolean, an integer or an array of strings");
  }

  // "node.terminal", or just "node" for its default terminal. A text that
  // names a node whole is a node (names may hold dots).
  Terminal terminal(const Json& value, const std::string& defaultTerminal,
                    const std::set<std::string>& names, const std::string& where) {
    std::string endText = text(value, where);
    Terminal result;
    if (names.count(endText)) {
      result = {endText, defaultTerminal};
    } else {
      const auto dot = endText.rfind('.');
      if (dot == std::string::npos || dot == 0 || dot + 1 == endText.size()) {
        fail(where + " \"" + endText + "\": no node of that name in this flow");
      }
      result = {endText.substr(0, dot), endText.substr(dot + 1)};
      if (!names.count(result.node)) {
        fail(where + " \"" + endText + "\": no node \"" + result.node + "\" in this flow");
      }
    }
    return result;
  }

  void checkNamesUnique(const FlowFile& file) const {
    std::set<std::string> flows, nodes;
    for (const FlowDef& flow : file.flows) {
      if (!flows.insert(flow.name).second) fail("two flows are named \"" + flow.name + "\"");
      for (const NodeDef& node : flow.nodes) {
        if (!nodes.insert(node.name).second) {
          fail("flow \"" + flow.name + "\": node name \"" + node.name +
               "\" is used twice (node names are unique in the whole file)");
        }
      }
    }
  }

  std::string path_;
};

}  // namespace

const FlowDef* FlowFile::findFlow(const std::string& name) const {
  for (const FlowDef& flow : flows) {
    if (flow.name == name) return &flow;
  }
  return nullptr;
}

FlowFile readFlowFile(const std::string& path) {
  return Reader(path).read();
}

}  // namespace kvflow
