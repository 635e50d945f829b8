// Execution of the statement list against a message, its output copy, the
// two list trees and the pool.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "node_utils/MessagePaths.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolSession.h"
#include "script/PoolScript.h"
#include "script/PoolStatement.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"
#include "support/Trace.h"

namespace {

using kvpool::CompiledOperand;
using kvpool::OperandKind;
using kvpool::StatementValue;

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

namespace kvpool {
namespace {

constexpr CciChar kNoUnits[1] = {0};

// These two trees belong to the broker's call and keep what a failing
// message wrote to them.
bool namesListTree(const CompiledOperand& operand) {
  return operand.kind != OperandKind::kPoolKey &&
         (operand.path.root() == PathRoot::kExceptionList ||
          operand.path.root() == PathRoot::kDestinationList);
}

void setElementUnits(CciElement* element, const CciChar* units) {
  int rc = 0;
  Log("  data [%S]\n", units);
  cniSetElementCharacterValue(&rc, element, units, CciCharLen(units));
}

// A value that came from the pool after the statement that read it; the
// empty text when memory runs out.
void takeAnswer(StatementValue& value, const std::string& text) {
  if (char* copy = strdup(text.c_str()); copy != nullptr) {
    value.takeText(copy);
  } else {
    value.setEmpty();
  }
}

// Sets an element to text that came from the pool, converted as a value read
// at once is converted.
void setElementText(CciElement* element, const std::string& text) {
  StatementValue value;
  takeAnswer(value, text);
  setElementUnits(element, value.units());
}

// The messages a run reads and writes.
struct RunMessages {
  CciMessage* input;
  CciMessage* exceptionList;
  CciMessage* destinationList;
  CciMessage* output;
};

// The pending read a message field awaits. A type of this file keeps the
// table's code internal: one of standard types and handles alone would be
// exported in a build without inlining.
struct AwaitedRead {
  int read;
};
using PendingFields = std::unordered_map<CciElement*, AwaitedRead>;

class ScriptRun {
 public:
  ScriptRun(PoolSession& pool, PoolScriptFlags flags, const RunMessages& messages, char** errorText)
      : pool_(pool), flags_(flags), messages_(messages), errorText_(errorText) {}

  int run(const PoolScriptEntry* head);

 private:
  // The right operand's value into value, or into *pending for a pool read
  // still to come. 0, or the statement's result.
  int readRight(const CompiledOperand& right, StatementValue& value, int* pending);
  int writeLeft(const CompiledOperand& left, StatementValue& value, int pending);
  // Finishes the session and gives the fields written from its reads their
  // values. 0, or the result of the operation the pool stopped at.
  int finish();
  // A failure of the current statement: the pool operations before it run
  // first, and a stop among them comes first.
  int failHere(int result, const char* operand);
  // A pool failure names what its reason names: on 8 only a batch names
  // the refused key (shared memory's store names none).
  int failWith(const PoolOutcome& outcome) {
    if (!outcome.reason.empty()) reportOperand(outcome.reason.c_str());
    return outcome.result;
  }
  void reportOperand(const char* operand) {
    if (errorText_ != nullptr) *errorText_ = strdup(operand);
  }

  PoolSession& pool_;
  PoolScriptFlags flags_;
  RunMessages messages_;
  char** errorText_;
  // Message fields written from a pending read: the read, by element handle.
  PendingFields pendingFields_;
};

int ScriptRun::finish() {
  if (!pool_.queued()) return SCRIPT_OK;
  PendingFields fields;
  fields.swap(pendingFields_);
  const PoolOutcome outcome = pool_.finish();
  if (outcome.result != KVPOOL_OK) return failWith(outcome);
  for (const auto& [element, awaited] : fields) {
    setElementText(element, pool_.answered(awaited.read));
  }
  return SCRIPT_OK;
}

int ScriptRun::failHere(int result, const char* operand) {
  if (const int finished = finish(); finished != SCRIPT_OK) return finished;
  reportOperand(operand);
  return result;
}

int ScriptRun::readRight(const CompiledOperand& right, StatementValue& value, int* pending) {
  if (right.kind == OperandKind::kPoolKey) {
    PoolRead read = pool_.get(right.target);
    if (read.pending >= 0) {
      *pending = read.pending;
    } else if (read.outcome.result == KVPOOL_OK) {
      value.takeText(read.value.release());
    } else if (read.outcome.result == KVPOOL_KEY_NOT_FOUND) {
      if (flags_.keyNotFound != 1) return failHere(SCRIPT_KEY_NOT_FOUND, right.text);
      value.setEmpty();
    } else {
      // No flag lets an unavailable pool pass for a missing key.
      return failWith(read.outcome);
    }
    return SCRIPT_OK;
  }
  const bool output = right.kind == OperandKind::kOutputPath;
  if (output) Log("  Output.. %s\n", right.target);
  CciElement* element = getPathValue(right.path, output ? messages_.output : messages_.input,
                                     messages_.exceptionList, messages_.destinationList);
  if (element == nullptr) {
    Log("  runKvPoolscript-element not found\n");
    if (flags_.elementNotFound == 0) return failHere(SCRIPT_ELEMENT_NOT_FOUND, right.target);
    value.setEmpty();
    return SCRIPT_OK;
  }
  if (!pendingFields_.empty()) {
    if (const auto field = pendingFields_.find(element); field != pendingFields_.end()) {
      *pending = field->second.read;
      return SCRIPT_OK;
    }
  }
  value.readElement(element);
  return SCRIPT_OK;
}

int ScriptRun::writeLeft(const CompiledOperand& left, StatementValue& value, int pending) {
  if (left.kind == OperandKind::kPoolKey) {
    const PoolOutcome stored = pending >= 0 ? pool_.storeRead(left.target, pending)
                                            : pool_.store(left.target, value.text());
    return stored.result == KVPOOL_OK ? SCRIPT_OK : failWith(stored);
  }
  if (left.kind == OperandKind::kOutputPath) Log("  lOperand Output.. %s\n", left.target);
  // A list change must not run while pool operations before it are unanswered.
  if (namesListTree(left) && pool_.queued()) {
    Log("  lists are written once the pool has answered\n");
    if (const int finished = finish(); finished != SCRIPT_OK) return finished;
    if (pending >= 0) {
      takeAnswer(value, pool_.answered(pending));
      pending = -1;
    }
  }
  CciElement* element = addOrGetPathElement(left.path, messages_.output, messages_.exceptionList,
                                            messages_.destinationList);
  if (element == nullptr) {
    Log("  >element is NULL\n");
    return failHere(SCRIPT_CANNOT_CREATE, left.target);
  }
  if (pending >= 0) {
    setElementUnits(element, kNoUnits);
    // emplace, not operator[]: its piecewise construction would export a
    // name of the C++ library's.
    const auto [field, added] = pendingFields_.emplace(element, AwaitedRead{pending});
    if (!added) field->second.read = pending;
    return SCRIPT_OK;
  }
  setElementUnits(element, value.units());
  if (!pendingFields_.empty()) pendingFields_.erase(element);
  Log("  going to free the ev !!\n");
  return SCRIPT_OK;
}

int ScriptRun::run(const PoolScriptEntry* head) {
  for (const PoolScriptEntry* entry = head; entry != nullptr; entry = entry->next) {
    Log("  COMMAND ->[%s]\n", entry->statement);
    PoolStatementHolder compiledHere(nullptr, releasePoolStatement);
    const PoolStatement* statement = statementToRun(entry, compiledHere);
    if (statement == nullptr) return failHere(SCRIPT_MALFORMED_STATEMENT, entry->statement);
    const CompiledOperand& left = statement->left;
    const CompiledOperand& right = statement->right;
    if (traceSplit(statement->split, left.text, right.text) != 0) {
      return failHere(SCRIPT_MALFORMED_STATEMENT, statement->failingOperand.c_str());
    }
    // The value belongs to this statement and goes with it on every path.
    StatementValue value;
    int pending = -1;
    if (const int read = readRight(right, value, &pending); read != SCRIPT_OK) return read;
    if (const int written = writeLeft(left, value, pending); written != SCRIPT_OK) return written;
  }
  return finish();
}

}  // namespace
}  // namespace kvpool

int kvpool::runPoolScript(const PoolScriptEntry* head, PoolScriptFlags flags,
                          CciMessage* inputMessage, CciMessage* exceptionList,
                          CciMessage* destinationList, CciMessage* outputMessage,
                          char** errorText) {
  MessagePoolSession session(flags.keyNotFound == 1);
  ScriptRun run(session.session(), flags,
                {inputMessage, exceptionList, destinationList, outputMessage}, errorText);
  return run.run(head);
}
