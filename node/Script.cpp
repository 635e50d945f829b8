// The node's side of its script: the context's text, list and flags go to script/.
#include <cstddef>

#include "node/KvPool.h"
#include "node/NodeInternal.h"
#include "script/PoolScript.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace {

using kvpool::kCodePageUtf8;
using kvpool::MallocPtr;

// An ASCII name as UTF-16 units, made when the library is built.
template <std::size_t N>
struct UnitName {
  constexpr explicit UnitName(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) units[i] = static_cast<CciChar>(text[i]);
  }
  CciChar units[N]{};
};

constexpr UnitName kStoreEltNotFound("messageStoreEltNotFound");
constexpr UnitName kInsertKeyNotFound("messageInsertKeyNotFound");

}  // namespace

int kvpool::flagValue(const AttrTblEntry* entry) {
  if (entry == nullptr || entry->attrType != ATTR_TYPE_BOOLEAN) return -1;
  return *static_cast<const int32_t*>(entry->valueBuffer) != 0 ? 1 : 0;
}

void kvpool::storeScriptFlags(NodeContext* context) {
  context->storeEltNotFound = flagValue(findAttribute(context, kStoreEltNotFound.units));
  context->insertKeyNotFound = flagValue(findAttribute(context, kInsertKeyNotFound.units));
}

int processKvPoolscript(NodeContext* context) {
  // A new setting replaces the statements of the earlier one.
  kvpool::releasePoolScript(&context->scriptHead);
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
  Log("  iNullShmAllow=%d\n", context->storeEltNotFound);
  Log("  iNullEltAllow=%d\n", context->insertKeyNotFound);
  return kvpool::runPoolScript(
      context->scriptHead, {context->storeEltNotFound, context->insertKeyNotFound}, inputMessage,
      exceptionList, destinationList, outputMessage, errorText);
}
