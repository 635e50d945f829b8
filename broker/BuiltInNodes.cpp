// The node classes built into the broker: OutputNode writes each message it
// receives as XML, CaptureNode keeps them in memory for tests.
#include <cstdio>
#include <iostream>
#include <utility>

#include "broker/HostState.h"
#include "support/FileIo.h"

namespace kvbroker::detail {
namespace {

class OutputNode : public BuiltInNode {
 public:
  explicit OutputNode(std::string nodeName) : nodeName_(std::move(nodeName)) {
    attributes = {{"directory", ""}, {"prefix", "message"}, {"stream", "stdout"}};
  }

  void evaluate(CciMessage* message) override {
    std::string xml;
    try {
      xml = serializeBody(message);
    } catch (const XmlNameError& error) {
      // The message fails, not the flow: it is logged and nothing is written,
      // so no file or stream ever holds text that is not XML.
      auto record = brokerFailureRecord("OutputNode", "message not written");
      record.type = CCI_LOG_ERROR;
      record.messageNumber = kEventMessageNotWritten;
      record.inserts = {nodeName_, error.elementPath(), error.what()};
      addDiagnostic("output node " + nodeName_ + ": message not written: " + error.what());
      logEvent(std::move(record));
      return;
    }
    ++count_;
    const std::string& directory = attributes["directory"];
    const std::string& stream = attributes["stream"];
    if (!directory.empty()) {
      char number[16];
      std::snprintf(number, sizeof number, "%06d", count_);
      // A reader of the directory never sees half a message.
      const std::string path = directory + "/" + attributes["prefix"] + "-" + number + ".xml";
      if (std::string why; !kvpool::replaceRegularFile(path, xml, 0644, false, &why)) {
        throw BrokerError("write message file " + path + ": " + why);
      }
      return;
    }
    if (stream == "none") return;
    std::ostream& out = stream == "stderr" ? std::cerr : std::cout;
    out << xml;
    if (!xml.empty() && xml.back() != '\n') out << '\n';
    out.flush();
    if (!out) throw BrokerError("output node " + nodeName_ + ": write to " + stream + " failed");
  }

 private:
  std::string nodeName_;
  int count_ = 0;
};

class CaptureNode : public BuiltInNode {
 public:
  CaptureNode() { attributes = {{"keep", "messages"}}; }

  bool setAttribute(std::string_view name, std::string_view value) override {
    return BuiltInNode::setAttribute(name, value == "count" ? "count" : "messages");
  }

  void evaluate(CciMessage* message) override {
    ++received;
    // A counter wants the number only: no copy, no XML.
    if (attributes["keep"] == "count") return;
    CapturedMessage kept{"", "", Message::copyOf(message), message->finalized};
    try {
      kept.xml = serializeBody(message);
    } catch (const XmlNameError& error) {
      kept.xmlError = error.what();
    }
    captured.push_back(std::move(kept));
  }
};

}  // namespace

std::unique_ptr<BuiltInNode> makeBuiltInNode(std::string_view className,
                                             const std::string& nodeName) {
  if (className == kOutputNodeClass) return std::make_unique<OutputNode>(nodeName);
  if (className == kCaptureNodeClass) return std::make_unique<CaptureNode>();
  return nullptr;
}

}  // namespace kvbroker::detail
