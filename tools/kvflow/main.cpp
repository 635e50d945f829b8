// kvflow: runs XML messages through message flows of KvPoolNodes on the
// stand-in broker, in one or more broker processes that share the pool.
//
//   kvflow run FLOW [SOURCE...] [--processes N] [--repeat K] [--plugin PATH]
//                   [--before CMD] [--then CMD]
//   kvflow check FLOW [--plugin PATH]
//
// How a run is organised. kvflow's main process never loads the plug-in: it
// reads and checks the flow file and every message, then starts the broker
// processes ("workers"), N for each flow of the file, one after the other:
// each loads the plug-in, builds its flow and reports back before the next
// starts. Only when every worker has built its flow does any message move, so a refused script or a
// missing plug-in in any of them stops the run before the first message. The flows then run one
// after the other, in file order (all workers of a flow split its messages),
// while the workers of every flow keep their node contexts: the pool lives as
// long as one node context exists, so what the first flow stores is there for
// the second. After the last message, --then runs with the pool still held;
// then every worker deletes its nodes and the last one removes the pool.
//
// Exit status: 0 the run is complete (messages that went to a failure
// terminal are part of a complete run); 1 nothing was sent (bad command
// line, flow file, plug-in, message or script, or --before failed); 2 the run
// broke off or --then failed.
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "tools/kvflow/FlowFile.h"
#include "tools/kvflow/FlowRun.h"
#include "tools/kvflow/Messages.h"
#include "tools/kvflow/Summary.h"

namespace {

using kvflow::FlowDef;
using kvflow::FlowFile;
using kvflow::MessageText;
using Clock = std::chrono::steady_clock;

constexpr int kExitDone = 0;
constexpr int kExitNothingSent = 1;
constexpr int kExitBroken = 2;
constexpr int kMaxProcesses = 64;
// Control bytes from the main process to a worker.
constexpr char kGo = 'G';
constexpr char kAbort = 'A';
constexpr char kRelease = 'R';
// A worker looks for a vanished main process this often (in messages).
constexpr long kControlCheckEvery = 64;
constexpr long kCollectEventsEvery = 4096;

// The plug-in installed beside kvflow (KVFLOW_INSTALLED_PLUGIN, relative to
// the executable's folder) when there is one, else the build tree's.
std::string defaultPlugin() {
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
  int processes = 1;
  int repeat = 1;
  std::string before;
  std::string then;
};

void complain(const std::string& text) {
  std::cerr << "kvflow: " << text << std::endl;
}

// ---------------------------------------------------------------- workers --

// One broker process of the run.
struct Worker {
  const FlowDef* flow = nullptr;
  int index = 0;  // among the workers of its flow
  pid_t pid = -1;
  int control = -1;  // main -> worker
  int report = -1;   // worker -> main, one JSON object per line
  std::string pending;
  bool alive = true;
};

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void sendReport(int fd, const nlohmann::json& report) {
  writeAll(fd, report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

// The next control byte; 0 when the main process is gone.
char readControl(int fd) {
  char byte = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 ? byte : 0;
  }
}

// True when the main process has gone or asked to stop while messages run.
bool controlSaysStop(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  const char byte = readControl(fd);
  return byte == 0 || byte == kAbort;
}

struct WorkerJob {
  const Options* options;
  const FlowFile* file;
  const FlowDef* flow;
  const std::vector<MessageText>* messages;
  int index;
  int control;
  int report;
  std::atomic<long>* progress;
};

int runWorker(const WorkerJob& job) {
  ::signal(SIGINT, SIG_IGN);  // the main process decides; we clean up on its word
  ::signal(SIGPIPE, SIG_IGN);
  kvbroker::Broker broker;
  std::vector<std::string> problems;
  std::unique_ptr<kvflow::FlowRun> run;
  try {
    broker.loadPlugin(job.options->plugin);
  } catch (const kvbroker::BrokerError& error) {
    problems.push_back("cannot load the plug-in: " + std::string(error.what()));
  }
  if (problems.empty()) {
    const std::string outputTag =
        job.options->processes > 1 ? ".p" + std::to_string(job.index + 1) : "";
    run = std::make_unique<kvflow::FlowRun>(broker, *job.file, *job.flow, true, outputTag);
    problems = run->problems();
  }
  if (!problems.empty()) {
    sendReport(job.report, {{"kind", "problems"}, {"problems", problems}});
    readControl(job.control);
    return 1;
  }
  sendReport(job.report, {{"kind", "built"}});
  if (readControl(job.control) != kGo) return 0;

  const auto& messages = *job.messages;
  const long total = static_cast<long>(messages.size()) * job.options->repeat;
  const int processes = job.options->processes;
  long handled = 0;
  for (long i = job.index; i < total; i += processes) {
    const MessageText& message = messages[static_cast<std::size_t>(i) % messages.size()];
    run->send(message.text, message.source);
    job.progress->fetch_add(1, std::memory_order_relaxed);
    if (++handled % kControlCheckEvery == 0 && controlSaysStop(job.control)) return 1;
    if (handled % kCollectEventsEvery == 0) run->collectEvents();
  }
  run->collectEvents();
  std::cout.flush();
  sendReport(job.report, {{"kind", "done"}, {"stats", kvflow::statsToJson(run->stats())}});
  readControl(job.control);  // release (or the main process is gone): delete the nodes
  return 0;
}

// ------------------------------------------------------------ main process --

class Run {
 public:
  explicit Run(const Options& options) : options_(options) {}
  ~Run() { abandon(); }

  int execute();

 private:
  bool prepare();
  bool startWorkers();
  // Reads one report from each of the workers; false when one died.
  bool collect(const std::vector<Worker*>& workers, std::vector<nlohmann::json>& reports,
               bool showProgress);
  void tell(const std::vector<Worker*>& workers, char byte);
  std::vector<Worker*> workersOf(const FlowDef* flow);
  int waitWorkers();
  void abandon();
  void showProgress(bool final);
  bool runCommand(const std::string& option, const std::string& command);

  const Options& options_;
  FlowFile file_;
  std::map<const FlowDef*, std::vector<MessageText>> messages_;
  std::vector<Worker> workers_;
  std::vector<nlohmann::json> buildReports_;
  std::atomic<long>* progress_ = nullptr;
  std::size_t progressSize_ = 0;
  long totalSends_ = 0;
  Clock::time_point runStart_;
  Clock::time_point lastProgress_;
  bool progressShown_ = false;
};

bool Run::prepare() {
  try {
    file_ = kvflow::readFlowFile(options_.flowPath);
  } catch (const kvflow::FlowFileError& error) {
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
  kvflow::MessageReader reader;
  for (const FlowDef& flow : file_.flows) {
    const auto given = sources.find(&flow);
    try {
      messages_[&flow] = reader.read(given != sources.end() ? given->second : flow.messages);
    } catch (const kvflow::MessageError& error) {
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

bool Run::startWorkers() {
  const std::size_t count = file_.flows.size() * static_cast<std::size_t>(options_.processes);
  progressSize_ = count * sizeof(std::atomic<long>);
  void* shared =
      ::mmap(nullptr, progressSize_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    complain(std::string("cannot share progress counters: mmap failed: ") + std::strerror(errno));
    return false;
  }
  progress_ = static_cast<std::atomic<long>*>(shared);
  for (std::size_t i = 0; i < count; ++i) new (&progress_[i]) std::atomic<long>(0);

  std::cout.flush();
  workers_.reserve(count);
  for (const FlowDef& flow : file_.flows) {
    for (int index = 0; index < options_.processes; ++index) {
      int control[2], report[2];
      if (::pipe(control) != 0 || ::pipe(report) != 0) {
        complain(std::string("cannot start a broker process: pipe failed: ") +
                 std::strerror(errno));
        return false;
      }
      const std::size_t slot = workers_.size();
      const pid_t pid = ::fork();
      if (pid < 0) {
        complain(std::string("cannot start a broker process: fork failed: ") +
                 std::strerror(errno));
        return false;
      }
      if (pid == 0) {
        ::close(control[1]);
        ::close(report[0]);
        for (const Worker& other : workers_) {
          ::close(other.control);
          ::close(other.report);
        }
        WorkerJob job{&options_, &file_,     &flow,     &messages_[&flow],
                      index,     control[0], report[1], &progress_[slot]};
        int status = runWorker(job);
        std::cout.flush();
        std::fflush(nullptr);
        ::_exit(status);
      }
      ::close(control[0]);
      ::close(report[1]);
      Worker worker;
      worker.flow = &flow;
      worker.index = index;
      worker.pid = pid;
      worker.control = control[1];
      worker.report = report[0];
      workers_.push_back(std::move(worker));
      // One flow is built at a time, as a broker deploys them: the first
      // node creation makes the pool and the others find it.
      std::vector<nlohmann::json> reports;
      if (!collect({&workers_.back()}, reports, false)) return false;
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
    if (worker->control >= 0) writeAll(worker->control, std::string(1, byte));
  }
}

bool Run::collect(const std::vector<Worker*>& workers, std::vector<nlohmann::json>& reports,
                  bool progress) {
  reports.assign(workers.size(), nlohmann::json());
  std::vector<bool> have(workers.size(), false);
  std::size_t missing = workers.size();
  while (missing > 0) {
    std::vector<pollfd> fds;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < workers.size(); ++i) {
      if (have[i]) continue;
      fds.push_back({workers[i]->report, POLLIN, 0});
      which.push_back(i);
    }
    const int ready = ::poll(fds.data(), fds.size(), progress ? 200 : -1);
    if (ready < 0 && errno != EINTR) {
      complain(std::string("waiting for the broker processes: poll failed: ") +
               std::strerror(errno));
      return false;
    }
    if (progress) showProgress(false);
    for (std::size_t k = 0; ready > 0 && k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Worker& worker = *workers[which[k]];
      char buffer[4096];
      const ssize_t n = ::read(worker.report, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        worker.alive = false;
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
        showProgress(true);
        complain("broker process " + std::to_string(worker.index + 1) + " of flow \"" +
                 worker.flow->name + "\" " + how);
        return false;
      }
      worker.pending.append(buffer, static_cast<std::size_t>(n));
      const auto newline = worker.pending.find('\n');
      if (newline == std::string::npos) continue;
      reports[which[k]] = nlohmann::json::parse(worker.pending.substr(0, newline));
      worker.pending.erase(0, newline + 1);
      have[which[k]] = true;
      --missing;
    }
  }
  if (progress) showProgress(true);
  return true;
}

void Run::showProgress(bool final) {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;
  if (!terminal || progress_ == nullptr) return;
  const auto now = Clock::now();
  if (final) {
    if (progressShown_) std::cerr << "\r\033[K" << std::flush;
    progressShown_ = false;
    return;
  }
  // Only long runs get a progress line, and at most a few updates a second.
  if (now - runStart_ < std::chrono::seconds(1) ||
      now - lastProgress_ < std::chrono::milliseconds(200)) {
    return;
  }
  lastProgress_ = now;
  long sent = 0;
  for (std::size_t i = 0; i < workers_.size(); ++i) sent += progress_[i].load();
  const double seconds = std::chrono::duration<double>(now - runStart_).count();
  char line[160];
  std::snprintf(line, sizeof line, "\rkvflow: %ld of %ld messages sent, %.0f messages/s\033[K",
                sent, totalSends_, seconds > 0 ? sent / seconds : 0.0);
  std::cerr << line << std::flush;
  progressShown_ = true;
}

bool Run::runCommand(const std::string& option, const std::string& command) {
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

int Run::waitWorkers() {
  bool clean = true;
  for (Worker& worker : workers_) {
    if (worker.control >= 0) ::close(worker.control);
    worker.control = -1;
  }
  for (Worker& worker : workers_) {
    if (worker.pid > 0) {
      int status = 0;
      while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
      }
      worker.pid = -1;
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) clean = false;
    }
    if (worker.report >= 0) ::close(worker.report);
    worker.report = -1;
  }
  return clean ? kExitDone : kExitBroken;
}

// Workers see their control pipe close and delete their nodes.
void Run::abandon() {
  if (!workers_.empty()) waitWorkers();
  workers_.clear();
  if (progress_ != nullptr) ::munmap(progress_, progressSize_);
  progress_ = nullptr;
}

int Run::execute() {
  if (!prepare()) return kExitNothingSent;
  std::vector<Worker*> everyone;
  const bool started = startWorkers();
  for (Worker& worker : workers_) everyone.push_back(&worker);
  if (!started) {
    tell(everyone, kAbort);
    return kExitNothingSent;
  }

  std::vector<nlohmann::json> reports = buildReports_;
  std::vector<std::string> problems;
  std::set<std::string> seen;
  for (const auto& report : reports) {
    if (report.value("kind", "") != "problems") continue;
    for (const auto& problem : report["problems"]) {
      if (seen.insert(problem.get<std::string>()).second) problems.push_back(problem);
    }
  }
  if (!problems.empty()) {
    for (const std::string& problem : problems) complain(problem);
    complain(file_.path + ": nothing was sent");
    tell(everyone, kAbort);
    return kExitNothingSent;
  }
  if (!options_.before.empty() && !runCommand("--before", options_.before)) {
    complain(file_.path + ": nothing was sent");
    tell(everyone, kAbort);
    return kExitNothingSent;
  }

  runStart_ = Clock::now();
  kvflow::SummaryInput summary;
  summary.processesPerFlow = options_.processes;
  summary.repeat = options_.repeat;
  for (const FlowDef& flow : file_.flows) {
    summary.readPerFlow.emplace_back(flow.name, static_cast<long>(messages_[&flow].size()));
    std::vector<Worker*> stage = workersOf(&flow);
    tell(stage, kGo);
    if (!collect(stage, reports, true)) {
      tell(everyone, kAbort);
      complain(file_.path + ": the run broke off in flow \"" + flow.name + "\"");
      return kExitBroken;
    }
    for (const auto& report : reports) summary.stats.add(kvflow::statsFromJson(report["stats"]));
  }
  summary.seconds = std::chrono::duration<double>(Clock::now() - runStart_).count();
  std::cout.flush();
  std::cout << kvflow::formatSummary(summary) << std::flush;

  // The pool is still held by every worker's node contexts.
  const bool thenOk = options_.then.empty() || runCommand("--then", options_.then);
  tell(everyone, kRelease);
  const int status = waitWorkers();
  if (status != kExitDone) complain("a broker process did not end cleanly");
  return thenOk ? status : kExitBroken;
}

// ------------------------------------------------------------------- check --

int check(const Options& options) {
  FlowFile file;
  try {
    file = kvflow::readFlowFile(options.flowPath);
  } catch (const kvflow::FlowFileError& error) {
    complain(error.what());
    return kExitNothingSent;
  }
  std::vector<std::string> problems;
  std::size_t nodes = 0, wires = 0;
  {
    kvbroker::Broker broker;
    bool loaded = false;
    try {
      broker.loadPlugin(options.plugin);
      loaded = true;
    } catch (const kvbroker::BrokerError& error) {
      problems.push_back("cannot load the plug-in: " + std::string(error.what()));
    }
    for (const FlowDef& flow : file.flows) {
      nodes += flow.nodes.size();
      wires += flow.wires.size();
      if (!loaded) continue;
      kvflow::FlowRun run(broker, file, flow, false);
      problems.insert(problems.end(), run.problems().begin(), run.problems().end());
    }
  }
  kvflow::MessageReader reader;
  for (const FlowDef& flow : file.flows) {
    try {
      reader.read(flow.messages);
    } catch (const kvflow::MessageError& error) {
      problems.push_back(error.what());
    }
  }
  for (const std::string& problem : problems) complain(problem);
  if (!problems.empty()) {
    complain(file.path + ": " + std::to_string(problems.size()) + " problem" +
             (problems.size() == 1 ? "" : "s"));
    return kExitNothingSent;
  }
  std::cout << "kvflow: " << file.path << ": OK: " << file.flows.size() << " flow"
            << (file.flows.size() == 1 ? "" : "s") << ", " << nodes << " nodes, " << wires
            << " wires; every node created and configured\n";
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "kvflow: runs XML messages through message flows of KvPoolNodes, in broker processes "
      "that share the pool."};
  app.require_subcommand(1);
  // A worker that died must not take the main process with it on a write.
  ::signal(SIGPIPE, SIG_IGN);
  Options options;

  CLI::App* run = app.add_subcommand("run", "Build the flows and send the messages through them");
  run->add_option("flow", options.flowPath, "Flow file (JSON)")->required();
  run->add_option("sources", options.sources,
                  "Message files, directories of *.xml files, or - for standard input; "
                  "FLOW=PATH sends to one flow of a file with several (default: the "
                  "flow file's \"messages\")");
  run->add_option("-p,--processes", options.processes,
                  "Broker processes per flow; they share the pool and split the messages")
      ->check(CLI::Range(1, kMaxProcesses));
  run->add_option("-r,--repeat", options.repeat, "Send each message this many times")
      ->check(CLI::Range(1, 1000000));
  run->add_option("--plugin", options.plugin, "The plug-in to load")->capture_default_str();
  run->add_option("--before", options.before,
                  "Shell command run once every flow is built, before the first message "
                  "(e.g. \"kvpool load\"); nothing is sent when it fails");
  run->add_option("--then", options.then,
                  "Shell command run after the last message while the flows still hold "
                  "the pool (e.g. \"kvpool list\")");

  CLI::App* checkCommand = app.add_subcommand(
      "check", "Create and configure the flows' nodes without sending a message");
  checkCommand->add_option("flow", options.flowPath, "Flow file (JSON)")->required();
  checkCommand->add_option("--plugin", options.plugin, "The plug-in to load")
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : kExitNothingSent;
  }
  if (*checkCommand) return check(options);
  Run flowRun(options);
  return flowRun.execute();
}
