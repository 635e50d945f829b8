// A KvPoolExpression read as a KvPoolNode compiles and runs it, without the
// plug-in: what kvflow check warns about and what kvflow keys maps. The
// plug-in stays the judge of a script (kvflow check sets it on a real node);
// this reading only has to agree with it on scripts the node accepts.
#ifndef KVPOOL_TOOLS_KVFLOW_SCRIPTTEXT_H
#define KVPOOL_TOOLS_KVFLOW_SCRIPTTEXT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "script/ScriptRules.h"

namespace kvflow {

// The compiler's operand bound and pool-key prefix (script/ScriptRules.h).
inline constexpr std::size_t kMaxOperandBytes = kvpool::kMaxOperandBytes;
inline constexpr std::string_view kPoolPrefix = kvpool::kPoolKeyPrefix;

struct ScriptStatement {
  int number = 0;                          // counted from 1
  std::string written;                     // the text before its ';' as written
  std::string assignment;                  // as the node keeps it: blanks removed, "SET" dropped
  std::size_t equals = std::string::npos;  // the first '=' in assignment
  std::string left() const { return assignment.substr(0, equals); }
  std::string right() const {
    return equals == std::string::npos ? "" : assignment.substr(equals + 1);
  }
};

struct Script {
  // Every statement up to the last ';' (text after it is ignored), up to
  // and including the one the node refuses.
  std::vector<ScriptStatement> statements;
  // Why the node refuses the script (a rejected character, a statement not
  // beginning with SET, a left operand beginning with Input), or empty.
  std::string refusal;
};

Script readScript(std::string_view text);

// Why the statement fails on every message that reaches it (no '=', or an
// operand over kMaxOperandBytes), or empty.
std::string alwaysFails(const ScriptStatement& statement);

// The statements of a script as written: the texts before each ';', and the
// text after the last one.
std::vector<std::string> splitStatements(std::string_view script);

}  // namespace kvflow

#endif
