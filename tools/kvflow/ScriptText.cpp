// Reading a script as the node compiles it.
#include <algorithm>
#include <cstring>

#include "script/ScriptRules.h"
#include "tools/kvflow/Kvflow.h"

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
    ScriptStatement statement{static_cast<int>(i + 1), written[i], written[i]};
    std::string& assignment = statement.assignment;
    const kvpool::StatementForm form = kvpool::normaliseStatement(assignment.data());
    assignment.resize(std::strlen(assignment.c_str()));
    statement.equals = kvpool::splitAssignment(assignment).equals;
    script.statements.push_back(std::move(statement));
    const std::string number = "statement " + std::to_string(i + 1);
    if (form == kvpool::StatementForm::kNoKeyword) {
      script.refusal = number + " does not begin with SET";
    } else if (form == kvpool::StatementForm::kWritesInput) {
      script.refusal = number + " writes to the input message";
    }
    if (!script.refusal.empty()) return script;
  }
  return script;
}

std::string alwaysFails(const ScriptStatement& statement) {
  if (statement.equals == std::string::npos) return "it has no '='";
  for (const auto& [side, operand] :
       {std::pair{"left", statement.left()}, std::pair{"right", statement.right()}}) {
    if (operand.size() > kvpool::kMaxOperandBytes) {
      return std::string("its ") + side + " operand has " + std::to_string(operand.size()) +
             " bytes, more than " + std::to_string(kvpool::kMaxOperandBytes);
    }
  }
  return "";
}

std::string shownStatement(const std::string& written) {
  std::string text = written;
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\t'; }, ' ');
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  constexpr std::size_t kShownBytes = 100;
  if (text.size() <= kShownBytes) return visibleText(text);
  std::size_t cut = kShownBytes;
  // Never in the middle of a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return visibleText(text.substr(0, cut)) + "...";
}

}  // namespace kvflow
