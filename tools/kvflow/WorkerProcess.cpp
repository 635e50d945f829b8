// Forking the worker processes, what each one runs, and reaping them.
#include "tools/kvflow/WorkerProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "broker/Broker.h"
#include "tools/kvflow/FlowRun.h"

namespace kvflow {
namespace {

// A worker looks for a vanished main process this often (in messages).
constexpr long kControlCheckEvery = 64;
constexpr long kCollectEventsEvery = 4096;

// The worker's life; its exit status.
int runWorker(const WorkerJob& job, int control, int report) {
  ::signal(SIGINT, SIG_IGN);  // the main process decides; we clean up on its word
  ::signal(SIGPIPE, SIG_IGN);
  kvbroker::Broker broker;
  std::vector<std::string> problems;
  std::unique_ptr<FlowRun> run;
  try {
    broker.loadPlugin(job.options->plugin);
  } catch (const kvbroker::BrokerError& error) {
    problems.push_back("cannot load the plug-in: " + std::string(error.what()));
  }
  if (problems.empty()) {
    const std::string outputTag =
        job.options->processes > 1 ? ".p" + std::to_string(job.index + 1) : "";
    run = std::make_unique<FlowRun>(broker, *job.file, *job.flow, true, outputTag);
    problems = run->problems();
  }
  if (!problems.empty()) {
    sendProblems(report, problems);
    readControl(control);
    return 1;
  }
  sendBuilt(report);
  if (readControl(control) != kGo) return 0;

  const auto& messages = *job.messages;
  const long total = static_cast<long>(messages.size()) * job.options->repeat;
  const int processes = job.options->processes;
  long handled = 0;
  for (long i = job.index; i < total; i += processes) {
    const MessageText& message = messages[static_cast<std::size_t>(i) % messages.size()];
    const bool through = run->send(message.parsed);
    job.progress->fetch_add(1, std::memory_order_relaxed);
    // A broker exception out of the flow breaks the run off: this process
    // sends no more and reports what it did; the main process stops.
    if (!through) break;
    if (job.options->intervalMs > 0)
      ::usleep(static_cast<useconds_t>(job.options->intervalMs) * 1000);
    if (++handled % kControlCheckEvery == 0 && controlSaysStop(control)) return 1;
    if (handled % kCollectEventsEvery == 0) run->collectEvents();
  }
  run->collectEvents();
  std::cout.flush();
  sendDone(report, run->stats());
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

std::optional<Worker> startWorker(const WorkerJob& job, std::vector<Worker>& running) {
  kvpool::Pipe control, report;
  if (!control.open() || !report.open()) {
    complain(std::string("cannot start a broker process: pipe failed: ") + std::strerror(errno));
    return std::nullopt;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    complain(std::string("cannot start a broker process: fork failed: ") + std::strerror(errno));
    return std::nullopt;
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
      status = runWorker(job, control.readEnd.get(), report.writeEnd.get());
    } catch (const std::exception& error) {
      complain("broker process " + std::to_string(job.index + 1) + " of flow \"" + job.flow->name +
               "\": " + error.what());
    } catch (...) {
      complain("broker process " + std::to_string(job.index + 1) + " of flow \"" + job.flow->name +
               "\": an unknown exception");
    }
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(status);
  }
  Worker worker;
  worker.flow = job.flow;
  worker.index = job.index;
  worker.pid = pid;
  worker.control = std::move(control.writeEnd);
  worker.report = std::move(report.readEnd);
  return worker;
}

bool collectReports(const std::vector<Worker*>& workers, std::vector<nlohmann::json>& reports,
                    Progress* progress) {
  reports.assign(workers.size(), nlohmann::json());
  std::vector<bool> have(workers.size(), false);
  std::size_t missing = workers.size();
  while (missing > 0) {
    std::vector<pollfd> fds;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < workers.size(); ++i) {
      if (have[i]) continue;
      fds.push_back({workers[i]->report.get(), POLLIN, 0});
      which.push_back(i);
    }
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
        complain("broker process " + std::to_string(worker.index + 1) + " of flow \"" +
                 worker.flow->name + "\" " + how);
        return false;
      }
      worker.pending.append(buffer, static_cast<std::size_t>(n));
      auto report = worker.pending.take();
      if (!report) continue;
      reports[which[k]] = std::move(*report);
      have[which[k]] = true;
      --missing;
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

}  // namespace kvflow
