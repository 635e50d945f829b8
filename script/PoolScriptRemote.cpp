// A statement list run against a message and the pool on Redis, its pool
// operations sent together (script/PoolScriptRemote.h tells how).
#include "script/PoolScriptRemote.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "node_utils/MessagePaths.h"
#include "script/PoolStatement.h"
#include "script/StatementValue.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

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

// Sets an element to text that came from the pool, converted as the run on
// shared memory converts a pool value.
void setElementText(CciElement* element, const std::string& text) {
  StatementValue value;
  char* copy = strdup(text.c_str());
  if (copy != nullptr) {
    value.takeText(copy);
  } else {
    value.setEmpty();
  }
  setElementUnits(element, value.units());
}

// The operation whose value a message field awaits. A type of this file, so
// that the table's code stays internal to the plug-in.
struct AwaitedOp {
  int op;
};
using PendingFields = std::unordered_map<CciElement*, AwaitedOp>;

class RemoteRun {
 public:
  RemoteRun(KvPoolBackend& pool, PoolScriptFlags flags, char** errorText)
      : pool_(pool), flags_(flags), errorText_(errorText) {}

  int run(const PoolScriptEntry* head, CciMessage* inputMessage, CciMessage* exceptionList,
          CciMessage* destinationList, CciMessage* outputMessage);

 private:
  // Sends the queued operations and, when they all ran, gives the fields
  // written from them their values. 0, or the result of the statement the
  // server stopped at.
  int send();
  // A message-side failure of the current statement: the operations queued
  // before it run first, and a stop among them comes first.
  int failHere(int result, const char* operand);
  void reportOperand(const char* operand) {
    if (errorText_ != nullptr) *errorText_ = strdup(operand);
  }

  KvPoolBackend& pool_;
  PoolScriptFlags flags_;
  char** errorText_;
  std::vector<RemotePoolOp> ops_;
  // Message fields written from a pool read, by element handle.
  PendingFields pendingFields_;
  std::vector<std::string> answered_;  // the values of the last batch sent
};

int RemoteRun::send() {
  if (ops_.empty()) return SCRIPT_OK;
  const RemoteBatchReply reply = runBackendBatch(pool_, ops_, flags_.keyNotFound == 1);
  Log("  redis batch of %d operations: result %d\n", static_cast<int>(ops_.size()), reply.result);
  std::vector<RemotePoolOp> sent;
  sent.swap(ops_);
  PendingFields fields;
  fields.swap(pendingFields_);
  answered_ = reply.values;
  if (reply.result == KVPOOL_OK && answered_.size() == sent.size()) {
    for (const auto& [element, awaited] : fields) setElementText(element, answered_[awaited.op]);
    return SCRIPT_OK;
  }
  if (reply.result == KVPOOL_KEY_NOT_FOUND && reply.failedOp >= 0 &&
      static_cast<std::size_t>(reply.failedOp) < sent.size()) {
    reportOperand(sent[reply.failedOp].key.c_str());
    return SCRIPT_KEY_NOT_FOUND;
  }
  if (reply.result == KVPOOL_POOL_FULL) return SCRIPT_POOL_FULL;
  reportOperand(reply.error.empty() ? (backendName(pool_) + ": unexpected answer").c_str()
                                    : reply.error.c_str());
  return SCRIPT_POOL_UNAVAILABLE;
}

int RemoteRun::failHere(int result, const char* operand) {
  const int sent = send();
  if (sent != SCRIPT_OK) return sent;
  reportOperand(operand);
  return result;
}

int RemoteRun::run(const PoolScriptEntry* head, CciMessage* inputMessage, CciMessage* exceptionList,
                   CciMessage* destinationList, CciMessage* outputMessage) {
  for (const PoolScriptEntry* entry = head; entry != nullptr; entry = entry->next) {
    Log("  COMMAND ->[%s]\n", entry->statement);
    PoolStatementHolder compiledHere(nullptr, releasePoolStatement);
    const PoolStatement* statement = statementToRun(entry, compiledHere);
    if (statement == nullptr) return failHere(SCRIPT_MALFORMED_STATEMENT, entry->statement);
    if (statement->split.result != 0) {
      return failHere(SCRIPT_MALFORMED_STATEMENT, statement->failingOperand.c_str());
    }
    const CompiledOperand& left = statement->left;
    const CompiledOperand& right = statement->right;

    // The statement's value: known here, or what pool operation op reads.
    StatementValue value;
    int op = -1;
    if (right.kind == OperandKind::kPoolKey) {
      ops_.push_back({RemotePoolOp::Kind::kGet, right.target, {}, -1});
      op = static_cast<int>(ops_.size()) - 1;
    } else {
      CciElement* element =
          rightOperandElement(right, inputMessage, exceptionList, destinationList, outputMessage);
      if (element == nullptr) {
        Log("  runKvPoolscript-element not found\n");
        if (flags_.elementNotFound == 0) return failHere(SCRIPT_ELEMENT_NOT_FOUND, right.target);
        value.setEmpty();
      } else if (const auto pending = pendingFields_.find(element);
                 pending != pendingFields_.end()) {
        op = pending->second.op;
      } else {
        value.readElement(element);
      }
    }

    if (left.kind == OperandKind::kPoolKey) {
      if (op >= 0) {
        ops_.push_back({RemotePoolOp::Kind::kSetFromGet, left.target, {}, op});
      } else {
        ops_.push_back({RemotePoolOp::Kind::kSet, left.target, value.text(), -1});
      }
      continue;
    }
    if (left.kind == OperandKind::kOutputPath) Log("  lOperand Output.. %s\n", left.target);
    if (namesListTree(left) && !ops_.empty()) {
      Log("  lists are written once the pool has answered\n");
      if (const int sent = send(); sent != SCRIPT_OK) return sent;
      if (op >= 0) {
        value.takeText(strdup(answered_[static_cast<std::size_t>(op)].c_str()));
        op = -1;
      }
    }
    CciElement* element =
        addOrGetPathElement(left.path, outputMessage, exceptionList, destinationList);
    if (element == nullptr) {
      Log("  >element is NULL\n");
      return failHere(SCRIPT_CANNOT_CREATE, left.target);
    }
    if (op >= 0) {
      setElementUnits(element, kNoUnits);
      if (auto pending = pendingFields_.find(element); pending != pendingFields_.end()) {
        pending->second.op = op;
      } else {
        pendingFields_.emplace(element, AwaitedOp{op});
      }
    } else {
      setElementUnits(element, value.units());
      pendingFields_.erase(element);
    }
  }
  return send();
}

}  // namespace

int runPoolScriptRemote(KvPoolBackend& pool, const PoolScriptEntry* head, PoolScriptFlags flags,
                        CciMessage* inputMessage, CciMessage* exceptionList,
                        CciMessage* destinationList, CciMessage* outputMessage, char** errorText) {
  RemoteRun run(pool, flags, errorText);
  return run.run(head, inputMessage, exceptionList, destinationList, outputMessage);
}

}  // namespace kvpool
