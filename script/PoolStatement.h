// One statement as the compiler leaves it for every run: split at its first
// '=', both operands classified, a path parsed into UTF-16 segments, a pool
// key kept as 8-bit text; and the value a statement copies. Inside script/.
#ifndef KVPOOL_SCRIPT_POOLSTATEMENT_H
#define KVPOOL_SCRIPT_POOLSTATEMENT_H

#include <cstddef>
#include <memory>
#include <string>

#include "node_utils/MessagePaths.h"
#include "script/PoolScript.h"
#include "support/MallocPtr.h"

namespace kvpool {

// Where an assignment splits: at its first '='. result 0 with both lengths;
// 4 when it has no '=' (noEquals) or an operand of 256 bytes or more.
struct StatementSplit {
  int result;
  bool noEquals;
  std::size_t leftBytes;
  std::size_t rightBytes;
};
StatementSplit splitStatement(const char* assignment);

enum class OperandKind : unsigned char {
  kPoolKey,  // starts with "KvPool": the whole operand is the key
  // A path without prefix (a right one may start with "Input", dropped):
  // read in the input message, written in the output message.
  kPath,
  kOutputPath,  // starts with "Output", dropped: the output message, traced so
};

struct CompiledOperand {
  OperandKind kind = OperandKind::kPath;
  const char* text = nullptr;    // the operand as written
  const char* target = nullptr;  // the key, or the path after its prefix
  ParsedPath path;               // a path's segments
};

}  // namespace kvpool

// The compiled statement an entry owns. Never copied: the operands point into
// its own text.
struct PoolStatement {
  PoolStatement() = default;
  PoolStatement(const PoolStatement&) = delete;
  PoolStatement& operator=(const PoolStatement&) = delete;

  std::string operands;  // "left\0right": both operands point into it
  kvpool::StatementSplit split{};
  // What a statement that cannot be split fails with: the whole statement
  // when it has no '=', else the operand that is too long.
  std::string failingOperand;
  kvpool::CompiledOperand left;
  kvpool::CompiledOperand right;
};

namespace kvpool {

// Compiles a normalised assignment ("left=right", no "SET"); null when
// memory runs out. A statement that cannot be split compiles too: it fails
// when it runs. Released with releasePoolStatement.
PoolStatement* compilePoolStatement(const char* assignment) noexcept;
void releasePoolStatement(PoolStatement* statement) noexcept;

// The value one statement copies, kept in the form it was read in (UTF-16
// from an element, 8-bit from the pool) and converted only when the other
// side wants the other form, as mbString and CciString would (well-formed
// UTF-16 from an element passes as it is). Short values need no allocation.
class StatementValue {
 public:
  // Units of a value read in one go; a longer value is read again into the heap.
  static constexpr int kShortUnits = 256;
  StatementValue() = default;
  StatementValue(const StatementValue&) = delete;  // units_ may point into itself
  StatementValue& operator=(const StatementValue&) = delete;

  // The element's whole character value, traced.
  void readElement(CciElement* element);
  // Takes over a value the pool handed out (malloc'd).
  void takeText(char* text);
  // The empty text, for a missing operand let through by its flag.
  void setEmpty() {
    takeText(nullptr);
    text_ = "";
  }

  // The value as UTF-8, valid until the value is set again.
  const char* text();
  // The value in UTF-16, terminated.
  const CciChar* units();

 private:
  void textToUnits();

  // Where units() comes from: an element's own units are checked once.
  enum class Origin { kText, kElementUnits, kUnits };
  Origin origin_ = Origin::kText;
  const char* text_ = "";
  const CciChar* units_ = nullptr;
  MallocPtr<char> heapText_;
  MallocPtr<CciChar> heapUnits_;
  CciChar shortUnits_[kShortUnits + 1];
  // Nine bytes a unit, as mbString gives them.
  char shortText_[9 * (kShortUnits + 1)];
};

// The entry's compiled form, or one compiled into holder for this run; null
// when memory runs out.
using PoolStatementHolder = std::unique_ptr<PoolStatement, void (*)(PoolStatement*) noexcept>;
inline const PoolStatement* statementToRun(const PoolScriptEntry* entry,
                                           PoolStatementHolder& holder) {
  if (entry->compiled != nullptr) return entry->compiled;
  holder.reset(compilePoolStatement(entry->statement));
  return holder.get();
}

}  // namespace kvpool

#endif
