// Internals shared by the node sources; nothing here is exported.
#ifndef KVPOOL_NODE_NODEINTERNAL_H
#define KVPOOL_NODE_NODEINTERNAL_H

#include "node/KvPool.h"
#include "support/MallocPtr.h"

namespace kvpool {

// Function-name texts of the broker events of the entry and of evaluate.
inline constexpr const char* constFnGetFactory = "vtrGetMessageflowNodeFactory()";
inline constexpr const char* constFnEvaluate = "evaluate()";

// The first attribute of the table with that name, or null.
AttrTblEntry* findAttribute(NodeContext* context, const CciChar* name);

// Makes label (malloc'd, handed over) the process's trace prefix; the one it
// replaces stays valid until the library is unloaded.
void setTraceLabel(char* label);

// getBoolAttribute's answer for the entry, without tracing.
int flagValue(const AttrTblEntry* entry);

// Keeps the script's two flags in the context, as the attributes stand.
void storeScriptFlags(NodeContext* context);

}  // namespace kvpool

#endif
