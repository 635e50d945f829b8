// kvflow run: builds the flows of a flow file in broker processes and sends
// the messages through them.
//
// How a run is organised. kvflow's main process never loads the plug-in: it
// reads and checks the flow file and every message, then starts the broker
// processes ("workers"), N for each flow of the file, one after the other:
// each loads the plug-in, builds its flow and reports back before the next
// starts. Only when every worker has built its flow does any message move, so
// a refused script or a missing plug-in in any of them stops the run before
// the first message. The flows then run one after the other, in file order
// (all workers of a flow split its messages), while the workers of every flow
// keep their node contexts: the pool lives as long as one node context
// exists, so what the first flow stores is there for the second. After the
// last message, --then runs with the pool still held; then every worker
// deletes its nodes and the last one removes the pool. A broker exception
// out of a flow breaks the run off: the worker that met it sends no more,
// the flows after it and --then do not run, and the status is 2.
#ifndef KVPOOL_TOOLS_KVFLOW_RUNCOMMAND_H
#define KVPOOL_TOOLS_KVFLOW_RUNCOMMAND_H

#include "tools/kvflow/Options.h"

namespace kvflow {

// Runs the flow file as the options say and prints the summary; the exit
// status (Options.h).
int runFlowFile(const Options& options);

}  // namespace kvflow

#endif
