// The map of the pool's keys across flow files: which flow, node and
// statement writes each key and which read it, warnings for keys read but
// never written (likely a typo) and written but never read, and the same as
// a Graphviz picture.
#ifndef KVPOOL_TOOLS_KVFLOW_KEYMAP_H
#define KVPOOL_TOOLS_KVFLOW_KEYMAP_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tools/kvflow/FlowFile.h"

namespace kvflow {

struct KeyUse {
  std::string flow;
  std::string node;
  int statement = 0;       // counted from 1 in the node's script
  std::string assignment;  // the statement as the node runs it: left=right
};

struct KeyUses {
  std::vector<KeyUse> writers;
  std::vector<KeyUse> readers;
};

struct KeyMap {
  std::map<std::string, KeyUses> keys;  // by key, in byte order
  int warnings() const;
};

// Reads the pool keys of every KvPoolNode script in the files. Statements are
// split as the node splits them; ones the node would refuse are passed over.
KeyMap buildKeyMap(const std::vector<FlowFile>& files);
// Writes the map and its warnings as text.
void printKeyMap(std::ostream& out, const KeyMap& map);
// Writes the flows (clusters of nodes and their wires) and the keys as
// shared places between the nodes that write and read them, in DOT.
void printKeyGraph(std::ostream& out, const std::vector<FlowFile>& files, const KeyMap& map);

}  // namespace kvflow

#endif
