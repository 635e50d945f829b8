// The map of the pool's keys across flow files: which flow, node and
// statement writes each key and which read it, warnings for keys read but
// never written (likely a typo) and written but never read, and the same as
// a Graphviz picture. Read from the flow files alone, without the plug-in.
#ifndef KVPOOL_TOOLS_KVFLOW_KEYMAP_H
#define KVPOOL_TOOLS_KVFLOW_KEYMAP_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tools/kvflow/FlowFile.h"

namespace kvflow {

struct KeyUse {
  std::string file;  // the flow file's path; shown only when the map covers several
  std::string flow;
  std::string node;
  int statement = 0;       // counted from 1 in the node's script
  std::string assignment;  // the statement as the node runs it: left=right
  std::string key;         // the key it writes or reads
};

struct KeyUses {
  std::vector<KeyUse> writers;
  std::vector<KeyUse> readers;
};

struct KeyMap {
  std::map<std::string, KeyUses> keys;  // by key, in byte order
  bool severalFiles = false;
  // One line per script the node refuses (its keys are not in the map).
  std::vector<std::string> refusedScripts;
  // One line per warning, naming file, flow, node and statement: keys read
  // but never written (with the written key one or two edits away, if any),
  // keys written but never read, refused scripts.
  std::vector<std::string> warnings() const;
  // The written key nearest to key, at most two byte edits away; empty if none.
  std::string nearestWrittenKey(const std::string& key) const;
};

// Reads the pool keys of every KvPoolNode script in the files, statement by
// statement as the node splits them. Statements that fail on every message
// (no '=', an overlong operand) touch no key and are left out; so are the
// scripts the node refuses, each noted in refusedScripts.
KeyMap buildKeyMap(const std::vector<FlowFile>& files);
// Writes the map as text: each key, then the statements that write and read it.
void printKeyMap(std::ostream& out, const KeyMap& map);
// Writes the flows (clusters of nodes and their wires; the input node drawn
// bold) and the keys as shared places between the nodes that write and read
// them (dashed edges labelled with the statement number; keys with a warning
// filled red), in DOT.
void printKeyGraph(std::ostream& out, const std::vector<FlowFile>& files, const KeyMap& map);

}  // namespace kvflow

#endif
