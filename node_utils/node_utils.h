// Generic helpers for message flow nodes: dotted paths into message trees
// (MessagePaths.h), and failure and message helpers raised through the
// broker, a name/value attribute bag, a growable string buffer and wide-text
// conversions (NodeHelpers.h). None of them traces, keeps state or takes a
// lock: any thread may use them on objects no other thread uses.
#ifndef KVPOOL_NODE_UTILS_NODE_UTILS_H
#define KVPOOL_NODE_UTILS_NODE_UTILS_H

#include "node_utils/MessagePaths.h"
#include "node_utils/NodeHelpers.h"

#endif
