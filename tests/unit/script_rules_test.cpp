// The statement rules the compiler and kvflow share: blanks removed, the
// keyword dropped, an assignment to the input told, the first '=' and the
// operand bound.
#include <gtest/gtest.h>

#include <string>

#include "script/ScriptRules.h"

namespace {

using kvpool::StatementForm;

TEST(ScriptRulesTest, NormalisesAStatementAsTheCompilerTakesIt) {
  struct Case {
    std::string written, normal;
    StatementForm form;
  };
  const Case cases[] = {
      {" SET\tKvPoolA =\n Body.m.v ", "KvPoolA=Body.m.v", StatementForm::kAssignment},
      {"S E T Out put.x=Body", "Output.x=Body", StatementForm::kAssignment},
      {"\r SET a=b", "\rSETa=b", StatementForm::kNoKeyword},
      {"set a=b", "seta=b", StatementForm::kNoKeyword},
      {"SET Input.x = y", "Input.x=y", StatementForm::kWritesInput},
      {"SET", "", StatementForm::kAssignment},
  };
  for (const Case& c : cases) {
    std::string text = c.written;
    EXPECT_EQ(kvpool::normaliseStatement(text.data()), c.form) << c.written;
    EXPECT_EQ(std::string(text.c_str()), c.normal) << c.written;
  }
}

TEST(ScriptRulesTest, SplitsAtTheFirstEqualsAndBoundsEachOperand) {
  const std::string longest(kvpool::kMaxOperandBytes, 'k');
  struct Case {
    std::string assignment;
    std::size_t equals;
    bool runs;
  };
  const Case cases[] = {
      {"a=b=c", 1, true},
      {"ab", std::string::npos, false},
      {"=", 0, true},
      {longest + "=" + longest, longest.size(), true},
      {longest + "k=b", longest.size() + 1, false},
      {"a=" + longest + "k", 1, false},
  };
  for (const Case& c : cases) {
    const kvpool::AssignmentSplit split = kvpool::splitAssignment(c.assignment);
    EXPECT_EQ(split.equals, c.equals) << c.assignment.size();
    EXPECT_EQ(split.runs(), c.runs) << c.assignment.size();
  }
}

}  // namespace
