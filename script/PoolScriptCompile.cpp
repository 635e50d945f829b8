// Compilation of the KvPoolExpression text into a statement list.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "script/PoolScript.h"
#include "script/PoolStatement.h"
#include "script/ScriptRules.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"
#include "support/Trace.h"

namespace {

using kvpool::kCodePageUtf8;
using kvpool::MallocPtr;

// The statement's units as UTF-8, converted whole so non-ASCII names survive.
MallocPtr<char> statementText(const CciChar* script, int start, int end) {
  std::vector<CciChar> units(script + start, script + end);
  units.push_back(0);
  return MallocPtr<char>(mbString(units.data(), kCodePageUtf8));
}

// Classifies an operand (prefixes tested in this order) and parses its path.
bool compileOperand(kvpool::CompiledOperand& operand, const char* text, bool right) {
  operand.text = text;
  operand.target = text;
  operand.kind = kvpool::OperandKind::kPath;
  const std::string_view operandText(text);
  if (operandText.starts_with(kvpool::kPoolKeyPrefix)) {
    operand.kind = kvpool::OperandKind::kPoolKey;
    return true;
  }
  if (operandText.starts_with("Output")) {
    operand.kind = kvpool::OperandKind::kOutputPath;
    operand.target = text + 6;
  } else if (right && operandText.starts_with(kvpool::kInputPrefix)) {
    operand.target = text + kvpool::kInputPrefix.size();
  }
  return operand.path.parse(operand.target);
}

}  // namespace

kvpool::StatementSplit kvpool::splitStatement(const char* assignment) {
  StatementSplit split{};
  const AssignmentSplit parts = splitAssignment(assignment);
  split.noEquals = parts.equals == std::string_view::npos;
  split.leftBytes = parts.leftBytes;
  split.rightBytes = parts.rightBytes;
  if (!parts.runs()) split.result = SCRIPT_MALFORMED_STATEMENT;
  return split;
}

PoolStatement* kvpool::compilePoolStatement(const char* assignment) noexcept {
  try {
    auto statement = std::make_unique<PoolStatement>();
    const StatementSplit split = splitStatement(assignment);
    statement->split = split;
    if (split.result != 0) {
      // The whole text without '=', else the first operand that is too long.
      if (split.noEquals) {
        statement->failingOperand = assignment;
      } else if (split.leftBytes > kMaxOperandBytes) {
        statement->failingOperand.assign(assignment, split.leftBytes);
      } else {
        statement->failingOperand = assignment + split.leftBytes + 1;
      }
      return statement.release();
    }
    std::string& operands = statement->operands;
    operands.assign(assignment, split.leftBytes + 1 + split.rightBytes);
    operands[split.leftBytes] = '\0';
    if (!compileOperand(statement->left, operands.c_str(), false) ||
        !compileOperand(statement->right, operands.c_str() + split.leftBytes + 1, true)) {
      return nullptr;
    }
    return statement.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void kvpool::releasePoolStatement(PoolStatement* statement) noexcept {
  delete statement;
}

void kvpool::releasePoolScript(PoolScriptEntry** head) {
  PoolScriptEntry* entry = *head;
  *head = nullptr;
  while (entry != nullptr) {
    PoolScriptEntry* next = entry->next;
    std::free(entry->statement);
    releasePoolStatement(entry->compiled);
    std::free(entry);
    entry = next;
  }
}

namespace kvpool {
namespace {

// Compiles the statement and links it at *end, the list's last link, which
// then moves to the new entry: a whole script is appended in linear time.
int appendAtEnd(PoolScriptEntry*** end, char* statement) {
  int rc = 0;
  const StatementForm form = normaliseStatement(statement);
  if (form == StatementForm::kNoKeyword) return 1;
  if (form == StatementForm::kWritesInput) {
    cciLog(&rc, CCI_LOG_ERROR, kvpool::kEventFile, kvpool::kLineAssignmentToInput, "insertKvScript",
           constKvCatalog, kvpool::kEventAssignmentToInput, kvpool::kVTRL2Text, statement, nullptr);
    return 2;
  }
  auto* entry = static_cast<PoolScriptEntry*>(std::calloc(1, sizeof(PoolScriptEntry)));
  if (entry == nullptr) return 1;
  entry->compiled = compilePoolStatement(statement);
  if (entry->compiled == nullptr) {
    std::free(entry);
    return 1;
  }
  entry->statement = statement;
  **end = entry;
  *end = &entry->next;
  return 0;
}

PoolScriptEntry** lastLink(PoolScriptEntry** head) {
  PoolScriptEntry** link = head;
  while (*link != nullptr) link = &(*link)->next;
  return link;
}

}  // namespace
}  // namespace kvpool

int kvpool::appendPoolStatement(PoolScriptEntry** head, char* statement) {
  PoolScriptEntry** end = lastLink(head);
  return appendAtEnd(&end, statement);
}

int kvpool::compilePoolScript(const CciChar* script, PoolScriptEntry** head) {
  int rc = 0;
  if (script == nullptr) {
    Log("  poolScript is NULL\n");
    return 0;
  }

  for (char rejected : kvpool::kScriptRejectedCharacters) {
    if (CciCharIndexOf(script, static_cast<CciChar>(rejected), 1) >= 0) {
      const std::string message =
          std::string("wrong keyword(Not Supported) '") + rejected + "' used in Script";
      cciLog(&rc, CCI_LOG_ERROR, kvpool::kEventFile, kvpool::kLineUnsupportedCharacter,
             "setAttribute", constKvCatalog, kvpool::kEventUnsupportedCharacter, kvpool::kVTRL2Text,
             message.c_str(), nullptr);
      return SCRIPT_UNSUPPORTED_CHARACTER;
    }
  }

  // Each statement runs up to its semicolon; text after the last one is ignored.
  int start = 0;
  PoolScriptEntry** end = lastLink(head);
  for (int i = 0; script[i] != 0; ++i) {
    if (script[i] != ';') continue;
    MallocPtr<char> statement = statementText(script, start, i);
    const int result = appendAtEnd(&end, statement.get());
    if (result != 0) return result;
    statement.release();  // the list owns it now
    start = i + 1;
  }
  return 0;
}
