// The node's side of its script: the exported calls hand the context's text,
// statement list and flags to script/, which knows no context.
#include "node/KvPool.h"
#include "node/NodeInternal.h"
#include "script/PoolScript.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace {

using kvpool::kCodePageUtf8;
using kvpool::MallocPtr;

int readFlag(NodeContext* context, const char* name) {
  MallocPtr<CciChar> attributeName(CciString(name, kCodePageUtf8));
  return getBoolAttribute(context, attributeName.get());
}

}  // namespace

void kvpool::releasePoolScriptList(NodeContext* context) {
  releasePoolScript(&context->scriptHead);
}

int processKvPoolscript(NodeContext* context) {
  // A new setting replaces the statements of the earlier one.
  kvpool::releasePoolScriptList(context);
  MallocPtr<CciChar> name(CciString("KvPoolExpression", kCodePageUtf8));
  const auto* script = static_cast<const CciChar*>(getAttributePointer(context, name.get()));
  return kvpool::compilePoolScript(script, &context->scriptHead);
}

int insertKvScript(NodeContext* context, char* statement) {
  return kvpool::appendPoolStatement(&context->scriptHead, statement);
}

int runKvPoolscript(NodeContext* context, CciMessage* inputMessage, CciMessage* exceptionList,
                    CciMessage* destinationList, CciMessage* outputMessage, char** errorText) {
  Log("-->runKvPoolscript\n");
  kvpool::PoolScriptFlags flags;
  flags.elementNotFound = readFlag(context, "messageStoreEltNotFound");
  Log("  iNullShmAllow=%d\n", flags.elementNotFound);
  flags.keyNotFound = readFlag(context, "messageInsertKeyNotFound");
  Log("  iNullEltAllow=%d\n", flags.keyNotFound);
  return kvpool::runPoolScript(context->scriptHead, flags, inputMessage, exceptionList,
                               destinationList, outputMessage, errorText);
}
