// Execution of the statement list against a message, its output copy, the
// two list trees and the pool.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "node_utils/MessagePaths.h"
#include "pool/KvPoolShm.h"
#include "script/PoolScript.h"
#include "script/PoolScriptRemote.h"
#include "script/PoolStatement.h"
#include "script/StatementValue.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"
#include "support/Trace.h"

namespace {

using kvpool::CompiledOperand;
using kvpool::OperandKind;
using kvpool::StatementValue;

// Hands a copy of the failing operand to the caller.
int fail(int result, const char* operand, char** errorText) {
  if (errorText != nullptr) *errorText = strdup(operand);
  return result;
}

// The trace of a statement's split, the same for a compiled statement as for
// getOperandsOfPoolScript.
int traceSplit(const kvpool::StatementSplit& split, const char* left, const char* right) {
  Log("-->getOperandsOfPoolScript\n");
  if (split.result != 0) {
    Log(split.noEquals ? "  >getOperandsOfPoolScript: no '=' in statement\n"
                       : "  >getOperandsOfPoolScript: operand longer than 255 bytes\n");
    return split.result;
  }
  Log("  l=[%s],r=[%s]\n", left, right);
  return 0;
}

}  // namespace

int getOperandsOfPoolScript(const char* assignment, char* left, char* right) {
  left[0] = '\0';
  right[0] = '\0';
  const kvpool::StatementSplit split = kvpool::splitStatement(assignment);
  if (split.result == 0) {
    std::memcpy(left, assignment, split.leftBytes);
    left[split.leftBytes] = '\0';
    std::memcpy(right, assignment + split.leftBytes + 1, split.rightBytes + 1);
  }
  return traceSplit(split, left, right);
}

int kvpool::runPoolScript(const PoolScriptEntry* head, PoolScriptFlags flags,
                          CciMessage* inputMessage, CciMessage* exceptionList,
                          CciMessage* destinationList, CciMessage* outputMessage,
                          char** errorText) {
  if (KvPoolBackend* remote = processPoolBackend(); remote != sharedMemoryBackend()) {
    return runPoolScriptRemote(*remote, head, flags, inputMessage, exceptionList, destinationList,
                               outputMessage, errorText);
  }
  int rc = 0;
  PoolBlockRequest request{};
  for (const PoolScriptEntry* entry = head; entry != nullptr; entry = entry->next) {
    Log("  COMMAND ->[%s]\n", entry->statement);
    PoolStatementHolder compiledHere(nullptr, releasePoolStatement);
    const PoolStatement* statement = statementToRun(entry, compiledHere);
    if (statement == nullptr) return fail(SCRIPT_MALFORMED_STATEMENT, entry->statement, errorText);
    const CompiledOperand& left = statement->left;
    const CompiledOperand& right = statement->right;
    if (traceSplit(statement->split, left.text, right.text) != 0) {
      return fail(SCRIPT_MALFORMED_STATEMENT, statement->failingOperand.c_str(), errorText);
    }

    // The value belongs to this statement and goes with it on every path.
    StatementValue value;
    if (right.kind == OperandKind::kPoolKey) {
      request.value = nullptr;  // never a value read by an earlier statement
      const int found = getKvPoolDataBlock(&request, right.target);
      // No flag lets an unavailable pool pass for a missing key.
      if (found == KVPOOL_POOL_UNAVAILABLE) {
        return fail(SCRIPT_POOL_UNAVAILABLE, getKvPoolUnavailableText(), errorText);
      }
      char* poolValue = found == 0 ? request.value : nullptr;
      request.value = nullptr;
      if (poolValue != nullptr) {
        value.takeText(poolValue);
      } else {
        if (flags.keyNotFound != 1) return fail(SCRIPT_KEY_NOT_FOUND, right.text, errorText);
        value.setEmpty();
      }
    } else {
      CciElement* element =
          rightOperandElement(right, inputMessage, exceptionList, destinationList, outputMessage);
      if (element != nullptr) {
        value.readElement(element);
      } else {
        Log("  runKvPoolscript-element not found\n");
        if (flags.elementNotFound == 0) {
          return fail(SCRIPT_ELEMENT_NOT_FOUND, right.target, errorText);
        }
        value.setEmpty();
      }
    }

    if (left.kind == OperandKind::kPoolKey) {
      request.key = const_cast<char*>(left.target);
      request.value = const_cast<char*>(value.text());
      const int stored = storeKvPoolDataBlock(&request);
      request.key = nullptr;
      request.value = nullptr;
      if (stored == KVPOOL_POOL_UNAVAILABLE) {
        return fail(SCRIPT_POOL_UNAVAILABLE, getKvPoolUnavailableText(), errorText);
      }
      if (stored != 0) return stored;
      continue;
    }
    if (left.kind == OperandKind::kOutputPath) Log("  lOperand Output.. %s\n", left.target);
    CciElement* element =
        addOrGetPathElement(left.path, outputMessage, exceptionList, destinationList);
    if (element == nullptr) {
      Log("  >element is NULL\n");
      return fail(SCRIPT_CANNOT_CREATE, left.target, errorText);
    }
    const CciChar* text = value.units();
    Log("  data [%S]\n", text);
    cniSetElementCharacterValue(&rc, element, text, CciCharLen(text));
    Log("  going to free the ev !!\n");
  }
  return SCRIPT_OK;
}
