// Internals shared by the node sources; nothing here is exported.
#ifndef KVPOOL_NODE_NODEINTERNAL_H
#define KVPOOL_NODE_NODEINTERNAL_H

#include "node/KvPool.h"
#include "support/MallocPtr.h"

namespace kvpool {

// Function-name texts of the broker events of the entry and of evaluate.
extern const char* const constFnGetFactory;  // "vtrGetMessageflowNodeFactory()"
extern const char* const constFnEvaluate;    // "evaluate()"

// The first attribute of the table with that name, or null.
AttrTblEntry* findAttribute(NodeContext* context, const CciChar* name);

// Makes label (malloc'd, handed over) the trace prefix of the process. The
// label it replaces stays valid until the library is unloaded.
void setTraceLabel(char* label);

// A boolean attribute's value as getBoolAttribute gives it: 1 set, 0 clear,
// -1 no such attribute or not a boolean. Traces nothing.
int flagValue(const AttrTblEntry* entry);

// Keeps the two flags of the script's runs in the context, read from its
// attributes as they stand.
void storeScriptFlags(NodeContext* context);

}  // namespace kvpool

#endif
