// Reading the flow files for keys and graph.
#include "tools/kvflow/KeysCommand.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <vector>

#include "tools/kvflow/KeyMap.h"

namespace kvflow {
namespace {

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
  const KeyMap map = buildKeyMap(*files);
  printKeyMap(std::cout, map);
  std::cout.flush();
  const std::vector<std::string> warnings = map.warnings();
  for (const std::string& warning : warnings) complain("warning: " + warning);
  return options.strict && !warnings.empty() ? kExitKeysWarned : kExitDone;
}

int graphCommand(const Options& options) {
  const auto files = readFlowFiles(options.flowPaths);
  if (!files) return kExitKeysBadInput;
  printKeyGraph(std::cout, *files, buildKeyMap(*files));
  std::cout.flush();
  if (!std::cout) {
    complain("graph: cannot write to standard output");
    return kExitKeysBadInput;
  }
  return kExitDone;
}

}  // namespace kvflow
