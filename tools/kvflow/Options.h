// What kvflow was asked to do, the statuses it ends with, and the one way it
// tells of a failure.
#ifndef KVPOOL_TOOLS_KVFLOW_OPTIONS_H
#define KVPOOL_TOOLS_KVFLOW_OPTIONS_H

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

namespace kvflow {

// Exit status: 0 the run is complete (messages that went to a failure
// terminal are part of a complete run); 1 nothing was sent (bad command
// line, flow file, plug-in, message or script, or --before failed); 2 the run
// broke off or --then failed.
inline constexpr int kExitDone = 0;
inline constexpr int kExitNothingSent = 1;
inline constexpr int kExitBroken = 2;

// The plug-in installed beside kvflow (KVFLOW_INSTALLED_PLUGIN, relative to
// the executable's folder) when there is one, else the build tree's.
inline std::string defaultPlugin() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return KVFLOW_DEFAULT_PLUGIN;
  const auto installed = (executable.parent_path() / KVFLOW_INSTALLED_PLUGIN).lexically_normal();
  return std::filesystem::exists(installed, error) ? installed.string() : KVFLOW_DEFAULT_PLUGIN;
}

struct Options {
  std::string plugin = defaultPlugin();
  std::string flowPath;
  std::vector<std::string> sources;
  int processes = 1;  // broker processes per flow
  int repeat = 1;
  // The pool on Redis for every broker process (KVPOOL_BACKEND in their
  // environment); empty: what the environment says.
  std::string backend;
  int intervalMs = 0;  // pause of each broker process after each message
  std::string before;  // shell commands; empty when not given
  std::string then;
  std::vector<std::string> flowPaths;  // keys and graph: one or more flow files
  bool strict = false;                 // keys: a warning fails
};

// One line on standard error: "kvflow: " and the text.
inline void complain(const std::string& text) {
  std::cerr << "kvflow: " << text << std::endl;
}

}  // namespace kvflow

#endif
