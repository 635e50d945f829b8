// kvflow keys and kvflow graph: the pool keys that the flow files' scripts
// write and read, as a list with warnings or as a Graphviz picture. Read from
// the files alone; no plug-in is loaded and no pool is touched.
#ifndef KVPOOL_TOOLS_KVFLOW_KEYSCOMMAND_H
#define KVPOOL_TOOLS_KVFLOW_KEYSCOMMAND_H

#include "tools/kvflow/Options.h"

namespace kvflow {

// Exit status of keys and graph: 0 done (warnings are shown, and are not a
// failure unless --strict); 1 keys --strict found a warning; 2 a flow file
// could not be read, or a bad command line.
inline constexpr int kExitKeysWarned = 1;
inline constexpr int kExitKeysBadInput = 2;

// Prints every key with its writers and readers on standard output, and one
// "kvflow: warning: ..." line per warning on standard error.
int keysCommand(const Options& options);
// Prints the DOT text on standard output.
int graphCommand(const Options& options);

}  // namespace kvflow

#endif
