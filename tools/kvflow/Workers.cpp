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
//   {"kind": "released", "events": [...]}   told kRelease (after done, or
//                                           instead of kGo): its nodes are
//                                           deleted, with the events that logged
// A pipe that closes counts as kAbort to the worker and as a dead worker to
// the main process.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

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

// Deletes the nodes while the main process listens, and reports what that
// logged: the machine's last node saves a persistent pool then, or says why
// it did not.
int releaseNodes(kvbroker::Broker& broker, int report) {
  broker.clearEvents();  // the run's own were reported with its stats
  broker.deleteNodes();
  nlohmann::json events = nlohmann::json::array();
  for (const kvbroker::EventRecord& event : broker.events()) {
    events.push_back({{"number", event.messageNumber},
                      {"text", visibleText(kvbroker::formatEvent(event))},
                      {"insert", event.inserts.empty() ? "" : event.inserts.front()}});
  }
  sendReport(report, {{"kind", "released"}, {"events", events}});
  return 0;
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
  const char word = readControl(control);
  if (word == kRelease) return releaseNodes(broker, report);
  if (word != kGo) return 0;

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
  sendReport(report, {{"kind", "done"}, {"stats", run->stats().toJson()}});
  // Anything but release: the main process is gone or gave up, and the
  // broker's end deletes the nodes unheard.
  return readControl(control) == kRelease ? releaseNodes(broker, report) : 0;
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
      complain(worker.name() + ": " + error.what());
    } catch (...) {
      complain(worker.name() + ": an unknown exception");
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

}  // namespace kvflow
