// kvflow's closing summary, and the statistics' wire form between a worker
// process and kvflow's main process.
#ifndef KVPOOL_TOOLS_KVFLOW_SUMMARY_H
#define KVPOOL_TOOLS_KVFLOW_SUMMARY_H

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tools/kvflow/FlowRun.h"

namespace kvflow {

struct SummaryInput {
  std::vector<std::pair<std::string, long>> readPerFlow;  // flow -> messages read
  int processesPerFlow = 1;
  int repeat = 1;
  RunStats stats;
  double seconds = 0;  // from the first message sent to the last one done
};

// Several lines; the last one (throughput) is the only one that changes
// from run to run.
std::string formatSummary(const SummaryInput& input);

nlohmann::json statsToJson(const RunStats& stats);
RunStats statsFromJson(const nlohmann::json& json);

}  // namespace kvflow

#endif
