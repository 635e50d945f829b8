// The node classes built into the broker: OutputNode writes each message it
// receives as XML, CaptureNode keeps them in memory for tests.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <utility>

#include "broker/HostState.h"
#include "support/UniqueFd.h"

namespace kvbroker::detail {
namespace {

// Writes the file through a temporary beside it, flushed and renamed over the
// final name, so a reader never sees half a message.
void writeFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  const char* step = "open";
  kvpool::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  bool ok = fd.valid();
  for (std::size_t written = 0; ok && written < text.size();) {
    ssize_t count = ::write(fd.get(), text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      step = "write", ok = false;
    } else {
      written += static_cast<std::size_t>(count);
    }
  }
  if (ok && ::fsync(fd.get()) != 0) step = "fsync", ok = false;
  if (ok && !fd.close()) step = "close", ok = false;
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) step = "rename", ok = false;
  if (!ok) {
    int savedErrno = errno;
    ::unlink(temporary.c_str());
    throw BrokerError(std::string("write message file ") + path + ": " + step +
                      " failed: " + std::strerror(savedErrno));
  }
}

class OutputNode : public BuiltInNode {
 public:
  explicit OutputNode(std::string nodeName) : nodeName_(std::move(nodeName)) {}

  std::vector<std::string> attributeNames() const override {
    return {"directory", "prefix", "stream"};
  }

  bool setAttribute(std::string_view name, std::string_view value) override {
    if (name == "directory") {
      directory_ = value;
    } else if (name == "prefix") {
      prefix_ = value;
    } else if (name == "stream") {
      stream_ = value;
    } else {
      return false;
    }
    return true;
  }

  std::optional<std::string> getAttribute(std::string_view name) const override {
    if (name == "directory") return directory_;
    if (name == "prefix") return prefix_;
    if (name == "stream") return stream_;
    return std::nullopt;
  }

  void evaluate(CciMessage*, CciMessage*, CciMessage* message) override {
    std::string xml;
    try {
      xml = serializeBody(message);
    } catch (const XmlNameError& error) {
      // The message fails, not the flow: it is logged and nothing is written,
      // so no file or stream ever holds text that is not XML.
      reportNotWritten(error);
      return;
    }
    ++count_;
    if (!directory_.empty()) {
      char number[16];
      std::snprintf(number, sizeof number, "%06d", count_);
      writeFileAtomically(directory_ + "/" + prefix_ + "-" + number + ".xml", xml);
      return;
    }
    if (stream_ == "none") return;
    std::ostream& out = stream_ == "stderr" ? std::cerr : std::cout;
    out << xml;
    if (!xml.empty() && xml.back() != '\n') out << '\n';
    out.flush();
    if (!out) throw BrokerError("output node " + nodeName_ + ": write to " + stream_ + " failed");
  }

 private:
  void reportNotWritten(const XmlNameError& error) const {
    EventRecord record;
    record.type = CCI_LOG_ERROR;
    record.file = "KvBroker";
    record.function = "OutputNode";
    record.messageSource = u"KvBroker";
    record.messageNumber = kEventMessageNotWritten;
    record.traceText = "message not written";
    record.inserts = {nodeName_, error.elementPath(), error.what()};
    addDiagnostic("output node " + nodeName_ + ": message not written: " + error.what());
    auto& state = host();
    std::lock_guard lock(state.mutex);
    state.events.push_back(std::move(record));
  }

  std::string nodeName_;
  std::string directory_;
  std::string prefix_ = "message";
  std::string stream_ = "stdout";
  int count_ = 0;
};

class CaptureNode : public BuiltInNode {
 public:
  std::vector<std::string> attributeNames() const override { return {"keep"}; }

  bool setAttribute(std::string_view name, std::string_view value) override {
    if (name != "keep") return false;
    countOnly_ = value == "count";
    return true;
  }

  std::optional<std::string> getAttribute(std::string_view name) const override {
    if (name != "keep") return std::nullopt;
    return countOnly_ ? "count" : "messages";
  }

  void evaluate(CciMessage*, CciMessage*, CciMessage* message) override {
    ++received;
    // A counter wants the number only: no copy, no XML.
    if (countOnly_) return;
    CapturedMessage kept{"", "", Message::copyOf(message), message->finalized};
    try {
      kept.xml = serializeBody(message);
    } catch (const XmlNameError& error) {
      kept.xmlError = error.what();
    }
    captured.push_back(std::move(kept));
  }

 private:
  bool countOnly_ = false;
};

}  // namespace

std::unique_ptr<BuiltInNode> makeBuiltInNode(std::string_view className,
                                             const std::string& nodeName) {
  if (className == kOutputNodeClass) return std::make_unique<OutputNode>(nodeName);
  if (className == kCaptureNodeClass) return std::make_unique<CaptureNode>();
  return nullptr;
}

std::vector<std::string> builtInClassNames() {
  return {std::string(kOutputNodeClass), std::string(kCaptureNodeClass)};
}

}  // namespace kvbroker::detail
