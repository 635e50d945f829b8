// What kvflow check warns about without failing, read from the flow file
// alone: statements that fail on every message, and wiring loops.
#ifndef KVPOOL_TOOLS_KVFLOW_FLOWCHECKS_H
#define KVPOOL_TOOLS_KVFLOW_FLOWCHECKS_H

#include <string>
#include <vector>

#include "tools/kvflow/FlowFile.h"

namespace kvflow {

// One line per warning, each naming the file, the flow and the node:
//   a statement of a KvPoolNode script the node accepts that fails on every
//   message (no '=', an operand over 255 bytes), with its number and text;
//   a cycle of wires among the nodes of a flow, named node by node
//   ("a.out -> b.in, b.out -> a.in"), which ends each message that enters
//   it in a fatal broker exception unless a node on it stops the message.
std::vector<std::string> flowWarnings(const FlowFile& file);

// The wiring loops of a flow: each one the wires it is made of, in order.
std::vector<std::vector<WireDef>> wiringLoops(const FlowDef& flow);

// A statement for a message: blanks at both ends trimmed, line feeds and
// tabs as blanks, invisible characters shown (VisibleText.h), cut after 100
// characters.
std::string shownStatement(const std::string& written);

}  // namespace kvflow

#endif
