// kvflow run's main process: preparing the run, starting the workers and
// holding them, moving the flows along one after the other (Kvflow.h tells
// how), and the progress line.
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"
#include "support/FileIo.h"
#include "tools/common/BackendOption.h"
#include "support/KvPoolConstants.h"
#include "tools/kvflow/Kvflow.h"

namespace kvflow {
namespace {

using Clock = std::chrono::steady_clock;

bool stderrIsTerminal() {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;
  return terminal;
}

// The progress line: one counter of messages sent per worker, in memory the
// forked workers share, summed on a terminal while the run goes on.
class Progress {
 public:
  Progress() = default;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (counters_ != nullptr) ::munmap(counters_, count_ * sizeof(Counter));
  }

  // Maps `count` zeroed counters that processes forked afterwards share;
  // false with errno set when mmap fails.
  bool share(std::size_t count) {
    void* shared = ::mmap(nullptr, count * sizeof(Counter), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return false;
    counters_ = static_cast<Counter*>(shared);
    count_ = count;
    for (std::size_t i = 0; i < count; ++i) new (&counters_[i]) Counter();
    return true;
  }
  std::atomic<long>* counter(std::size_t slot) { return &counters_[slot].sent; }
  void start(long totalSends) {
    totalSends_ = totalSends;
    start_ = Clock::now();
  }

  // Shows or refreshes the line: only on a terminal, once the run has lasted
  // a second, at most a few times a second.
  void show() {
    if (!stderrIsTerminal() || counters_ == nullptr) return;
    const auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) ||
        now - lastShown_ < std::chrono::milliseconds(200)) {
      return;
    }
    lastShown_ = now;
    long sent = 0;
    for (std::size_t i = 0; i < count_; ++i) sent += counters_[i].sent.load();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char line[160];
    std::snprintf(line, sizeof line, "\rkvflow: %ld of %ld messages sent, %.0f messages/s\033[K",
                  sent, totalSends_, seconds > 0 ? sent / seconds : 0.0);
    std::cerr << line << std::flush;
    shown_ = true;
  }
  // Takes the line off, so that a complaint starts a clean line.
  void clear() {
    if (!stderrIsTerminal() || counters_ == nullptr) return;
    if (shown_) std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
  }

 private:
  // On a cache line of its own: workers on different cores adding one a
  // message must not pull one line back and forth.
  struct alignas(64) Counter {
    std::atomic<long> sent{0};
  };
  Counter* counters_ = nullptr;
  std::size_t count_ = 0;
  long totalSends_ = 0;
  Clock::time_point start_;
  Clock::time_point lastShown_;
  bool shown_ = false;
};

// Reaps a worker whose report pipe closed and says how it ended.
std::string reapEndedWorker(Worker& worker) {
  int status = 0;
  std::string how = "ended without a word";
  if (::waitpid(worker.pid, &status, 0) == worker.pid) {
    worker.pid = -1;
    if (WIFSIGNALED(status)) {
      how = std::string("was killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
            strsignal(WTERMSIG(status)) + ")";
    } else if (WIFEXITED(status)) {
      how = "exited with status " + std::to_string(WEXITSTATUS(status));
    }
  }
  return how;
}

class Run {
 public:
  explicit Run(const Options& options) : options_(options) {}
  // Workers see their control pipe close and delete their nodes.
  ~Run() { waitForWorkers(); }
  int execute();

 private:
  bool prepare();
  bool slotsSuffice();
  bool startWorkers();
  bool runShellCommand(const std::string& option, const std::string& command);
  // Sends the byte to each worker still held; one that is gone is no error here.
  void tell(const std::vector<Worker*>& workers, char byte) {
    for (Worker* worker : workers) {
      if (worker->control.valid()) kvpool::writeAll(worker->control.get(), std::string(1, byte));
    }
  }
  // Waits for one report from each worker, into reports (in their order),
  // showing the progress line when asked. False, with a complaint, when one
  // closes its report pipe first; that one is reaped.
  bool collect(const std::vector<Worker*>& workers, std::vector<nlohmann::json>& reports,
               bool showProgress);
  // Closes every control pipe, so each worker deletes its nodes and ends, and
  // reaps them. True when every one exited with status 0.
  bool waitForWorkers();
  // Tells every worker to delete its nodes and prints the events that
  // logged. False when the pool was left unsaved (event 19) or a worker
  // ended without a word.
  bool releaseNodes();
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
    parts.push_back("flow \"" + flow.name +
                    "\": " + counted(options_.processes, "process", "processes") + " x " +
                    counted(pluginNodes, "KvPoolNode", "KvPoolNodes"));
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
      workers_.push_back(
          {&options_, &file_, &flow, &messages_[&flow], index, progress_.counter(workers_.size())});
      if (!startWorker(workers_.back(), workers_)) return false;
      // One flow is built at a time, as a broker deploys them: the first
      // node creation makes the pool and the others find it.
      std::vector<nlohmann::json> reports;
      if (!collect({&workers_.back()}, reports, false)) return false;
      if (reports.front().value("kind", "") != "problems") continue;
      for (const auto& item : reports.front()["problems"]) {
        const auto problem = item.get<std::string>();
        if (std::find(problems_.begin(), problems_.end(), problem) == problems_.end()) {
          problems_.push_back(problem);
        }
      }
    }
  }
  return true;
}

bool Run::collect(const std::vector<Worker*>& workers, std::vector<nlohmann::json>& reports,
                  bool showProgress) {
  reports.assign(workers.size(), nlohmann::json());  // null until its report is in
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < workers.size(); ++i) {
      if (!reports[i].is_null()) continue;
      fds.push_back({workers[i]->report.get(), POLLIN, 0});
      which.push_back(i);
    }
    if (fds.empty()) break;
    const int ready = ::poll(fds.data(), fds.size(), showProgress ? 200 : -1);
    if (ready < 0 && errno != EINTR) {
      complain(std::string("waiting for the broker processes: poll failed: ") +
               std::strerror(errno));
      return false;
    }
    if (showProgress) progress_.show();
    for (std::size_t k = 0; ready > 0 && k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Worker& worker = *workers[which[k]];
      char buffer[4096];
      const ssize_t n = ::read(worker.report.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const std::string how = reapEndedWorker(worker);
        if (showProgress) progress_.clear();
        complain(worker.name() + " " + how);
        return false;
      }
      worker.pending.append(buffer, static_cast<std::size_t>(n));
      const auto newline = worker.pending.find('\n');
      if (newline == std::string::npos) continue;
      reports[which[k]] = nlohmann::json::parse(worker.pending.substr(0, newline));
      worker.pending.erase(0, newline + 1);
    }
  }
  if (showProgress) progress_.clear();
  return true;
}

bool Run::waitForWorkers() {
  bool clean = true;
  for (Worker& worker : workers_) worker.control.reset();
  for (Worker& worker : workers_) {
    if (worker.pid > 0) {
      int status = 0;
      while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
      }
      worker.pid = -1;
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) clean = false;
    }
    worker.report.reset();
  }
  return clean;
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
  // A pool on Redis that cannot be reached would fail every message with 5.
  if (std::string reached, problem; !kvtools::reachRemotePool(&reached, &problem)) {
    complain(file_.path + ": the pool cannot be reached: " + problem + "; nothing was sent");
    return kExitNothingSent;
  }
  if (!startWorkers()) {
    tell(workersOf(nullptr), kAbort);
    return kExitNothingSent;
  }
  const std::vector<Worker*> everyone = workersOf(nullptr);
  for (const std::string& problem : problems_) complain(problem);
  if (!problems_.empty() || !runShellCommand("--before", options_.before)) {
    complain(file_.path + ": nothing was sent");
    tell(everyone, kAbort);
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
    tell(stage, kGo);
    if (!collect(stage, reports, true)) {
      tell(everyone, kAbort);
      complain(file_.path + ": the run broke off in flow \"" + flow.name + "\"");
      return kExitBroken;
    }
    for (const auto& report : reports) stats.add(RunStats::fromJson(report["stats"]));
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
    releaseNodes();
    waitForWorkers();
    return kExitBroken;
  }
  const auto unavailable = stats.failures.find(KVPOOL_POOL_UNAVAILABLE);
  const bool neverReached =
      unavailable != stats.failures.end() && sum(unavailable->second) >= stats.sent;
  if (neverReached) {
    complain(file_.path + ": every message failed with 5: the pool could not be reached " +
             "during the run");
  }
  // The pool is still held by every worker's node contexts.
  const bool thenOk = runShellCommand("--then", options_.then);
  const bool released = releaseNodes();
  const bool clean = waitForWorkers();
  if (!clean) complain("a broker process did not end cleanly");
  return thenOk && released && clean && !neverReached ? kExitDone : kExitBroken;
}

bool Run::releaseNodes() {
  const std::vector<Worker*> everyone = workersOf(nullptr);
  tell(everyone, kRelease);
  std::vector<nlohmann::json> reports;
  if (!collect(everyone, reports, false)) return false;
  bool kept = true;
  std::string lines;
  for (const auto& report : reports) {
    for (const auto& event : report.value("events", nlohmann::json::array())) {
      lines += "  " + event.value("text", "") + "\n";
      if (event.value("number", 0) != kvpool::kEventPersistSaveFailed) continue;
      complain(file_.path + ": the pool was not saved when its last node was deleted: " +
               event.value("insert", ""));
      kept = false;
    }
  }
  if (!lines.empty()) std::cout << "broker events at node deletion:\n" << lines << std::flush;
  return kept;
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
