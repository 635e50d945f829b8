// The rules a KvPoolExpression is compiled by, for the compiler and for the
// tools that read a script as it does. Header-only, free of broker types.
#ifndef KVPOOL_SCRIPT_SCRIPTRULES_H
#define KVPOOL_SCRIPT_SCRIPTRULES_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "pool/PoolRecords.h"  // kPoolKeyPrefix, which names a pool key

namespace kvpool {

// A script holding any of these is refused; the first found in this order is
// reported.
inline constexpr std::string_view kScriptRejectedCharacters = "*/\\+-\"'";
// Every statement begins with it (after its blanks are removed).
inline constexpr std::string_view kStatementKeyword = "SET";
// A left operand beginning with it would write the input message: refused.
inline constexpr std::string_view kInputPrefix = "Input";
// The longest operand in bytes; a longer one fails its statement (result 4).
inline constexpr std::size_t kMaxOperandBytes = 255;

// The blanks removed from a statement wherever they stand.
inline bool isStatementBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

enum class StatementForm {
  kAssignment,   // "SET" dropped: an assignment the compiler takes
  kNoKeyword,    // does not begin with "SET"
  kWritesInput,  // its left operand begins with "Input"
};

// Normalises the statement (the text before its ';') in place: every blank
// removed, then a leading "SET" dropped; says which form it has.
inline StatementForm normaliseStatement(char* statement) {
  char* write = std::remove_if(statement, statement + std::strlen(statement), isStatementBlank);
  *write = '\0';
  const std::size_t length = static_cast<std::size_t>(write - statement);
  if (!std::string_view(statement, length).starts_with(kStatementKeyword)) {
    return StatementForm::kNoKeyword;
  }
  std::memmove(statement, statement + kStatementKeyword.size(),
               length - kStatementKeyword.size() + 1);
  return std::string_view(statement).starts_with(kInputPrefix) ? StatementForm::kWritesInput
                                                               : StatementForm::kAssignment;
}

// An assignment split at its first '='.
struct AssignmentSplit {
  std::size_t equals = std::string_view::npos;  // npos: no '='
  std::size_t leftBytes = 0;
  std::size_t rightBytes = 0;
  // True when it has an '=' and neither operand is over kMaxOperandBytes.
  bool runs() const {
    return equals != std::string_view::npos && leftBytes <= kMaxOperandBytes &&
           rightBytes <= kMaxOperandBytes;
  }
};
inline AssignmentSplit splitAssignment(std::string_view assignment) {
  AssignmentSplit split;
  split.equals = assignment.find('=');
  if (split.equals == std::string_view::npos) return split;
  split.leftBytes = split.equals;
  split.rightBytes = assignment.size() - split.equals - 1;
  return split;
}

}  // namespace kvpool

#endif
