// The node's side of its script: the context's text, list and flags go to script/.
#include <string.h>

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

// A compile that ran out of memory answers as one that did: 1, with the
// statements before it.
int processKvPoolscript(NodeContext* context) {
  return kvpool::answerEntry("processKvPoolscript", 1, [&] {
    // A new setting replaces the statements of the earlier one.
    kvpool::releasePoolScript(&context->scriptHead);
    MallocPtr<CciChar> name(CciString("KvPoolExpression", kCodePageUtf8));
    const auto* script = static_cast<const CciChar*>(getAttributePointer(context, name.get()));
    return kvpool::compilePoolScript(script, &context->scriptHead);
  });
}

int insertKvScript(NodeContext* context, char* statement) {
  return kvpool::answerEntry("insertKvScript", 1, [&] {
    return kvpool::appendPoolStatement(&context->scriptHead, statement);
  });
}

// A run cut short by an exception of its own fails with 5 and the reason as
// its failing text; the operations before it stay done.
int runKvPoolscript(NodeContext* context, CciMessage* inputMessage, CciMessage* exceptionList,
                    CciMessage* destinationList, CciMessage* outputMessage, char** errorText) {
  return kvpool::guardEntry(
      [&] {
        Log("-->runKvPoolscript\n");
        Log("  iNullShmAllow=%d\n", context->storeEltNotFound);
        Log("  iNullEltAllow=%d\n", context->insertKeyNotFound);
        return kvpool::runPoolScript(
            context->scriptHead, {context->storeEltNotFound, context->insertKeyNotFound},
            inputMessage, exceptionList, destinationList, outputMessage, errorText);
      },
      [&](const char* reason) {
        Log("  >runKvPoolscript: %s\n", reason);
        if (errorText != nullptr) *errorText = strdup(reason);
        return static_cast<int>(SCRIPT_POOL_UNAVAILABLE);
      });
}
