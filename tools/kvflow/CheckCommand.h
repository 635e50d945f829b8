// kvflow check: creates and configures a flow file's nodes, in kvflow's own
// process, without sending a message.
#ifndef KVPOOL_TOOLS_KVFLOW_CHECKCOMMAND_H
#define KVPOOL_TOOLS_KVFLOW_CHECKCOMMAND_H

#include "tools/kvflow/Options.h"

namespace kvflow {

// Complains about every problem of the flows, their nodes and their listed
// messages, or prints one OK line; the exit status (Options.h).
int checkFlowFile(const Options& options);

}  // namespace kvflow

#endif
