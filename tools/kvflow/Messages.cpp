// Reading and checking the messages kvflow sends.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/kvflow/Kvflow.h"

namespace kvflow {

namespace {

void addFile(const std::string& path, std::vector<MessageText>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MessageError(path + ": cannot open message file: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw MessageError(path + ": cannot read message file: " + std::strerror(errno));
  out.push_back({path, text.str(), {}});
}

}  // namespace

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

}  // namespace kvflow
