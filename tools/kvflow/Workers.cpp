// The worker processes of a run, forked by kvflow's main process: each loads
// the plug-in, builds one flow and sends its share of the flow's messages.
// Control, main process to worker: single bytes (Kvflow.h). Reports, worker
// to main process: one JSON object per line, in this order:
//   {"kind": "problems", "problems": [...]}  the flow could not be built; the
//                                           worker waits for any word and ends
//   {"kind": "built"}                       built; it sends once told kGo
//   {"kind": "done", "stats": {...}}        every message of its share sent;
//                                           it deletes its nodes once told
//                                           kRelease
// A pipe that closes counts as kAbort to the worker and as a dead worker to
// the main process.
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "support/FileIo.h"
#include "tools/kvflow/Kvflow.h"

namespace kvflow {
namespace {

constexpr long kControlCheckEvery = 64;  // messages between looks for a stop
constexpr long kCollectEventsEvery = 4096;

void sendReport(int fd, const nlohmann::json& report) {
  kvpool::writeAll(fd,
                   report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

nlohmann::json statsToJson(const RunStats& stats) {
  nlohmann::json failures = nlohmann::json::object();
  for (const auto& [code, operands] : stats.failures) failures[std::to_string(code)] = operands;
  nlohmann::json events = nlohmann::json::object();
  for (const auto& [number, count] : stats.eventsByNumber) events[std::to_string(number)] = count;
  return {{"sent", stats.sent},
          {"reachedNoOutput", stats.reachedNoOutput},
          {"perOutput", stats.perOutput},
          {"failures", failures},
          {"events", events},
          {"exceptions", stats.exceptions},
          {"notWritten", stats.notWritten}};
}

// The next control byte, waiting for it; 0 when the main process is gone.
char readControl(int fd) {
  char byte = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 ? byte : 0;
  }
}

// True when the main process has gone or asked to stop; never waits.
bool controlSaysStop(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  const char byte = readControl(fd);
  return byte == 0 || byte == kAbort;
}

bool stderrIsTerminal() {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;
  return terminal;
}

std::string workerName(int index, const FlowDef& flow) {
  return "broker process " + std::to_string(index + 1) + " of flow \"" + flow.name + "\"";
}

// The worker's life; its exit status.
int runWorker(const Worker& worker, int control, int report) {
  ::signal(SIGINT, SIG_IGN);  // the main process decides; we clean up on its word
  ::signal(SIGPIPE, SIG_IGN);
  kvbroker::Broker broker;
  std::vector<std::string> problems;
  std::unique_ptr<FlowRun> run;
  try {
    broker.loadPlugin(worker.options->plugin);
  } catch (const kvbroker::BrokerError& error) {
    problems.push_back("cannot load the plug-in: " + std::string(error.what()));
  }
  if (problems.empty()) {
    const std::string outputTag =
        worker.options->processes > 1 ? ".p" + std::to_string(worker.index + 1) : "";
    run = std::make_unique<FlowRun>(broker, *worker.file, *worker.flow, true, outputTag);
    problems = run->problems();
  }
  if (!problems.empty()) {
    sendReport(report, {{"kind", "problems"}, {"problems", problems}});
    readControl(control);
    return 1;
  }
  sendReport(report, {{"kind", "built"}});
  if (readControl(control) != kGo) return 0;

  const auto& messages = *worker.messages;
  const long total = static_cast<long>(messages.size()) * worker.options->repeat;
  const int processes = worker.options->processes;
  long handled = 0;
  for (long i = worker.index; i < total; i += processes) {
    const MessageText& message = messages[static_cast<std::size_t>(i) % messages.size()];
    const bool through = run->send(message.parsed);
    worker.progress->fetch_add(1, std::memory_order_relaxed);
    // A broker exception out of the flow breaks the run off: this process
    // sends no more and reports what it did; the main process stops.
    if (!through) break;
    if (worker.options->intervalMs > 0)
      ::usleep(static_cast<useconds_t>(worker.options->intervalMs) * 1000);
    if (++handled % kControlCheckEvery == 0 && controlSaysStop(control)) return 1;
    if (handled % kCollectEventsEvery == 0) run->collectEvents();
  }
  run->collectEvents();
  std::cout.flush();
  sendReport(report, {{"kind", "done"}, {"stats", statsToJson(run->stats())}});
  readControl(control);  // release (or the main process is gone): delete the nodes
  return 0;
}

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

}  // namespace

bool startWorker(Worker& worker, std::vector<Worker>& running) {
  kvpool::Pipe control, report;
  if (!control.open() || !report.open()) {
    complain(std::string("cannot start a broker process: pipe failed: ") + std::strerror(errno));
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    complain(std::string("cannot start a broker process: fork failed: ") + std::strerror(errno));
    return false;
  }
  if (pid == 0) {
    control.writeEnd.reset();
    report.readEnd.reset();
    for (Worker& other : running) {
      other.control.reset();
      other.report.reset();
    }
    int status = 3;
    // Nothing may unwind out of here into the main process's frames.
    try {
      status = runWorker(worker, control.readEnd.get(), report.writeEnd.get());
    } catch (const std::exception& error) {
      complain(workerName(worker.index, *worker.flow) + ": " + error.what());
    } catch (...) {
      complain(workerName(worker.index, *worker.flow) + ": an unknown exception");
    }
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(status);
  }
  worker.pid = pid;
  worker.control = std::move(control.writeEnd);
  worker.report = std::move(report.readEnd);
  return true;
}

bool collectReports(const std::vector<Worker*>& workers, std::vector<nlohmann::json>& reports,
                    Progress* progress) {
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
    const int ready = ::poll(fds.data(), fds.size(), progress != nullptr ? 200 : -1);
    if (ready < 0 && errno != EINTR) {
      complain(std::string("waiting for the broker processes: poll failed: ") +
               std::strerror(errno));
      return false;
    }
    if (progress != nullptr) progress->show();
    for (std::size_t k = 0; ready > 0 && k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Worker& worker = *workers[which[k]];
      char buffer[4096];
      const ssize_t n = ::read(worker.report.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const std::string how = reapEndedWorker(worker);
        if (progress != nullptr) progress->clear();
        complain(workerName(worker.index, *worker.flow) + " " + how);
        return false;
      }
      worker.pending.append(buffer, static_cast<std::size_t>(n));
      const auto newline = worker.pending.find('\n');
      if (newline == std::string::npos) continue;
      reports[which[k]] = nlohmann::json::parse(worker.pending.substr(0, newline));
      worker.pending.erase(0, newline + 1);
    }
  }
  if (progress != nullptr) progress->clear();
  return true;
}

bool waitForWorkers(std::vector<Worker>& workers) {
  bool clean = true;
  for (Worker& worker : workers) worker.control.reset();
  for (Worker& worker : workers) {
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

void tellWorkers(const std::vector<Worker*>& workers, char byte) {
  for (Worker* worker : workers) {
    if (worker->control.valid()) kvpool::writeAll(worker->control.get(), std::string(1, byte));
  }
}

std::vector<std::string> reportedProblems(const nlohmann::json& report) {
  std::vector<std::string> problems;
  if (report.value("kind", "") != "problems") return problems;
  for (const auto& problem : report["problems"]) problems.push_back(problem.get<std::string>());
  return problems;
}

RunStats reportedStats(const nlohmann::json& report) {
  const nlohmann::json& json = report["stats"];
  RunStats stats;
  stats.sent = json.at("sent").get<long>();
  stats.reachedNoOutput = json.at("reachedNoOutput").get<long>();
  stats.perOutput = json.at("perOutput").get<std::map<std::string, long>>();
  for (const auto& item : json.at("failures").items()) {
    stats.failures[std::stoi(item.key())] = item.value().get<std::map<std::string, long>>();
  }
  for (const auto& item : json.at("events").items()) {
    stats.eventsByNumber[std::stoi(item.key())] = item.value().get<long>();
  }
  stats.exceptions = json.at("exceptions").get<std::map<std::string, long>>();
  stats.notWritten =
      json.at("notWritten").get<std::map<std::string, std::map<std::string, long>>>();
  return stats;
}

Progress::~Progress() {
  if (counters_ != nullptr) ::munmap(counters_, count_ * sizeof(Counter));
}

bool Progress::share(std::size_t count) {
  void* shared = ::mmap(nullptr, count * sizeof(Counter), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return false;
  counters_ = static_cast<Counter*>(shared);
  count_ = count;
  for (std::size_t i = 0; i < count; ++i) new (&counters_[i]) Counter();
  return true;
}

void Progress::start(long totalSends) {
  totalSends_ = totalSends;
  start_ = Clock::now();
}

void Progress::show() {
  if (!stderrIsTerminal() || counters_ == nullptr) return;
  const auto now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - lastShown_ < std::chrono::milliseconds(200)) {
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

void Progress::clear() {
  if (!stderrIsTerminal() || counters_ == nullptr) return;
  if (shown_) std::cerr << "\r\033[K" << std::flush;
  shown_ = false;
}

}  // namespace kvflow
