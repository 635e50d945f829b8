// Control bytes and line reports between kvflow's main process and a worker.
#include "tools/kvflow/WorkerProtocol.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "support/FileIo.h"
#include "tools/kvflow/Summary.h"

namespace kvflow {
namespace {

using kvpool::writeAll;

void sendReport(int fd, const nlohmann::json& report) {
  writeAll(fd, report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace

void sendControl(int fd, char byte) {
  writeAll(fd, std::string(1, byte));
}

std::optional<nlohmann::json> ReportBuffer::take() {
  const auto newline = pending_.find('\n');
  if (newline == std::string::npos) return std::nullopt;
  auto report = nlohmann::json::parse(pending_.substr(0, newline));
  pending_.erase(0, newline + 1);
  return report;
}

std::vector<std::string> reportedProblems(const nlohmann::json& report) {
  std::vector<std::string> problems;
  if (report.value("kind", "") != "problems") return problems;
  for (const auto& problem : report["problems"]) problems.push_back(problem.get<std::string>());
  return problems;
}

RunStats reportedStats(const nlohmann::json& report) {
  return statsFromJson(report["stats"]);
}

char readControl(int fd) {
  char byte = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 ? byte : 0;
  }
}

bool controlSaysStop(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  const char byte = readControl(fd);
  return byte == 0 || byte == kAbort;
}

void sendProblems(int fd, const std::vector<std::string>& problems) {
  sendReport(fd, {{"kind", "problems"}, {"problems", problems}});
}

void sendBuilt(int fd) {
  sendReport(fd, {{"kind", "built"}});
}

void sendDone(int fd, const RunStats& stats) {
  sendReport(fd, {{"kind", "done"}, {"stats", statsToJson(stats)}});
}

}  // namespace kvflow
