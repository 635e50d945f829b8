// Reading the messages, building a flow on the stand-in broker, sending the
// messages through it, and what they did: the statistics and the summary.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <set>
#include <sstream>
#include <type_traits>

#include "support/FileIo.h"
#include "tools/kvflow/Kvflow.h"

namespace kvflow {
namespace {

// Adds the counts of one map (of counts, or of maps of counts) to another.
template <class Key, class Value>
void addCounts(std::map<Key, Value>& into, const std::map<Key, Value>& from) {
  for (const auto& [key, value] : from) {
    if constexpr (std::is_same_v<Value, long>) {
      into[key] += value;
    } else {
      addCounts(into[key], value);
    }
  }
}

// Only a regular file of one name is read: a link is not followed and a FIFO
// does not hold the run.
// Far beyond any message a flow carries; a larger file is not read into memory.
constexpr std::size_t kLargestMessageBytes = 256u << 20;

void addFile(const std::string& path, std::vector<MessageText>& out) {
  std::string text;
  std::string why;
  if (!kvpool::readRegularFile(path, kLargestMessageBytes, &text, &why)) {
    throw MessageError(path + ": cannot read message file: " + why);
  }
  out.push_back({path, std::move(text), {}});
}

std::string resultCodeMeaning(int code) {
  static const std::map<int, std::string> kMeanings = {
      {1, "a message element named by a right operand is missing"},
      {2, "a pool key named by a right operand is missing"},
      {3, "the element named by a left operand cannot be created"},
      {4, "malformed statement: no '=', or an operand over 255 bytes"},
      {5,
       "the pool is unavailable (its lock not had; on Redis: unreachable, no answer in time, "
       "password refused)"},
      {8, "the pool is full"}};
  const auto found = kMeanings.find(code);
  return found == kMeanings.end() ? "unknown result code" : found->second;
}

std::string eventMeaning(int number) {
  static const std::map<int, std::string> kMeanings = {
      {0, "plug-in loaded"},
      {5, "terminal not attached, or message failed: the pool is unavailable"},
      {6, "message not propagated"},
      {9, "pool not available at node creation"},
      {10, "script rejected"},
      {12, "no pool segment found, a new one was created"},
      {13, "pool loaded from the snapshot file"},
      {14, "pool saved to the snapshot file"},
      {15, "unsupported character in a script"},
      {16, "left operand starts with Input"},
      {17, "KVPOOL_BACKEND or its companions malformed"},
      {22, "pool on Redis over TLS without a certificate check"},
      {kvbroker::kEventMessageNotWritten, "output node could not write a message as XML"}};
  if (number == 1 || number == 2 || number == 3 || number == 4 || number == 8) {
    return "message failed: " + resultCodeMeaning(number);
  }
  const auto found = kMeanings.find(number);
  return found == kMeanings.end() ? "other event" : found->second;
}

constexpr std::size_t kOperandsShown = 10;

}  // namespace

void RunStats::add(const RunStats& other) {
  sent += other.sent;
  reachedNoOutput += other.reachedNoOutput;
  addCounts(perOutput, other.perOutput);
  addCounts(failures, other.failures);
  addCounts(eventsByNumber, other.eventsByNumber);
  addCounts(exceptions, other.exceptions);
  addCounts(notWritten, other.notWritten);
}

nlohmann::json RunStats::toJson() const {
  nlohmann::json byCode = nlohmann::json::object();
  for (const auto& [code, operands] : failures) byCode[std::to_string(code)] = operands;
  nlohmann::json byNumber = nlohmann::json::object();
  for (const auto& [number, count] : eventsByNumber) byNumber[std::to_string(number)] = count;
  return {{"sent", sent},
          {"reachedNoOutput", reachedNoOutput},
          {"perOutput", perOutput},
          {"failures", byCode},
          {"events", byNumber},
          {"exceptions", exceptions},
          {"notWritten", notWritten}};
}

RunStats RunStats::fromJson(const nlohmann::json& json) {
  RunStats stats;
  stats.sent = json.at("sent").get<long>();
  stats.reachedNoOutput = json.at("reachedNoOutput").get<long>();
  stats.perOutput = json.at("perOutput").get<std::map<std::string, long>>();
  for (const auto& item : json.at("failures").items()) {
    stats.failures[std::stoi(item.key())] = item.value().get<std::map<std::string, long>>();
  }
  for (const auto& item : json.at("events").items()) {
    stats.eventsByNumber[std::stoi(item.key())] = item.value().get<long>();
  }
  stats.exceptions = json.at("exceptions").get<std::map<std::string, long>>();
  stats.notWritten =
      json.at("notWritten").get<std::map<std::string, std::map<std::string, long>>>();
  return stats;
}

FlowRun::FlowRun(kvbroker::Broker& broker, const FlowFile& file, const FlowDef& flow, bool counting,
                 const std::string& outputTag)
    : broker_(broker), file_(file), flow_(flow), outputTag_(outputTag) {
  for (const NodeDef& node : flow_.nodes) createNode(node);
  for (const WireDef& wire : flow_.wires) this->wire(wire);
  input_ = broker_.findNode(flow_.input.node);
  if (input_ != nullptr) {
    const auto inputs = input_->inputTerminals();
    if (std::find(inputs.begin(), inputs.end(), flow_.input.terminal) == inputs.end()) {
      problems_.push_back(file_.path + ": flow " + inQuotes(flow_.name) + ", input " +
                          inQuotes(flow_.input.text()) + ": node " + inQuotes(flow_.input.node) +
                          " has no input terminal " + inQuotes(flow_.input.terminal) +
                          " (it has: " + joined(inputs) + ")");
    }
  }
  if (counting && problems_.empty()) addTaps();
}

void FlowRun::createNode(const NodeDef& def) {
  const std::string where = file_.path + ": node " + inQuotes(def.name);
  kvbroker::Node* node = nullptr;
  try {
    node = &broker_.createNode(def.className, def.name);
  } catch (const kvbroker::CallbackRefused& refusal) {
    problems_.push_back(where + ": the plug-in refused to create it: " +
                        kvbroker::formatException(refusal.record()));
    return;
  } catch (const kvbroker::BrokerError& error) {
    problems_.push_back(where + ": cannot create a node of class " + inQuotes(def.className) +
                        " (known classes: " + joined(broker_.nodeClassNames()) +
                        "): " + error.what());
    return;
  }
  configure(*node, def);
}

void FlowRun::configure(kvbroker::Node& node, const NodeDef& def) {
  const std::string where = file_.path + ": node " + inQuotes(def.name);
  const std::vector<std::string> known = broker_.attributeNames(node);
  const bool pluginNode = node.context() != nullptr;
  for (const auto& [name, value] : def.attributes) {
    const bool isLabel = name == "label" && pluginNode;
    if (!isLabel && std::find(known.begin(), known.end(), name) == known.end()) {
      problems_.push_back(where + ": class " + def.className + " has no attribute " +
                          inQuotes(name) + " (it has: " + joined(known) +
                          (pluginNode ? ", label" : "") + ")");
      continue;
    }
    if (def.className == kvbroker::kOutputNodeClass && name == "directory" && !value.empty()) {
      // A missing output directory is made, as a broker deploying the flow would.
      std::error_code error;
      std::filesystem::create_directories(value, error);
      if (error || !std::filesystem::is_directory(value)) {
        problems_.push_back(where + ": output directory " + inQuotes(value) +
                            " cannot be made: " + (error ? error.message() : "not a directory"));
        continue;
      }
    }
    const std::size_t eventsBefore = broker_.eventCount();
    try {
      broker_.setAttribute(node, name, value);
    } catch (const kvbroker::CallbackRefused& refusal) {
      if (name == "KvPoolExpression") {
        explainRefusedScript(node, def, value, refusal, eventsBefore);
      } else {
        problems_.push_back(where + ": attribute " + inQuotes(name) +
                            " refused: " + kvbroker::formatException(refusal.record()));
      }
    }
  }
  if (def.className == kvbroker::kOutputNodeClass && !outputTag_.empty()) {
    const std::string prefix = broker_.getAttribute(node, "prefix").value_or("message");
    broker_.setAttribute(node, "prefix", prefix + outputTag_);
  }
}

// A refused script is reported with the statement the compiler stopped at,
// which it names only for some refusals: the first prefix of the script that
// it refuses ends with the culprit.
void FlowRun::explainRefusedScript(kvbroker::Node& node, const NodeDef& def,
                                   const std::string& script,
                                   const kvbroker::CallbackRefused& refusal,
                                   std::size_t eventsBefore) {
  std::vector<std::string> reasons;
  const auto events = broker_.events();
  for (std::size_t i = eventsBefore; i < events.size(); ++i) {
    reasons.push_back(visibleText(kvbroker::formatEvent(events[i])));
  }
  reasons.push_back(visibleText(kvbroker::formatException(refusal.record())));

  const std::vector<std::string> statements = splitStatements(script);
  std::string located = " in the text after the last ';'";
  std::string prefix;
  for (std::size_t i = 0; i + 1 < statements.size(); ++i) {
    prefix += statements[i] + ";";
    try {
      broker_.setAttribute(node, "KvPoolExpression", prefix);
    } catch (const kvbroker::CallbackRefused&) {
      located =
          " at statement " + std::to_string(i + 1) + " \"" + shownStatement(statements[i]) + "\"";
      break;
    }
  }
  std::string hint;
  if (script.find('\r') != std::string::npos) {
    hint = " (a carriage return is not a blank in a script: write it with plain line feeds)";
  } else if (reasons.size() == 1) {
    hint = " (a statement must begin with SET)";
  }
  problems_.push_back(file_.path + ": node " + inQuotes(def.name) + ": KvPoolExpression refused" +
                      located + ": " + joined(reasons, "; ") + hint);
}

void FlowRun::wire(const WireDef& wire) {
  kvbroker::Node* from = broker_.findNode(wire.from.node);
  kvbroker::Node* to = broker_.findNode(wire.to.node);
  if (from == nullptr || to == nullptr) return;  // its creation failed and was reported
  try {
    broker_.wire(*from, wire.from.terminal, *to, wire.to.terminal);
  } catch (const kvbroker::BrokerError& error) {
    const auto outputs = from->outputTerminals();
    const auto inputs = to->inputTerminals();
    problems_.push_back(file_.path + ": flow " + inQuotes(flow_.name) + ", wire " +
                        wire.from.text() + " -> " + wire.to.text() + ": " + error.what() + " (" +
                        wire.from.node + " has outputs: " + joined(outputs) + "; " + wire.to.node +
                        " has inputs: " + joined(inputs) + ")");
  }
}

// Every wire into an output node gets a twin into a capture node that only
// counts, so the summary can tell how many messages each output received.
void FlowRun::addTaps() {
  std::map<std::string, kvbroker::Node*> taps;  // output node -> the node that counts
  for (const NodeDef& def : flow_.nodes) {
    if (def.className != kvbroker::kOutputNodeClass) continue;
    kvbroker::Node& tap =
        broker_.createNode(kvbroker::kCaptureNodeClass, kReservedNodePrefix + def.name);
    broker_.setAttribute(tap, "keep", "count");
    taps[def.name] = &tap;
  }
  for (const WireDef& wire : flow_.wires) {
    auto tap = taps.find(wire.to.node);
    if (tap == taps.end()) continue;
    broker_.wire(*broker_.findNode(wire.from.node), wire.from.terminal, *tap->second, "in");
  }
  for (const NodeDef& def : flow_.nodes) {
    if (def.className == kvbroker::kCaptureNodeClass) taps[def.name] = broker_.findNode(def.name);
  }
  for (const auto& [name, tap] : taps) tapCounts_.emplace_back(tap, &stats_.perOutput[name]);
}

bool FlowRun::send(const kvbroker::Message& message) {
  kvbroker::Message copy = message.copy();
  kvbroker::InjectResult result = broker_.inject(*input_, flow_.input.terminal, copy);
  ++stats_.sent;
  if (result.exception) ++stats_.exceptions[kvbroker::formatException(*result.exception)];
  long reached = 0;
  for (auto& [tap, perOutput] : tapCounts_) {
    const long count = tap->receivedCount();
    *perOutput += count;
    reached += count;
    tap->clearCaptured();
  }
  if (reached == 0) ++stats_.reachedNoOutput;
  return result.ok();
}

void FlowRun::collectEvents() {
  static const std::set<int> kScriptResults = {1, 2, 3, 4, 5, 8};
  for (const kvbroker::EventRecord& event : broker_.events()) {
    ++stats_.eventsByNumber[event.messageNumber];
    // Event 5 is also "terminal not attached", whose trace text is not the
    // failed script's.
    if (event.function == "evaluate()" && kScriptResults.count(event.messageNumber) &&
        event.traceText == "Vantrel2") {
      const std::string operand = event.inserts.empty() ? "" : event.inserts.front();
      ++stats_.failures[event.messageNumber][operand];
    }
    if (event.messageNumber == kvbroker::kEventMessageNotWritten &&
        event.messageSource == u"KvBroker" && event.inserts.size() >= 2) {
      ++stats_.notWritten[event.inserts[0]][event.inserts[1]];
    }
  }
  broker_.clearEvents();
}

std::vector<MessageText> readMessages(const std::vector<std::string>& sources,
                                      std::optional<std::string>* stdinText) {
  namespace fs = std::filesystem;
  std::vector<MessageText> out;
  for (const std::string& source : sources) {
    if (source == "-") {
      if (!*stdinText) {
        std::ostringstream text;
        text << std::cin.rdbuf();
        if (std::cin.bad()) throw MessageError("<stdin>: cannot read standard input");
        *stdinText = text.str();
      }
      out.push_back({"<stdin>", **stdinText, {}});
      continue;
    }
    std::error_code error;
    const fs::file_status status = fs::status(source, error);
    if (error || !fs::exists(status)) {
      throw MessageError(source + ": cannot read message source: " +
                         (error ? error.message() : std::string("no such file or directory")));
    }
    if (!fs::is_directory(status)) {
      addFile(source, out);
      continue;
    }
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(source, error)) {
      if (entry.path().extension() == ".xml" && !entry.is_directory()) {
        files.push_back(entry.path().string());
      }
    }
    if (error) throw MessageError(source + ": cannot list the directory: " + error.message());
    if (files.empty()) throw MessageError(source + ": the directory holds no *.xml message files");
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) addFile(file, out);
  }
  for (MessageText& message : out) {
    try {
      message.parsed = kvbroker::Message::fromXml(message.text, message.source);
    } catch (const kvbroker::XmlError& error) {
      // The reason may quote bytes that are not UTF-8.
      throw MessageError("malformed XML: " + visibleText(error.what()));
    }
    std::string().swap(message.text);
  }
  return out;
}

std::string formatSummary(const std::vector<std::pair<std::string, long>>& readPerFlow,
                          const RunStats& stats, const Options& options, double seconds) {
  std::ostringstream out;
  std::vector<std::string> perFlow;
  for (const auto& [flow, count] : readPerFlow)
    perFlow.push_back(flow + " " + std::to_string(count));
  out << "== kvflow summary\nmessages read: " << sum(readPerFlow)
      << (perFlow.size() > 1 ? " (" + joined(perFlow) + ")" : "") << "\n";
  out << "messages sent: " << stats.sent << " (repeat " << options.repeat << ", "
      << counted(options.processes * perFlow.size(), "broker process", "broker processes") << ")\n";

  out << "messages per output:\n";
  std::size_t width = std::string("(no output)").size();
  for (const auto& item : stats.perOutput) width = std::max(width, item.first.size());
  for (const auto& [name, count] : stats.perOutput) {
    out << "  " << std::left << std::setw(static_cast<int>(width)) << name << "  " << count << "\n";
  }
  out << "  " << std::setw(static_cast<int>(width)) << "(no output)"
      << "  " << stats.reachedNoOutput << "\n";

  out << "failures by result code:" << (stats.failures.empty() ? " none\n" : "\n");
  for (const auto& [code, operands] : stats.failures) {
    out << "  " << code << " (" << resultCodeMeaning(code) << "): " << sum(operands) << "\n";
    std::vector<std::pair<std::string, long>> sorted(operands.begin(), operands.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (std::size_t i = 0; i < sorted.size() && i < kOperandsShown; ++i) {
      out << "      " << (sorted[i].first.empty() ? "(no operand)" : sorted[i].first) << ": "
          << sorted[i].second << "\n";
    }
    if (sorted.size() > kOperandsShown) {
      out << "      ... and " << sorted.size() - kOperandsShown << " other operands\n";
    }
  }

  out << "broker events by number:" << (stats.eventsByNumber.empty() ? " none\n" : "\n");
  for (const auto& [number, count] : stats.eventsByNumber) {
    out << "  " << number << " (" << eventMeaning(number) << "): " << count << "\n";
  }
  if (!stats.notWritten.empty()) {
    long total = 0;
    for (const auto& item : stats.notWritten) total += sum(item.second);
    out << "messages not written (an element name is not an XML name): " << total << "\n";
    for (const auto& [node, paths] : stats.notWritten) {
      std::size_t shown = 0;
      for (const auto& [path, count] : paths) {
        if (shown++ == kOperandsShown) {
          out << "  " << node << ": ... and " << paths.size() - kOperandsShown
              << " other elements\n";
          break;
        }
        out << "  " << node << ": " << visibleText(path) << ": " << count << "\n";
      }
    }
  }
  if (!stats.exceptions.empty()) {
    out << "broker exceptions out of the flow:\n";
    for (const auto& [text, count] : stats.exceptions) out << "  " << count << "x " << text << "\n";
  }

  char rate[128];
  const double perSecond = seconds > 0 ? static_cast<double>(stats.sent) / seconds : 0;
  std::snprintf(rate, sizeof rate, "throughput: %.1f messages/s (%.3f s)\n", perSecond, seconds);
  out << rate;
  return out.str();
}

}  // namespace kvflow
