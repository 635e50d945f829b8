// A statement list run against a message and the pool on Redis, its pool
// operations sent together (script/PoolScriptRemote.h tells how).
#include "script/PoolScriptRemote.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "node_utils/MessagePaths.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

constexpr std::size_t kOperandBytes = 256;
constexpr int kFirstReadCapacity = 256;

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The first name of a path is its root keyword: these two trees belong to
// the broker's call and keep what a failing message wrote to them.
bool namesListTree(const char* path) {
  for (const char* keyword : {"ExceptionList", "DestinationList"}) {
    const std::size_t length = std::strlen(keyword);
    if (std::strncmp(path, keyword, length) == 0 && (path[length] == '\0' || path[length] == '.')) {
      return true;
    }
  }
  return false;
}

// The element's whole character value as UTF-8, read as the local run reads
// it: up to 256 units first, then again with room for all of it.
std::string readElementValue(CciElement* element) {
  int rc = 0;
  MallocPtr<CciChar> buffer(
      static_cast<CciChar*>(std::calloc(kFirstReadCapacity + 1, sizeof(CciChar))));
  if (!buffer) return "";
  const int length = cniElementCharacterValue(&rc, element, buffer.get(), kFirstReadCapacity);
  if (length > kFirstReadCapacity) {
    buffer.reset(
        static_cast<CciChar*>(std::calloc(static_cast<std::size_t>(length) + 1, sizeof(CciChar))));
    if (!buffer) return "";
    cniElementCharacterValue(&rc, element, buffer.get(), length);
  }
  Log("  cniElementCharacterValue [%S]\n", buffer.get());
  MallocPtr<char> text(mbString(buffer.get(), kCodePageUtf8));
  return text ? std::string(text.get()) : std::string();
}

void writeElementValue(CciElement* element, const std::string& value) {
  int rc = 0;
  MallocPtr<CciChar> text(CciString(value.c_str(), kCodePageUtf8));
  Log("  data [%S]\n", text.get());
  cniSetElementCharacterValue(&rc, element, text.get(), CciCharLen(text.get()));
}

// The operand that keeps a statement from being split: the whole text when
// it has no '=', else whichever side is too long.
std::string unsplittableOperand(const char* assignment) {
  const int equals = CharIndexOf(assignment, '=', 1);
  if (equals < 0) return assignment;
  if (static_cast<std::size_t>(equals) >= kOperandBytes) return std::string(assignment, equals);
  return assignment + equals + 1;
}

// The operation whose value a message field awaits. A type of this file, so
// that the table's code stays internal to the plug-in.
struct AwaitedOp {
  int op;
};
using PendingFields = std::unordered_map<CciElement*, AwaitedOp>;

class RemoteRun {
 public:
  RemoteRun(RedisPool& pool, PoolScriptFlags flags, char** errorText)
      : pool_(pool), flags_(flags), errorText_(errorText) {}

  int run(const PoolScriptEntry* head, CciMessage* inputMessage, CciMessage* exceptionList,
          CciMessage* destinationList, CciMessage* outputMessage);

 private:
  // A right operand's value: text known now, or what pool operation op
  // will read.
  struct Value {
    int op = -1;
    std::string text;
    bool pending() const { return op >= 0; }
  };

  // Sends the queued operations and, when they all ran, gives the fields
  // written from them their values. 0, or the result of the statement the
  // server stopped at.
  int send();
  // A message-side failure of the current statement: the operations queued
  // before it run first, and a stop among them comes first.
  int failHere(int result, const std::string& operand);
  void reportOperand(const std::string& operand) {
    if (errorText_ != nullptr) *errorText_ = strdup(operand.c_str());
  }

  RedisPool& pool_;
  PoolScriptFlags flags_;
  char** errorText_;
  std::vector<RemotePoolOp> ops_;
  // Message fields written from a pending value, by element handle, and the
  // operation whose value they await.
  PendingFields pendingFields_;
  std::vector<std::string> answered_;  // the values of the last batch sent
};

int RemoteRun::send() {
  if (ops_.empty()) return SCRIPT_OK;
  const RemoteBatchReply reply = pool_.runBatch(ops_, flags_.keyNotFound == 1);
  Log("  redis batch of %d operations: result %d\n", static_cast<int>(ops_.size()), reply.result);
  std::vector<RemotePoolOp> sent;
  sent.swap(ops_);
  PendingFields fields;
  fields.swap(pendingFields_);
  answered_ = reply.values;
  if (reply.result == KVPOOL_OK && answered_.size() == sent.size()) {
    for (const auto& [element, awaited] : fields) writeElementValue(element, answered_[awaited.op]);
    return SCRIPT_OK;
  }
  if (reply.result == KVPOOL_KEY_NOT_FOUND && reply.failedOp >= 0 &&
      static_cast<std::size_t>(reply.failedOp) < sent.size()) {
    reportOperand(sent[reply.failedOp].key);
    return SCRIPT_KEY_NOT_FOUND;
  }
  if (reply.result == KVPOOL_POOL_FULL) return SCRIPT_POOL_FULL;
  reportOperand(reply.error.empty() ? pool_.config().describe() + ": unexpected answer"
                                    : reply.error);
  return SCRIPT_POOL_UNAVAILABLE;
}

int RemoteRun::failHere(int result, const std::string& operand) {
  const int sent = send();
  if (sent != SCRIPT_OK) return sent;
  reportOperand(operand);
  return result;
}

int RemoteRun::run(const PoolScriptEntry* head, CciMessage* inputMessage, CciMessage* exceptionList,
                   CciMessage* destinationList, CciMessage* outputMessage) {
  char left[kOperandBytes];
  char right[kOperandBytes];
  for (const PoolScriptEntry* entry = head; entry != nullptr; entry = entry->next) {
    Log("  COMMAND ->[%s]\n", entry->statement);
    if (getOperandsOfPoolScript(entry->statement, left, right) != 0) {
      return failHere(SCRIPT_MALFORMED_STATEMENT, unsplittableOperand(entry->statement));
    }

    Value value;
    if (startsWith(right, "KvPool")) {
      ops_.push_back({RemotePoolOp::Kind::kGet, right, {}, -1});
      value.op = static_cast<int>(ops_.size()) - 1;
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
        const auto pending = pendingFields_.find(element);
        if (pending != pendingFields_.end()) {
          value.op = pending->second.op;
        } else {
          value.text = readElementValue(element);
        }
      } else {
        Log("  runKvPoolscript-element not found\n");
        if (flags_.elementNotFound == 0) return failHere(SCRIPT_ELEMENT_NOT_FOUND, path);
      }
    }

    if (startsWith(left, "KvPool")) {
      if (value.pending()) {
        ops_.push_back({RemotePoolOp::Kind::kSetFromGet, left, {}, value.op});
      } else {
        ops_.push_back({RemotePoolOp::Kind::kSet, left, value.text, -1});
      }
      continue;
    }
    const char* path = left;
    if (startsWith(left, "Output")) {
      path += 6;
      Log("  lOperand Output.. %s\n", path);
    }
    if (namesListTree(path) && !ops_.empty()) {
      Log("  lists are written once the pool has answered\n");
      if (const int sent = send(); sent != SCRIPT_OK) return sent;
      if (value.pending()) value = {-1, answered_[value.op]};
    }
    CciElement* element = NodeAddOrGetElement(path, outputMessage, exceptionList, destinationList);
    if (element == nullptr) {
      Log("  >element is NULL\n");
      return failHere(SCRIPT_CANNOT_CREATE, path);
    }
    if (value.pending()) {
      writeElementValue(element, "");
      if (auto pending = pendingFields_.find(element); pending != pendingFields_.end()) {
        pending->second.op = value.op;
      } else {
        pendingFields_.emplace(element, AwaitedOp{value.op});
      }
    } else {
      writeElementValue(element, value.text);
      pendingFields_.erase(element);
    }
  }
  return send();
}

}  // namespace

int runPoolScriptRemote(RedisPool& pool, const PoolScriptEntry* head, PoolScriptFlags flags,
                        CciMessage* inputMessage, CciMessage* exceptionList,
                        CciMessage* destinationList, CciMessage* outputMessage, char** errorText) {
  RemoteRun run(pool, flags, errorText);
  return run.run(head, inputMessage, exceptionList, destinationList, outputMessage);
}

}  // namespace kvpool
