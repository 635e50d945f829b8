// Execution of the statement list against a message, its output copy, the
// two list trees and the pool.
#include <cstdlib>
#include <cstring>

#include "node_utils/MessagePaths.h"
#include "pool/KvPoolShm.h"
#include "script/PoolScript.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"
#include "support/Trace.h"

namespace {

using kvpool::kCodePageUtf8;
using kvpool::MallocPtr;

constexpr std::size_t kOperandBytes = 256;
// Capacity of the first read of an element value.
constexpr int kFirstReadCapacity = 256;

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

MallocPtr<char> copyText(const char* text) {
  return MallocPtr<char>(strdup(text));
}

// Hands a copy of the failing operand to the caller.
int fail(int result, const char* operand, char** errorText) {
  if (errorText != nullptr) *errorText = strdup(operand);
  return result;
}

// The operand that keeps a statement from being split into the buffers: the
// whole text when it has no '=', else whichever side is too long.
MallocPtr<char> unsplittableOperand(const char* assignment) {
  const int equals = CharIndexOf(assignment, '=', 1);
  if (equals < 0 || static_cast<std::size_t>(equals) >= kOperandBytes) {
    return MallocPtr<char>(equals < 0 ? strdup(assignment) : strndup(assignment, equals));
  }
  return copyText(assignment + equals + 1);
}

// The element's whole character value as UTF-8. A first read takes up to 256
// units; a longer value reports its length and is read again with a buffer
// for all of it (the broker writes the terminator just past the capacity).
MallocPtr<char> readElementValue(CciElement* element) {
  int rc = 0;
  MallocPtr<CciChar> buffer(
      static_cast<CciChar*>(std::calloc(kFirstReadCapacity + 1, sizeof(CciChar))));
  if (!buffer) return copyText("");
  const int length = cniElementCharacterValue(&rc, element, buffer.get(), kFirstReadCapacity);
  if (length > kFirstReadCapacity) {
    buffer.reset(
        static_cast<CciChar*>(std::calloc(static_cast<std::size_t>(length) + 1, sizeof(CciChar))));
    if (!buffer) return copyText("");
    cniElementCharacterValue(&rc, element, buffer.get(), length);
  }
  Log("  cniElementCharacterValue [%S]\n", buffer.get());
  return MallocPtr<char>(mbString(buffer.get(), kCodePageUtf8));
}

}  // namespace

int getOperandsOfPoolScript(const char* assignment, char* left, char* right) {
  Log("-->getOperandsOfPoolScript\n");
  left[0] = '\0';
  right[0] = '\0';
  const int equals = CharIndexOf(assignment, '=', 1);
  if (equals < 0) {
    Log("  >getOperandsOfPoolScript: no '=' in statement\n");
    return SCRIPT_MALFORMED_STATEMENT;
  }
  const std::size_t leftBytes = static_cast<std::size_t>(equals);
  const std::size_t rightBytes = std::strlen(assignment + equals + 1);
  if (leftBytes >= kOperandBytes || rightBytes >= kOperandBytes) {
    Log("  >getOperandsOfPoolScript: operand longer than 255 bytes\n");
    return SCRIPT_MALFORMED_STATEMENT;
  }
  std::memcpy(left, assignment, leftBytes);
  left[leftBytes] = '\0';
  std::memcpy(right, assignment + equals + 1, rightBytes + 1);
  Log("  l=[%s],r=[%s]\n", left, right);
  return 0;
}

int kvpool::runPoolScript(const PoolScriptEntry* head, PoolScriptFlags flags,
                          CciMessage* inputMessage, CciMessage* exceptionList,
                          CciMessage* destinationList, CciMessage* outputMessage,
                          char** errorText) {
  int rc = 0;
  PoolBlockRequest request{};
  char left[kOperandBytes];
  char right[kOperandBytes];
  for (const PoolScriptEntry* entry = head; entry != nullptr; entry = entry->next) {
    Log("  COMMAND ->[%s]\n", entry->statement);
    if (getOperandsOfPoolScript(entry->statement, left, right) != 0) {
      MallocPtr<char> operand = unsplittableOperand(entry->statement);
      if (errorText != nullptr) *errorText = operand.release();
      return SCRIPT_MALFORMED_STATEMENT;
    }

    // The value text belongs to this statement and goes with it on every path.
    MallocPtr<char> value;
    if (startsWith(right, "KvPool")) {
      request.value = nullptr;  // never a value read by an earlier statement
      const int found = getKvPoolDataBlock(&request, right);
      // No flag lets an unavailable pool pass for a missing key.
      if (found == KVPOOL_POOL_UNAVAILABLE) {
        return fail(SCRIPT_POOL_UNAVAILABLE, getKvPoolUnavailableText(), errorText);
      }
      value.reset(found == 0 ? request.value : nullptr);
      request.value = nullptr;
      if (!value) {
        if (flags.keyNotFound != 1) return fail(SCRIPT_KEY_NOT_FOUND, right, errorText);
        value = copyText("");
      }
    } else {
      const char* path = right;
      CciElement* element;
      if (startsWith(right, "Output")) {
        path += 6;
        Log("  Output.. %s\n", path);
        element = NodeGetValue(path, outputMessage, exceptionList, destinationList);
      } else {
        if (startsWith(right, "Input")) path += 5;
        element = NodeGetValue(path, inputMessage, exceptionList, destinationList);
      }
      if (element != nullptr) {
        value = readElementValue(element);
      } else {
        Log("  runKvPoolscript-element not found\n");
        if (flags.elementNotFound == 0) return fail(SCRIPT_ELEMENT_NOT_FOUND, path, errorText);
        value = copyText("");
      }
    }
    const char* valueText = value ? value.get() : "";

    if (startsWith(left, "KvPool")) {
      request.key = left;
      request.value = const_cast<char*>(valueText);
      const int stored = storeKvPoolDataBlock(&request);
      request.key = nullptr;
      request.value = nullptr;
      if (stored == KVPOOL_POOL_UNAVAILABLE) {
        return fail(SCRIPT_POOL_UNAVAILABLE, getKvPoolUnavailableText(), errorText);
      }
      if (stored != 0) return stored;
      continue;
    }
    const char* path = left;
    if (startsWith(left, "Output")) {
      path += 6;
      Log("  lOperand Output.. %s\n", path);
    }
    CciElement* element = NodeAddOrGetElement(path, outputMessage, exceptionList, destinationList);
    if (element == nullptr) {
      Log("  >element is NULL\n");
      return fail(SCRIPT_CANNOT_CREATE, path, errorText);
    }
    MallocPtr<CciChar> text(CciString(valueText, kCodePageUtf8));
    Log("  data [%S]\n", text.get());
    cniSetElementCharacterValue(&rc, element, text.get(), CciCharLen(text.get()));
    Log("  going to free the ev !!\n");
  }
  return SCRIPT_OK;
}
