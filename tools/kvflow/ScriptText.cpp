// Reading a script as the node compiles it.
#include "tools/kvflow/ScriptText.h"

#include <cstring>

#include "script/ScriptRules.h"

namespace kvflow {

std::vector<std::string> splitStatements(std::string_view script) {
  std::vector<std::string> statements;
  std::size_t start = 0;
  for (std::size_t semicolon; (semicolon = script.find(';', start)) != std::string_view::npos;) {
    statements.emplace_back(script.substr(start, semicolon - start));
    start = semicolon + 1;
  }
  statements.emplace_back(script.substr(start));
  return statements;
}

Script readScript(std::string_view text) {
  Script script;
  // The node looks for the rejected characters in this order, before anything else.
  for (char rejected : kvpool::kScriptRejectedCharacters) {
    if (text.find(rejected) != std::string_view::npos) {
      script.refusal = std::string("the script holds '") + rejected + "'";
      return script;
    }
  }
  std::vector<std::string> written = splitStatements(text);
  written.pop_back();  // the text after the last ';'
  for (std::size_t i = 0; i < written.size(); ++i) {
    ScriptStatement statement;
    statement.number = static_cast<int>(i + 1);
    statement.written = written[i];
    // Normalised by the compiler's own rule.
    std::string& assignment = statement.assignment = written[i];
    const kvpool::StatementForm form = kvpool::normaliseStatement(assignment.data());
    assignment.resize(std::strlen(assignment.c_str()));
    statement.equals = kvpool::splitAssignment(assignment).equals;
    script.statements.push_back(std::move(statement));
    if (form == kvpool::StatementForm::kNoKeyword) {
      script.refusal = "statement " + std::to_string(i + 1) + " does not begin with SET";
      return script;
    }
    if (form == kvpool::StatementForm::kWritesInput) {
      script.refusal = "statement " + std::to_string(i + 1) + " writes to the input message";
      return script;
    }
  }
  return script;
}

std::string alwaysFails(const ScriptStatement& statement) {
  if (statement.equals == std::string::npos) return "it has no '='";
  for (const auto& [side, operand] :
       {std::pair{"left", statement.left()}, std::pair{"right", statement.right()}}) {
    if (operand.size() > kMaxOperandBytes) {
      return std::string("its ") + side + " operand has " + std::to_string(operand.size()) +
             " bytes, more than " + std::to_string(kMaxOperandBytes);
    }
  }
  return "";
}

}  // namespace kvflow
