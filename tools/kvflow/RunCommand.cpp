// The main process of a run: preparing it, starting the workers, moving the
// flows along one after the other, and the summary.
#include "tools/kvflow/RunCommand.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"
#include "tools/kvflow/FlowFile.h"
#include "tools/kvflow/Messages.h"
#include "tools/kvflow/Progress.h"
#include "tools/kvflow/Summary.h"
#include "tools/kvflow/WorkerProcess.h"

namespace kvflow {
namespace {

using Clock = std::chrono::steady_clock;

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
  void tell(const std::vector<Worker*>& workers, char byte);
  std::vector<Worker*> workersOf(const FlowDef* flow);
  bool runShellCommand(const std::string& option, const std::string& command);

  const Options& options_;
  FlowFile file_;
  std::map<const FlowDef*, std::vector<MessageText>> messages_;
  Progress progress_;
  std::vector<Worker> workers_;
  std::vector<nlohmann::json> buildReports_;
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
      std::string names;
      for (const FlowDef& flow : file_.flows) names += (names.empty() ? "" : ", ") + flow.name;
      complain("message source " + source + ": " + file_.path +
               " holds several flows; name one as FLOW=PATH (flows: " + names + ")");
      return false;
    }
  }
  MessageReader reader;
  for (const FlowDef& flow : file_.flows) {
    const auto given = sources.find(&flow);
    try {
      messages_[&flow] = reader.read(given != sources.end() ? given->second : flow.messages);
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
// run ends, and node creation waits for a free slot: a run needing more than
// the machine has free would wait for ever for a slot only it could free.
// Checked before any node exists, against the free slots of the pool, or all
// of them when there is none (another run may still take some meanwhile);
// not with the pool on Redis.
bool Run::slotsSuffice() {
  // On Redis a node context takes no slot (a malformed setting is left to
  // node creation to report).
  kvpool::BackendConfig backend;
  std::string problem;
  if (!kvpool::readBackendConfig(&backend, &problem) || backend.remote()) return true;
  long needed = 0;
  std::string parts;
  for (const FlowDef& flow : file_.flows) {
    const long pluginNodes =
        std::count_if(flow.nodes.begin(), flow.nodes.end(),
                      [](const NodeDef& node) { return node.className == "KvPoolNode"; });
    if (pluginNodes == 0) continue;
    needed += pluginNodes * options_.processes;
    parts += std::string(parts.empty() ? "" : ", ") + "flow \"" + flow.name +
             "\": " + std::to_string(options_.processes) + " process" +
             (options_.processes == 1 ? "" : "es") + " x " + std::to_string(pluginNodes) +
             " KvPoolNode" + (pluginNodes == 1 ? "" : "s");
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
  complain(file_.path + ": the flows need " + std::to_string(needed) + " node contexts (" + parts +
           "), but only " + std::to_string(free) + " of the machine's " +
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
      const WorkerJob job{&options_,         &file_, &flow,
                          &messages_[&flow], index,  progress_.counter(workers_.size())};
      auto worker = startWorker(job, workers_);
      if (!worker) return false;
      workers_.push_back(std::move(*worker));
      // One flow is built at a time, as a broker deploys them: the first
      // node creation makes the pool and the others find it.
      std::vector<nlohmann::json> reports;
      if (!collectReports({&workers_.back()}, reports, nullptr)) return false;
      buildReports_.push_back(reports.front());
    }
  }
  return true;
}

std::vector<Worker*> Run::workersOf(const FlowDef* flow) {
  std::vector<Worker*> result;
  for (Worker& worker : workers_) {
    if (worker.flow == flow) result.push_back(&worker);
  }
  return result;
}

void Run::tell(const std::vector<Worker*>& workers, char byte) {
  for (Worker* worker : workers) {
    if (worker->control.valid()) sendControl(worker->control.get(), byte);
  }
}

bool Run::runShellCommand(const std::string& option, const std::string& command) {
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
  std::vector<Worker*> everyone;
  const bool started = startWorkers();
  for (Worker& worker : workers_) everyone.push_back(&worker);
  if (!started) {
    tell(everyone, kAbort);
    return kExitNothingSent;
  }

  std::vector<std::string> problems;
  std::set<std::string> seen;
  for (const auto& report : buildReports_) {
    for (const std::string& problem : reportedProblems(report)) {
      if (seen.insert(problem).second) problems.push_back(problem);
    }
  }
  if (!problems.empty()) {
    for (const std::string& problem : problems) complain(problem);
    complain(file_.path + ": nothing was sent");
    tell(everyone, kAbort);
    return kExitNothingSent;
  }
  if (!options_.before.empty() && !runShellCommand("--before", options_.before)) {
    complain(file_.path + ": nothing was sent");
    tell(everyone, kAbort);
    return kExitNothingSent;
  }

  const auto runStart = Clock::now();
  progress_.start(totalSends_);
  SummaryInput summary;
  summary.processesPerFlow = options_.processes;
  summary.repeat = options_.repeat;
  std::vector<nlohmann::json> reports;
  const FlowDef* brokenIn = nullptr;
  for (const FlowDef& flow : file_.flows) {
    summary.readPerFlow.emplace_back(flow.name, static_cast<long>(messages_[&flow].size()));
    std::vector<Worker*> stage = workersOf(&flow);
    tell(stage, kGo);
    if (!collectReports(stage, reports, &progress_)) {
      tell(everyone, kAbort);
      complain(file_.path + ": the run broke off in flow \"" + flow.name + "\"");
      return kExitBroken;
    }
    for (const auto& report : reports) summary.stats.add(reportedStats(report));
    if (!summary.stats.exceptions.empty()) {
      brokenIn = &flow;
      break;
    }
  }
  summary.seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
  std::cout.flush();
  std::cout << formatSummary(summary) << std::flush;
  if (brokenIn != nullptr) {
    // A fatal broker exception is no part of a complete run: say how far it
    // got, skip --then, and let the workers go.
    long exceptions = 0;
    for (const auto& item : summary.stats.exceptions) exceptions += item.second;
    complain(file_.path + ": the run broke off in flow \"" + brokenIn->name +
             "\": a broker exception came out of the flow (" +
             summary.stats.exceptions.begin()->first + "); " +
             std::to_string(summary.stats.sent - exceptions) + " of " +
             std::to_string(totalSends_) + " messages got through");
    tell(everyone, kRelease);
    waitForWorkers(workers_);
    return kExitBroken;
  }

  // The pool is still held by every worker's node contexts.
  const bool thenOk = options_.then.empty() || runShellCommand("--then", options_.then);
  tell(everyone, kRelease);
  const bool clean = waitForWorkers(workers_);
  if (!clean) complain("a broker process did not end cleanly");
  return thenOk && clean ? kExitDone : kExitBroken;
}

}  // namespace

int runFlowFile(const Options& options) {
  Run run(options);
  // A failure nobody foresaw (a report that cannot be read, memory) ends the
  // run with its reason; the workers still end and delete their nodes.
  try {
    return run.execute();
  } catch (const std::exception& error) {
    complain(options.flowPath + ": the run broke off: " + error.what());
    return kExitBroken;
  }
}

}  // namespace kvflow
