// The conversation between kvflow's main process and one worker process, over
// two pipes. Control, main process to worker: single bytes. Reports, worker
// to main process: one JSON object per line, in this order:
//   {"kind": "problems", "problems": [...]}  the flow could not be built; the
//                                           worker waits for any word and ends
//   {"kind": "built"}                       built; it sends once told kGo
//   {"kind": "done", "stats": {...}}        every message of its share sent;
//                                           it deletes its nodes once told
//                                           kRelease
// A pipe that closes counts as kAbort to the worker and as a dead worker to
// the main process.
#ifndef KVPOOL_TOOLS_KVFLOW_WORKERPROTOCOL_H
#define KVPOOL_TOOLS_KVFLOW_WORKERPROTOCOL_H

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/kvflow/FlowRun.h"

namespace kvflow {

// Control bytes.
inline constexpr char kGo = 'G';
inline constexpr char kAbort = 'A';
inline constexpr char kRelease = 'R';

// ---- main process side

// Sends a control byte; a worker that is gone is not an error here (its
// report pipe tells).
void sendControl(int fd, char byte);

// Gathers the bytes of a worker's report pipe into whole reports.
class ReportBuffer {
 public:
  void append(const char* bytes, std::size_t count) { pending_.append(bytes, count); }
  // The first whole report, taken out of the buffer; none while its line is
  // incomplete.
  std::optional<nlohmann::json> take();

 private:
  std::string pending_;
};

// The problems a report names; empty unless it is a "problems" report.
std::vector<std::string> reportedProblems(const nlohmann::json& report);
// The statistics of a "done" report.
RunStats reportedStats(const nlohmann::json& report);

// ---- worker side

// The next control byte, waiting for it; 0 when the main process is gone.
char readControl(int fd);
// True when the main process has gone or asked to stop; never waits.
bool controlSaysStop(int fd);

void sendProblems(int fd, const std::vector<std::string>& problems);
void sendBuilt(int fd);
void sendDone(int fd, const RunStats& stats);

}  // namespace kvflow

#endif
