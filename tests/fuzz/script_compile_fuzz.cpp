// The script compiler on any KvPoolExpression text (the input as UTF-16, see
// kvfuzz::toUnits): it compiles or refuses, never crashes, leaks or reads out
// of bounds, and what it keeps is what a run expects: statements without
// blanks or "SET", none assigning to "Input", each split into two operands of
// at most 255 bytes or refused whole.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "broker/Broker.h"
#include "fuzz_support.h"
#include "script/PoolScript.h"

namespace {

constexpr std::size_t kOperandBytes = 256;
constexpr std::string_view kRejected = "*/\\+-\"'";

kvbroker::Broker* broker = nullptr;

// The split of one kept statement, into operand buffers of exactly their
// size so that a write past them is caught.
void checkSplit(const char* statement) {
  char* left = static_cast<char*>(std::malloc(kOperandBytes));
  char* right = static_cast<char*>(std::malloc(kOperandBytes));
  const int rc = getOperandsOfPoolScript(statement, left, right);
  const std::string_view text(statement);
  const std::size_t equals = text.find('=');
  if (rc == 0) {
    KVFUZZ_CHECK(equals != std::string_view::npos, "split a statement without '='");
    KVFUZZ_CHECK(text.substr(0, equals) == left && text.substr(equals + 1) == right,
                 "the operands are not the statement split at its first '='");
    KVFUZZ_CHECK(std::strlen(left) < kOperandBytes && std::strlen(right) < kOperandBytes,
                 "an operand is longer than 255 bytes");
  } else {
    KVFUZZ_CHECK(rc == SCRIPT_MALFORMED_STATEMENT, "split result %d", rc);
    KVFUZZ_CHECK(left[0] == '\0' && right[0] == '\0', "a refused split left operand text");
    const bool overlong = equals != std::string_view::npos &&
                          (equals >= kOperandBytes || text.size() - equals - 1 >= kOperandBytes);
    KVFUZZ_CHECK(equals == std::string_view::npos || overlong,
                 "refused a statement with '=' and short operands");
  }
  std::free(left);
  std::free(right);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvfuzz::boundTrace();
  // The compiler logs its refusals (events 15, 16) through the broker.
  static kvbroker::Broker instance;
  broker = &instance;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::u16string script = kvfuzz::toUnits(data, size);
  PoolScriptEntry* head = nullptr;
  const int rc = kvpool::compilePoolScript(reinterpret_cast<const CciChar*>(script.c_str()), &head);
  KVFUZZ_CHECK(rc == 0 || rc == 1 || rc == 2 || rc == SCRIPT_UNSUPPORTED_CHARACTER,
               "compile result %d", rc);

  // The compiler reads up to the first NUL, as the node hands it a C text.
  const std::u16string_view read(script.c_str());
  std::size_t statements = 0;
  for (const PoolScriptEntry* entry = head; entry != nullptr; entry = entry->next) {
    const std::string_view statement(entry->statement);
    KVFUZZ_CHECK(statement.find_first_of(" \t\n") == std::string_view::npos,
                 "a kept statement holds a blank: [%s]", entry->statement);
    KVFUZZ_CHECK(statement.rfind("Input", 0) != 0, "a kept statement assigns to Input: [%s]",
                 entry->statement);
    KVFUZZ_CHECK(statement.find_first_of(kRejected) == std::string_view::npos,
                 "a kept statement holds a rejected character: [%s]", entry->statement);
    checkSplit(entry->statement);
    ++statements;
  }
  if (rc == SCRIPT_UNSUPPORTED_CHARACTER) {
    KVFUZZ_CHECK(statements == 0, "a refused character left %zu statements", statements);
  }
  if (rc == 0) {
    std::size_t semicolons = 0;
    for (char16_t unit : read) semicolons += unit == u';';
    KVFUZZ_CHECK(statements == semicolons, "%zu statements kept for %zu ';'", statements,
                 semicolons);
  }

  kvpool::releasePoolScript(&head);
  KVFUZZ_CHECK(head == nullptr, "the released list is not empty");
  broker->clearEvents();
  return 0;
}
