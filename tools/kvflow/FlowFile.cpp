// Reading and checking kvflow's flow files.
#include "tools/kvflow/FlowFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "support/FileIo.h"

namespace kvflow {
namespace {

using Json = nlohmann::ordered_json;

class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)) {}

  FlowFile read() {
    // Every check below asks before it takes; should the library still
    // raise, the file is refused with its reason rather than kvflow dying.
    try {
      Json root = parse();
      if (!root.is_object()) fail("the top level must be a JSON object");
      FlowFile file;
      file.path = path_;
      if (root.contains("flows")) {
        onlyKeys(root, "the top level", {"flows", "description"});
        const Json& flows = root["flows"];
        if (!flows.is_array() || flows.empty()) {
          fail("\"flows\" must be a non-empty array of flows");
        }
        for (std::size_t i = 0; i < flows.size(); ++i) {
          const std::string where = "flows[" + std::to_string(i) + "]";
          if (!flows[i].is_object()) fail(where + " must be an object");
          if (!flows[i].contains("name")) fail(where + " has no \"name\"");
          file.flows.push_back(readFlow(flows[i], where));
        }
      } else {
        file.flows.push_back(readFlow(root, "the flow"));
      }
      checkNamesUnique(file);
      return file;
    } catch (const Json::exception& error) {
      fail("cannot use the flow file: " + reason(error));
    }
  }

 private:
  // Flow files are a handful of levels deep; far more is no flow file.
  static constexpr std::size_t kMaxDepth = 64;
  // No flow file comes near this; a larger one is not read into memory.
  static constexpr std::size_t kLargestFlowFileBytes = 64u << 20;

  [[noreturn]] void fail(const std::string& what) const {
    throw FlowFileError(path_ + ": " + what);
  }

  Json parse() {
    // A directory opens, then reads as nothing at all.
    std::error_code error;
    if (std::filesystem::is_directory(path_, error)) fail("is a directory, not a flow file");
    std::string text;
    std::string why;
    if (!kvpool::readRegularFile(path_, kLargestFlowFileBytes, &text, &why)) {
      fail("cannot open the flow file: " + why);
    }
    // The library copies and writes nested values by recursion: a file
    // nested without end must be refused before it is parsed.
    if (const std::size_t at = tooDeepAt(text); at != std::string::npos) {
      fail("nested deeper than " + std::to_string(kMaxDepth) + " levels (" + place(text, at) + ")");
    }
    try {
      return Json::parse(text);
    } catch (const Json::parse_error& error) {
      fail("not valid JSON (byte " + std::to_string(error.byte) + "): " + reason(error));
    } catch (const Json::out_of_range& error) {
      // A number beyond what a double holds (1e999); the library names it.
      const std::string what = reason(error);
      std::size_t at = std::string::npos;
      if (const auto open = what.find('\''); open != std::string::npos) {
        const std::string token = what.substr(open + 1, what.find('\'', open + 1) - open - 1);
        if (!token.empty()) at = numberAt(text, token);
      }
      fail("not usable JSON" + (at == std::string::npos ? "" : " (" + place(text, at) + ")") +
           ": " + what);
    } catch (const Json::exception& error) {
      fail("not usable JSON: " + reason(error));
    }
  }

  // The library's text without its own tag, its bytes made visible.
  static std::string reason(const Json::exception& error) {
    std::string text = error.what();
    if (text.rfind("[json.exception.", 0) == 0 && text.find("] ") != std::string::npos) {
      text = text.substr(text.find("] ") + 2);
    }
    return visibleText(text);
  }

  static std::string place(std::string_view text, std::size_t offset) {
    return "byte " + std::to_string(offset) + ", " + kvtools::lineAndColumn(text, offset);
  }

  // The end of the string that starts with the quote at text[i].
  static std::size_t skipString(std::string_view text, std::size_t i) {
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\') ++i;
    }
    return i;
  }

  // The offset of the first '[' or '{' outside strings that opens a level
  // deeper than kMaxDepth, or npos. Brackets need not match: the parser
  // judges that afterwards.
  static std::size_t tooDeepAt(std::string_view text) {
    std::size_t depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '"') {
        i = skipString(text, i);
      } else if (c == '[' || c == '{') {
        if (++depth > kMaxDepth) return i;
      } else if ((c == ']' || c == '}') && depth > 0) {
        --depth;
      }
    }
    return std::string::npos;
  }

  // The offset of the number token outside strings, or npos.
  static std::size_t numberAt(std::string_view text, std::string_view token) {
    constexpr std::string_view kNumberBytes = "0123456789-+.eE";
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '"') {
        i = skipString(text, i);
        continue;
      }
      if (kNumberBytes.find(text[i]) == std::string_view::npos) continue;
      const std::size_t end = std::min(text.find_first_not_of(kNumberBytes, i), text.size());
      if (text.substr(i, end - i) == token) return i;
      i = end - 1;
    }
    return std::string::npos;
  }

  void onlyKeys(const Json& object, const std::string& where, std::set<std::string> allowed) const {
    for (const auto& item : object.items()) {
      if (!allowed.count(item.key())) {
        fail(where + ": unknown key " + inQuotes(item.key()) +
             " (known: " + joined({allowed.begin(), allowed.end()}) + ")");
      }
    }
  }

  std::string text(const Json& value, const std::string& where) const {
    if (!value.is_string()) fail(where + " must be a string, not " + shown(value));
    return withoutNul(value.get<std::string>(), where);
  }

  // A value for a message: its type and, when short, its JSON text.
  static std::string shown(const Json& value) {
    std::string text = std::string(value.type_name());
    if (value.is_primitive()) {
      const std::string json = value.dump(-1, ' ', false, Json::error_handler_t::replace);
      text += " " + (json.size() > 40 ? json.substr(0, 40) + "..." : json);
    }
    return visibleText(text);
  }

  // A NUL would end the text where the broker receives it (its texts are
  // NUL-terminated), dropping the rest without a word.
  std::string withoutNul(std::string value, const std::string& where) const {
    if (const auto nul = value.find('\0'); nul != std::string::npos) {
      fail(where + " holds a NUL character (\\u0000) after " + inQuotes(value.substr(0, nul)) +
           ": everything after it would be lost");
    }
    return value;
  }

  // A path named by the file, found from the file's own directory, so that a
  // flow file works from wherever it is run.
  std::string besideFile(const std::string& path) const {
    return (std::filesystem::path(path_).parent_path() / path).lexically_normal().string();
  }

  FlowDef readFlow(const Json& json, const std::string& where) {
    onlyKeys(json, where, {"name", "description", "nodes", "wires", "input", "messages"});
    FlowDef flow;
    flow.name = json.contains("name") ? text(json["name"], where + ".name")
                                      : std::filesystem::path(path_).stem().string();
    if (flow.name.empty() || flow.name.find('=') != std::string::npos) {
      fail(where + ": a flow name must be non-empty and hold no '='");
    }
    const std::string flowWhere = "flow " + inQuotes(flow.name);
    if (!json.contains("nodes") || !json["nodes"].is_array() || json["nodes"].empty()) {
      fail(flowWhere + ": \"nodes\" must be a non-empty array of nodes");
    }
    std::set<std::string> names;
    for (const Json& node : json["nodes"]) {
      flow.nodes.push_back(readNode(node, flowWhere));
      names.insert(flow.nodes.back().name);
    }
    if (json.contains("wires")) {
      if (!json["wires"].is_array()) fail(flowWhere + ": \"wires\" must be an array");
      for (const Json& wire : json["wires"]) {
        if (!wire.is_object()) fail(flowWhere + ": each wire must be an object {\"from\", \"to\"}");
        onlyKeys(wire, flowWhere + ", a wire", {"from", "to"});
        if (!wire.contains("from") || !wire.contains("to")) {
          fail(flowWhere + ": each wire needs \"from\" and \"to\"");
        }
        flow.wires.push_back({terminal(wire["from"], "out", names, flowWhere + ", wire from"),
                              terminal(wire["to"], "in", names, flowWhere + ", wire to")});
      }
    }
    if (!json.contains("input")) fail(flowWhere + ": no \"input\" node");
    flow.input = terminal(json["input"], "in", names, flowWhere + ", input");
    if (json.contains("messages")) {
      const Json& messages = json["messages"];
      for (const Json& item : messages.is_array() ? messages : Json::array({messages})) {
        const std::string source = text(item, flowWhere + ": each entry of \"messages\"");
        flow.messages.push_back(source == "-" ? source : besideFile(source));
      }
    }
    return flow;
  }

  NodeDef readNode(const Json& json, const std::string& flowWhere) {
    if (!json.is_object()) fail(flowWhere + ": each node must be an object");
    if (!json.contains("name")) fail(flowWhere + ": a node has no \"name\"");
    NodeDef node;
    node.name = text(json["name"], flowWhere + ": a node's \"name\"");
    const std::string where = flowWhere + ", node " + inQuotes(node.name);
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
        const std::string name = withoutNul(item.key(), where + ": an attribute name");
        node.attributes.emplace_back(name, attributeValue(item.value(), where, name));
      }
    }
    std::stable_partition(node.attributes.begin(), node.attributes.end(),
                          [](const auto& attribute) { return attribute.first == "label"; });
    // An output directory is found as a message source is.
    for (auto& [name, value] : node.attributes) {
      if (node.className == "OutputNode" && name == "directory" && !value.empty() &&
          value.front() != '/') {
        value = besideFile(value);
      }
    }
    return node;
  }

  // Strings as they are, booleans as "true"/"false", and an array of strings
  // (handy for scripts of several statements) as its lines.
  std::string attributeValue(const Json& value, const std::string& where, const std::string& name) {
    const std::string what = where + ": attribute " + inQuotes(name);
    if (value.is_string()) return withoutNul(value.get<std::string>(), what);
    if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
    if (value.is_number_unsigned()) return std::to_string(value.get<unsigned long long>());
    if (value.is_number_integer()) return std::to_string(value.get<long long>());
    if (value.is_array()) {
      std::string lines;
      for (const Json& line : value) {
        if (!line.is_string()) {
          fail(what + ": an array value must hold strings only, not " + shown(line));
        }
        lines += (lines.empty() ? "" : "\n") + withoutNul(line.get<std::string>(), what);
      }
      return lines;
    }
    fail(what + " must be a string, a boolean, an integer or an array of strings, not " +
         shown(value));
  }

  // "node.terminal", or just "node" for its default terminal. A text that
  // names a node whole is a node (names may hold dots).
  Terminal terminal(const Json& value, const std::string& defaultTerminal,
                    const std::set<std::string>& names, const std::string& where) {
    const std::string endText = text(value, where);
    if (names.count(endText)) return {endText, defaultTerminal};
    const auto dot = endText.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == endText.size()) {
      fail(where + " " + inQuotes(endText) + ": no node of that name in this flow");
    }
    Terminal result{endText.substr(0, dot), endText.substr(dot + 1)};
    if (!names.count(result.node)) {
      fail(where + " " + inQuotes(endText) + ": no node " + inQuotes(result.node) +
           " in this flow");
    }
    return result;
  }

  void checkNamesUnique(const FlowFile& file) const {
    std::set<std::string> flows, nodes;
    for (const FlowDef& flow : file.flows) {
      if (!flows.insert(flow.name).second) fail("two flows are named " + inQuotes(flow.name));
      for (const NodeDef& node : flow.nodes) {
        if (!nodes.insert(node.name).second) {
          fail("flow " + inQuotes(flow.name) + ": node name " + inQuotes(node.name) +
               " is used twice (node names are unique in the whole file)");
        }
      }
    }
  }

  std::string path_;
};

}  // namespace

const FlowDef* FlowFile::findFlow(const std::string& name) const {
  const auto found = std::find_if(flows.begin(), flows.end(),
                                  [&](const FlowDef& flow) { return flow.name == name; });
  return found == flows.end() ? nullptr : &*found;
}

FlowFile readFlowFile(const std::string& path) {
  return Reader(path).read();
}

}  // namespace kvflow
