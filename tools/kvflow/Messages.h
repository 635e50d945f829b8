// The XML messages kvflow sends: read from files, directories (their *.xml
// files in name order) or standard input ("-"), and parsed once up front so
// that a bad message stops the run before anything is sent. The parsed trees
// are what the broker processes send (each one a copy), so no message is
// parsed twice.
#ifndef KVPOOL_TOOLS_KVFLOW_MESSAGES_H
#define KVPOOL_TOOLS_KVFLOW_MESSAGES_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "broker/Broker.h"

namespace kvflow {

// A message source that cannot be used: what() names the file and the reason.
class MessageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MessageText {
  std::string source;  // file name, or "<stdin>"
  std::string text;    // emptied once parsed
  kvbroker::Message parsed;
};

class MessageReader {
 public:
  // Reads every source in order; a directory contributes its *.xml files
  // sorted by name. Throws MessageError for a missing or unreadable source,
  // a directory without XML files, or malformed XML.
  std::vector<MessageText> read(const std::vector<std::string>& sources);

 private:
  void add(const std::string& source, std::vector<MessageText>& out);
  void addFile(const std::string& path, std::vector<MessageText>& out);
  std::optional<std::string> stdinText_;  // standard input is read once
};

}  // namespace kvflow

#endif
