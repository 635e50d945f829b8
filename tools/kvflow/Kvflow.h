// What kvflow's files offer one another; the flow file itself is FlowFile.h.
//
// How a run is organised. The main process never loads the plug-in: it reads
// the flow file and every message, then starts the broker processes
// ("workers"), N per flow, one after the other: each loads the plug-in,
// builds its flow and reports back before the next starts, so that a refused
// script or a missing plug-in in any of them stops the run before the first
// message. The flows then run in file order (a flow's workers split its
// messages) while every worker keeps its node contexts: the pool lives as
// long as one does, so what the first flow stores is there for the second.
// After the last message --then runs with the pool still held; then every
// worker deletes its nodes and reports what that logged (the machine's last
// node saves a persistent pool then). A broker exception out of a flow
// breaks the run off: that worker sends no more, later flows and --then do
// not run.
#ifndef KVPOOL_TOOLS_KVFLOW_KVFLOW_H
#define KVPOOL_TOOLS_KVFLOW_KVFLOW_H

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "broker/Broker.h"
#include "support/UniqueFd.h"
#include "tools/kvflow/FlowFile.h"

namespace kvflow {

// Exit status of run and check: 0 complete (messages that went to a failure
// terminal included); 1 nothing was sent (bad command line, flow file,
// plug-in, message or script, or --before failed); 2 the run broke off or
// --then failed.
inline constexpr int kExitDone = 0;
inline constexpr int kExitNothingSent = 1;
inline constexpr int kExitBroken = 2;
// Of keys and graph: 0 done; 1 keys --strict found a warning; 2 a flow file
// could not be read, or a bad command line.
inline constexpr int kExitKeysWarned = 1;
inline constexpr int kExitKeysBadInput = 2;

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
  std::string backend;      // KVPOOL_BACKEND for every broker process, when given
  std::string backendFile;  // where to read it from, when given
  int intervalMs = 0;       // pause of each broker process after each message
  std::string before;       // shell commands; empty when not given
  std::string then;
  std::vector<std::string> flowPaths;  // keys and graph: one or more flow files
  bool strict = false;                 // keys: a warning fails
};

// One line on standard error: "kvflow: " and the text.
inline void complain(const std::string& text) {
  std::cerr << "kvflow: " << kvtools::shownText(text, kvtools::ShownAs::kMessage) << std::endl;
}

using kvtools::counted;

// The sum of the counts of a map.
template <class Counts>
long sum(const Counts& counts) {
  long total = 0;
  for (const auto& item : counts) total += item.second;
  return total;
}

// The commands; each returns its exit status.
int checkFlowFile(const Options& options);
int keysCommand(const Options& options);
int graphCommand(const Options& options);
int runFlowFile(const Options& options);

// ---- Scripts as written: the texts before each ';', and the text after the
// last one.
std::vector<std::string> splitStatements(std::string_view script);
// A statement for a message: blanks at both ends trimmed, line feeds and
// tabs as blanks, invisible characters shown, cut after 100 characters.
std::string shownStatement(const std::string& written);

// ---- The XML messages sent.
class MessageError : public std::runtime_error {  // what(): the file and the reason
 public:
  using std::runtime_error::runtime_error;
};
struct MessageText {
  std::string source;  // file name, or "<stdin>"
  std::string text;    // emptied once parsed
  kvbroker::Message parsed;
};
// Reads files, directories (their *.xml files in name order) and standard
// input ("-", read once into *stdinText), then parses every message, so that
// a bad one stops a run before anything is sent. Throws MessageError for a
// missing or unreadable source, a directory without XML files, bad XML.
std::vector<MessageText> readMessages(const std::vector<std::string>& sources,
                                      std::optional<std::string>* stdinText);

// ---- One flow on the stand-in broker, what messages did in it, and the
// summary of the flows that ran (each with its messages read); only the last
// line (throughput, over seconds from the first message sent to the last one
// done) varies from run to run.
struct RunStats {
  long sent = 0;
  long reachedNoOutput = 0;
  std::map<std::string, long> perOutput;                // output node -> messages
  std::map<int, std::map<std::string, long>> failures;  // result code -> operand -> count
  std::map<int, long> eventsByNumber;                   // every broker event
  std::map<std::string, long> exceptions;               // broker exceptions out of a flow
  // Output node -> element path -> messages it did not write (not XML).
  std::map<std::string, std::map<std::string, long>> notWritten;
  void add(const RunStats& other);  // adds another process's counts
  // The worker protocol's form: maps keyed by number are keyed by its text.
  nlohmann::json toJson() const;
  static RunStats fromJson(const nlohmann::json& json);
};

std::string formatSummary(const std::vector<std::pair<std::string, long>>& readPerFlow,
                          const RunStats& stats, const Options& options, double seconds);

class FlowRun {
 public:
  // Creates, configures and wires the flow's nodes on the broker (its plug-in
  // loaded). The flow's own faults are lines in problems(), naming the file,
  // the node and the cause. With counting, every output node gets a counting
  // tap. outputTag goes after each output node's file prefix, so that several
  // processes running the flow never write the same file.
  FlowRun(kvbroker::Broker& broker, const FlowFile& file, const FlowDef& flow, bool counting,
          const std::string& outputTag = "");

  const std::vector<std::string>& problems() const { return problems_; }
  // Sends a copy of the message through the flow. False when a broker
  // exception came out of it (counted).
  bool send(const kvbroker::Message& message);
  // Folds the broker's event log into the statistics and empties it.
  void collectEvents();
  const RunStats& stats() const { return stats_; }

 private:
  void createNode(const NodeDef& def);
  void configure(kvbroker::Node& node, const NodeDef& def);
  void explainRefusedScript(kvbroker::Node& node, const NodeDef& def, const std::string& script,
                            const kvbroker::CallbackRefused& refusal, std::size_t eventsBefore);
  void wire(const WireDef& wire);
  void addTaps();

  kvbroker::Broker& broker_;
  const FlowFile& file_;
  const FlowDef& flow_;
  std::string outputTag_;
  std::vector<std::string> problems_;
  kvbroker::Node* input_ = nullptr;
  // Each output's counting tap with its count in stats_.perOutput.
  std::vector<std::pair<kvbroker::Node*, long*>> tapCounts_;
  RunStats stats_;
};

// ---- The worker processes of a run.
// Control bytes, main process to worker (Workers.cpp tells the conversation).
inline constexpr char kGo = 'G';
inline constexpr char kAbort = 'A';
inline constexpr char kRelease = 'R';

// A worker builds its flow and sends every options->processes-th message from
// the index-th on; the main process holds it by the rest.
struct Worker {
  const Options* options;
  const FlowFile* file;
  const FlowDef* flow;
  const std::vector<MessageText>* messages;
  int index;
  std::atomic<long>* progress;  // counts the messages it sent
  pid_t pid = -1;               // -1 once reaped
  kvpool::UniqueFd control{};   // main -> worker
  kvpool::UniqueFd report{};    // worker -> main
  std::string pending{};        // report bytes not yet a whole line
  std::string name() const {
    return "broker process " + std::to_string(index + 1) + " of flow \"" + flow->name + "\"";
  }
};

// Forks the worker's process (which closes the pipes of the others in
// `running`). False, with a complaint, when a pipe or the fork fails.
bool startWorker(Worker& worker, std::vector<Worker>& running);

}  // namespace kvflow

#endif
