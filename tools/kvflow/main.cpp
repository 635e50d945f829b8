// kvflow: runs XML messages through message flows of KvPoolNodes on the
// stand-in broker, in one or more broker processes that share the pool. This
// file reads the command line; Kvflow.h tells how a run is organised.
#include <signal.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>

#include "tools/common/BackendOption.h"
#include "tools/kvflow/Kvflow.h"

namespace {

// --backend URL and --backend-file FILE, one or the other.
void addBackendOptions(CLI::App* command, kvflow::Options& options, const std::string& what) {
  CLI::Option* url = command->add_option(
      "--backend", options.backend,
      what +
          "; a password here is seen in the process list: prefer KVPOOL_BACKEND or "
          "--backend-file");
  command
      ->add_option("--backend-file", options.backendFile,
                   "A file whose first line is the --backend URL (keep it mode 0600)")
      ->excludes(url);
}

// The run command and its options.
void addRunCommand(CLI::App& app, kvflow::Options& options) {
  CLI::App* run = app.add_subcommand("run", "Build the flows and send the messages through them");
  run->add_option("flow", options.flowPath, "Flow file (JSON)")->required();
  run->add_option("sources", options.sources,
                  "Message files, directories of *.xml files, or - for standard input; "
                  "FLOW=PATH sends to one flow of a file with several (default: the "
                  "flow file's \"messages\")");
  run->add_option("-p,--processes", options.processes,
                  "Broker processes per flow; they share the pool and split the messages")
      ->check(CLI::Range(1, 64));
  run->add_option("-r,--repeat", options.repeat, "Send each message this many times")
      ->check(CLI::Range(1, 1000000));
  run->add_option("--plugin", options.plugin, "The plug-in to load")->capture_default_str();
  addBackendOptions(run, options,
                    "Put the pool on Redis: redis://[[USER]:PASSWORD@]HOST:PORT[/DB] or "
                    "redis-sentinel://HOST:PORT[,HOST:PORT...]/MASTER, handed to every broker "
                    "process as KVPOOL_BACKEND");
  run->add_option("--interval", options.intervalMs,
                  "Milliseconds each broker process pauses after each message (a steady feed)")
      ->check(CLI::Range(0, 60000));
  run->add_option("--before", options.before,
                  "Shell command run once every flow is built, before the first message "
                  "(e.g. \"kvpool load\"); nothing is sent when it fails");
  run->add_option("--then", options.then,
                  "Shell command run after the last message while the flows still hold "
                  "the pool (e.g. \"kvpool list\")");
}

}  // namespace

int main(int argc, char** argv) {
  using kvflow::Options;
  CLI::App app{
      "kvflow: runs XML messages through message flows of KvPoolNodes, in broker processes "
      "that share the pool."};
  app.require_subcommand(1);
  // A worker that died must not take the main process with it on a write.
  ::signal(SIGPIPE, SIG_IGN);
  Options options;

  addRunCommand(app, options);

  CLI::App* checkCommand = app.add_subcommand(
      "check", "Create and configure the flows' nodes without sending a message");
  checkCommand->add_option("flow", options.flowPath, "Flow file (JSON)")->required();
  checkCommand->add_option("--plugin", options.plugin, "The plug-in to load")
      ->capture_default_str();
  addBackendOptions(checkCommand, options,
                    "The pool on Redis, as for run (KVPOOL_BACKEND): connected to and logged in");

  CLI::App* keysCommand = app.add_subcommand(
      "keys",
      "List every pool key with the flow, node and statement that write it and that read "
      "it; warn about keys read but never written (a typo?) and written but never read");
  keysCommand->add_option("flows", options.flowPaths, "Flow files (JSON)")->required();
  keysCommand->add_flag("--strict", options.strict, "Exit with status 1 when there is a warning");

  CLI::App* graphCommand = app.add_subcommand(
      "graph",
      "Write a Graphviz DOT picture of the flows, their wires and the pool keys between the "
      "nodes that write and read them (e.g. kvflow graph FLOW | dot -Tsvg > flows.svg)");
  graphCommand->add_option("flows", options.flowPaths, "Flow files (JSON)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    if (status == 0) return 0;
    const bool keysOrGraph = keysCommand->parsed() || graphCommand->parsed();
    return keysOrGraph ? kvflow::kExitKeysBadInput : kvflow::kExitNothingSent;
  }
  const auto warn = [](const std::string& text) { kvflow::complain("warning: " + text); };
  if (std::string why; !kvtools::takeBackendArguments(argc, argv, options.backendFile,
                                                      &options.backend, warn, &why)) {
    kvflow::complain(why);
    return kvflow::kExitNothingSent;
  }
  // The broker processes are forked from this one and read it at their
  // first node creation.
  if (!options.backend.empty()) setenv("KVPOOL_BACKEND", options.backend.c_str(), 1);
  try {
    if (*checkCommand) return kvflow::checkFlowFile(options);
    if (*keysCommand) return kvflow::keysCommand(options);
    if (*graphCommand) return kvflow::graphCommand(options);
    return kvflow::runFlowFile(options);
  } catch (const std::exception& error) {
    // Each command reports its own failures; this is the last word on one
    // that none of them foresaw, so that kvflow never ends without a reason.
    kvflow::complain(std::string("stopped: ") + error.what());
    return kvflow::kExitBroken;
  }
}
