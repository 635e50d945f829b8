// The worker processes of a run: each is a broker process, forked by kvflow's
// main process, that loads the plug-in, builds one flow and sends its share
// of that flow's messages, talking with the main process as
// WorkerProtocol.h says. The main process holds each one by a Worker.
#ifndef KVPOOL_TOOLS_KVFLOW_WORKERPROCESS_H
#define KVPOOL_TOOLS_KVFLOW_WORKERPROCESS_H

#include <sys/types.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "support/UniqueFd.h"
#include "tools/kvflow/FlowFile.h"
#include "tools/kvflow/Messages.h"
#include "tools/kvflow/Options.h"
#include "tools/kvflow/Progress.h"
#include "tools/kvflow/WorkerProtocol.h"

namespace kvflow {

// What one worker does: the flow it builds, and as the index-th of its flow's
// workers, every options.processes-th message from the index-th on.
struct WorkerJob {
  const Options* options;
  const FlowFile* file;
  const FlowDef* flow;
  const std::vector<MessageText>* messages;
  int index;
  std::atomic<long>* progress;  // counts the messages it sent
};

// The main process's hold on one worker process.
struct Worker {
  const FlowDef* flow = nullptr;
  int index = 0;             // among the workers of its flow
  pid_t pid = -1;            // -1 once reaped
  kvpool::UniqueFd control;  // main -> worker
  kvpool::UniqueFd report;   // worker -> main
  ReportBuffer pending;      // report bytes not yet a whole line
};

// Forks a worker process for the job; the child runs it and exits, never
// returning from here. The child closes the descriptors of the workers
// started before (`running`), so that only the main process holds their
// pipes. None, with a complaint, when a pipe or the fork cannot be made.
std::optional<Worker> startWorker(const WorkerJob& job, std::vector<Worker>& running);

// Waits for one report from each of the workers, into reports (in their
// order); while it waits, progress (when given) is shown. False, with a
// complaint naming the worker and how it ended, when one closes its report
// pipe first; that worker is reaped.
bool collectReports(const std::vector<Worker*>& workers, std::vector<nlohmann::json>& reports,
                    Progress* progress);

// Closes every control pipe, so that each worker ends (deleting its nodes),
// then reaps them all and closes their report pipes. True when every worker
// exited with status 0.
bool waitForWorkers(std::vector<Worker>& workers);

}  // namespace kvflow

#endif
