// kvflow run's main process: preparing the run, starting the workers, moving
// the flows along one after the other (Kvflow.h tells how), and the summary.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <set>
#include <sstream>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"
#include "tools/kvflow/Kvflow.h"

namespace kvflow {
namespace {

using Clock = std::chrono::steady_clock;

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
      {kvbroker::kEventMessageNotWritten, "output node could not write a message as XML"}};
  if (number == 1 || number == 2 || number == 3 || number == 4 || number == 8) {
    return "message failed: " + resultCodeMeaning(number);
  }
  const auto found = kMeanings.find(number);
  return found == kMeanings.end() ? "other event" : found->second;
}

constexpr std::size_t kOperandsShown = 10;

template <class Counts>
long sum(const Counts& counts) {
  long total = 0;
  for (const auto& item : counts) total += item.second;
  return total;
}

// The summary of the flows that ran; only its last line (throughput, over the
// seconds from the first message sent to the last one done) varies by run.
std::string formatSummary(const std::vector<std::pair<std::string, long>>& readPerFlow,
                          const RunStats& stats, const Options& options, double seconds) {
  std::ostringstream out;
  std::vector<std::string> perFlow;
  for (const auto& [flow, count] : readPerFlow)
    perFlow.push_back(flow + " " + std::to_string(count));
  out << "== kvflow summary\nmessages read: " << sum(readPerFlow)
      << (perFlow.size() > 1 ? " (" + joined(perFlow) + ")" : "") << "\n";
  out << "messages sent: " << stats.sent << " (repeat " << options.repeat << ", "
      << counted(options.processes * perFlow.size(), "broker process", "es") << ")\n";

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

class Run {
 public:
  explicit Run(const Options& options) : options_(options) {}
  // Workers see their control pipe close and delete their nodes.
  ~Run() { waitForWorkers(workers_); }
  int execute();

 private:
  bool prepare();
  bool slotsSuffice();
  bool startWorkers();
  bool runShellCommand(const std::string& option, const std::string& command);
  // The workers of the flow; of every flow for none.
  std::vector<Worker*> workersOf(const FlowDef* flow) {
    std::vector<Worker*> result;
    for (Worker& worker : workers_) {
      if (flow == nullptr || worker.flow == flow) result.push_back(&worker);
    }
    return result;
  }

  const Options& options_;
  FlowFile file_;
  std::map<const FlowDef*, std::vector<MessageText>> messages_;
  Progress progress_;
  std::vector<Worker> workers_;
  std::vector<std::string> problems_;  // of every worker's build, each once
  long totalSends_ = 0;
};

bool Run::prepare() {
  try {
    file_ = readFlowFile(options_.flowPath);
  } catch (const FlowFileError& error) {
    complain(error.what());
    return false;
  }
  if (::access(options_.plugin.c_str(), R_OK) != 0) {
    complain("plug-in " + options_.plugin + ": cannot read it: " + std::strerror(errno));
    return false;
  }
  // Each source goes to the only flow, or to the flow it names as FLOW=PATH.
  std::map<const FlowDef*, std::vector<std::string>> sources;
  for (const std::string& source : options_.sources) {
    const auto equals = source.find('=');
    const FlowDef* named =
        equals == std::string::npos ? nullptr : file_.findFlow(source.substr(0, equals));
    if (named != nullptr) {
      sources[named].push_back(source.substr(equals + 1));
    } else if (file_.flows.size() == 1) {
      sources[&file_.flows.front()].push_back(source);
    } else {
      std::vector<std::string> names;
      for (const FlowDef& flow : file_.flows) names.push_back(flow.name);
      complain("message source " + source + ": " + file_.path +
               " holds several flows; name one as FLOW=PATH (flows: " + joined(names) + ")");
      return false;
    }
  }
  std::optional<std::string> stdinText;
  for (const FlowDef& flow : file_.flows) {
    const auto given = sources.find(&flow);
    try {
      messages_[&flow] =
          readMessages(given != sources.end() ? given->second : flow.messages, &stdinText);
    } catch (const MessageError& error) {
      complain(error.what());
      return false;
    }
    totalSends_ += static_cast<long>(messages_[&flow].size()) * options_.repeat;
  }
  if (totalSends_ == 0) {
    complain(file_.path + ": no messages to send (give files, directories or - for standard " +
             "input, or list them under \"messages\" in the flow file)");
    return false;
  }
  return true;
}

// Every broker process holds a user slot per KvPoolNode of its flow until the
// run ends, and node creation waits for a free one: a run needing more than
// are free would wait for ever. Checked before any node exists, against the
// pool's free slots (all when there is none yet).
bool Run::slotsSuffice() {
  // On Redis a node context takes no slot; node creation reports a malformed setting.
  kvpool::BackendConfig backend;
  std::string problem;
  if (!kvpool::readBackendConfig(&backend, &problem) || backend.remote()) return true;
  long needed = 0;
  std::vector<std::string> parts;
  for (const FlowDef& flow : file_.flows) {
    const long pluginNodes =
        std::count_if(flow.nodes.begin(), flow.nodes.end(),
                      [](const NodeDef& node) { return node.className == "KvPoolNode"; });
    if (pluginNodes == 0) continue;
    needed += pluginNodes * options_.processes;
    parts.push_back("flow \"" + flow.name + "\": " + counted(options_.processes, "process", "es") +
                    " x " + counted(pluginNodes, "KvPoolNode"));
  }
  long free = KVPOOL_USER_SLOTS;
  std::string held = "no pool exists";
  const kvpool::PoolIds ids = kvpool::findPoolIds();
  kvpool::PoolSemaphoreValues values;
  if (ids.semaphores != -1) {
    // A set that cannot be read is left to node creation to report.
    if (!kvpool::readPoolSemaphores(ids.semaphores, &values)) return true;
    free = values.freeSlots;
    held = std::to_string(values.nodeContexts()) + " are held by running flows";
  }
  if (needed <= free) return true;
  complain(file_.path + ": the flows need " + std::to_string(needed) + " node contexts (" +
           joined(parts) + "), but only " + std::to_string(free) + " of the machine's " +
           std::to_string(KVPOOL_USER_SLOTS) + " are free (" + held +
           "): the run would wait for ever; nothing was started");
  return false;
}

bool Run::startWorkers() {
  const std::size_t count = file_.flows.size() * static_cast<std::size_t>(options_.processes);
  if (!progress_.share(count)) {
    complain(std::string("cannot share progress counters: mmap failed: ") + std::strerror(errno));
    return false;
  }
  std::cout.flush();
  // Reserved: collectReports holds pointers into it.
  workers_.reserve(count);
  for (const FlowDef& flow : file_.flows) {
    for (int index = 0; index < options_.processes; ++index) {
      workers_.push_back({&options_,
                          &file_,
                          &flow,
                          &messages_[&flow],
                          index,
                          progress_.counter(workers_.size()),
                          -1,
                          {},
                          {},
                          {}});
      if (!startWorker(workers_.back(), workers_)) return false;
      // One flow is built at a time, as a broker deploys them: the first
      // node creation makes the pool and the others find it.
      std::vector<nlohmann::json> reports;
      if (!collectReports({&workers_.back()}, reports, nullptr)) return false;
      for (const std::string& problem : reportedProblems(reports.front())) {
        if (std::find(problems_.begin(), problems_.end(), problem) == problems_.end()) {
          problems_.push_back(problem);
        }
      }
    }
  }
  return true;
}

// True when it exits with status 0, or none is given.
bool Run::runShellCommand(const std::string& option, const std::string& command) {
  if (command.empty()) return true;
  std::cout.flush();
  const int status = std::system(command.c_str());
  if (status == -1) {
    complain(option + " " + command + ": cannot start it: " + std::strerror(errno));
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  complain(option + " command \"" + command + "\" " +
           (WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                              : std::string("was killed by a signal")));
  return false;
}

int Run::execute() {
  if (!prepare() || !slotsSuffice()) return kExitNothingSent;
  if (!startWorkers()) {
    tellWorkers(workersOf(nullptr), kAbort);
    return kExitNothingSent;
  }
  const std::vector<Worker*> everyone = workersOf(nullptr);
  for (const std::string& problem : problems_) complain(problem);
  if (!problems_.empty() || !runShellCommand("--before", options_.before)) {
    complain(file_.path + ": nothing was sent");
    tellWorkers(everyone, kAbort);
    return kExitNothingSent;
  }

  const auto runStart = Clock::now();
  progress_.start(totalSends_);
  std::vector<std::pair<std::string, long>> readPerFlow;
  RunStats stats;
  std::vector<nlohmann::json> reports;
  const FlowDef* brokenIn = nullptr;
  for (const FlowDef& flow : file_.flows) {
    readPerFlow.emplace_back(flow.name, static_cast<long>(messages_[&flow].size()));
    const std::vector<Worker*> stage = workersOf(&flow);
    tellWorkers(stage, kGo);
    if (!collectReports(stage, reports, &progress_)) {
      tellWorkers(everyone, kAbort);
      complain(file_.path + ": the run broke off in flow \"" + flow.name + "\"");
      return kExitBroken;
    }
    for (const auto& report : reports) stats.add(reportedStats(report));
    if (!stats.exceptions.empty()) {
      brokenIn = &flow;
      break;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
  std::cout.flush();
  std::cout << formatSummary(readPerFlow, stats, options_, seconds) << std::flush;
  if (brokenIn != nullptr) {
    // A fatal broker exception is no part of a complete run: no --then.
    complain(file_.path + ": the run broke off in flow \"" + brokenIn->name +
             "\": a broker exception came out of the flow (" + stats.exceptions.begin()->first +
             "); " + std::to_string(stats.sent - sum(stats.exceptions)) + " of " +
             std::to_string(totalSends_) + " messages got through");
    tellWorkers(everyone, kRelease);
    waitForWorkers(workers_);
    return kExitBroken;
  }
  // The pool is still held by every worker's node contexts.
  const bool thenOk = runShellCommand("--then", options_.then);
  tellWorkers(everyone, kRelease);
  const bool clean = waitForWorkers(workers_);
  if (!clean) complain("a broker process did not end cleanly");
  return thenOk && clean ? kExitDone : kExitBroken;
}

}  // namespace

int runFlowFile(const Options& options) {
  Run run(options);
  // A failure nobody foresaw (an unreadable report, memory) ends the run with
  // its reason; the workers still end and delete their nodes.
  try {
    return run.execute();
  } catch (const std::exception& error) {
    complain(options.flowPath + ": the run broke off: " + error.what());
    return kExitBroken;
  }
}

}  // namespace kvflow
