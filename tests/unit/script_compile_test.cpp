// Script compilation through setAttribute: the statement list it leaves, the
// rejected scripts with their events and the configuration exception.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "node_test_fixture.h"
#include "script/PoolScript.h"
#include "script/PoolStatement.h"

namespace {

using kvpool::OperandKind;
using kvpool::PathRoot;
using kvtest::NodeUnitTest;
using Statements = std::vector<std::string>;

class ScriptCompileTest : public NodeUnitTest {
 protected:
  // Sets the script; the refusal's exception record, or none when accepted.
  std::optional<kvbroker::EventRecord> setScript(kvbroker::Node& node, const std::string& script) {
    try {
      broker().setAttribute(node, "KvPoolExpression", script);
      return std::nullopt;
    } catch (const kvbroker::CallbackRefused& refused) {
      return refused.record();
    }
  }
  std::optional<kvbroker::EventRecord> setScript(kvbroker::Node& node,
                                                 const std::u16string& script) {
    try {
      broker().setAttribute(node, u"KvPoolExpression", script);
      return std::nullopt;
    } catch (const kvbroker::CallbackRefused& refused) {
      return refused.record();
    }
  }
  // Events of the compiler (15 and 16); node creation logs pool events too.
  std::size_t compilerEvents() {
    std::size_t count = 0;
    for (const auto& event : broker().events()) {
      if (event.messageNumber == 15 || event.messageNumber == 16) ++count;
    }
    return count;
  }
  // The result processKvPoolscript gives for the node's current text.
  int recompile(kvbroker::Node& node) { return processKvPoolscript(contextOf(node)); }
};

TEST_F(ScriptCompileTest, AcceptedScriptsCompileToTheirAssignmentTexts) {
  struct Case {
    std::string script;
    Statements expected;
  };
  const Case cases[] = {
      {"SET OutputRoot.XML.a = InputRoot.XML.b;", {"OutputRoot.XML.a=InputRoot.XML.b"}},
      {"SET a=b; SET c=d", {"a=b"}},
      {"SET a = b ;", {"a=b"}},
      {"S E T a=b;", {"a=b"}},
      {"\tSET\na\t=\n b;\nSET c=d;", {"a=b", "c=d"}},
      {"SET abc;", {"abc"}},
      {"SET KvPoolX=Body.a=b;", {"KvPoolX=Body.a=b"}},
      {"no semicolon at all", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    kvbroker::Node& node = kvNode("n");
    EXPECT_EQ(setScript(node, c.script), std::nullopt) << c.script;
    EXPECT_EQ(statements(node), c.expected) << c.script;
    EXPECT_EQ(compilerEvents(), 0u) << c.script;
    broker().deleteNode(node);
  }
}

// Every operand form, as the compiler leaves it for the runs: the kind, what
// the run uses (the key, or the path after its prefix), and the parsed path.
TEST_F(ScriptCompileTest, OperandsCompileToTheirKindTargetAndParsedPath) {
  struct Operand {
    OperandKind kind;
    std::string target;
    PathRoot root;
    std::vector<std::string> segments;  // name, then "[occurrence]" unless 0
  };
  struct Case {
    std::string script;
    Operand left;
    Operand right;
  };
  const std::vector<std::string> none;
  const Case cases[] = {
      {"SET KvPoolA = Body.Order.Id;",
       {OperandKind::kPoolKey, "KvPoolA", PathRoot::kNone, none},
       {OperandKind::kPath, "Body.Order.Id", PathRoot::kBody, {"Order", "Id"}}},
      {"SET OutputRoot.XML..Order.Line[2].Qty. = KvPool;",
       {OperandKind::kOutputPath,
        "Root.XML..Order.Line[2].Qty.",
        PathRoot::kRoot,
        {"XML", "Order", "Line[1]", "Qty"}},
       {OperandKind::kPoolKey, "KvPool", PathRoot::kNone, none}},
      {"SET Root.XML.a = InputRoot.XML.b[x];",
       {OperandKind::kPath, "Root.XML.a", PathRoot::kRoot, {"XML", "a"}},
       {OperandKind::kPath, "Root.XML.b[x]", PathRoot::kRoot, {"XML", "b[-1]"}}},
      {"SET ExceptionList.E = OutputDestinationList.Q[;",
       {OperandKind::kPath, "ExceptionList.E", PathRoot::kExceptionList, {"E"}},
       {OperandKind::kOutputPath, "DestinationList.Q[", PathRoot::kDestinationList, {"Q"}}},
      {"SET Outputs.x = Input;",
       {OperandKind::kOutputPath, "s.x", PathRoot::kNone, {"x"}},
       {OperandKind::kPath, "", PathRoot::kNone, none}},
      {"SET Body = Output;",
       {OperandKind::kPath, "Body", PathRoot::kBody, none},
       {OperandKind::kOutputPath, "", PathRoot::kNone, none}},
      {"SET KvPoolX = KvPoolY=z;",
       {OperandKind::kPoolKey, "KvPoolX", PathRoot::kNone, none},
       {OperandKind::kPoolKey, "KvPoolY=z", PathRoot::kNone, none}},
      {"SET OutputRoot.XML.Gr\xC3\xB6\xC3\x9F"
       "e[3] = InputKvPoolZ;",
       {OperandKind::kOutputPath,
        "Root.XML.Gr\xC3\xB6\xC3\x9F"
        "e[3]",
        PathRoot::kRoot,
        {"XML",
         "Gr\xC3\xB6\xC3\x9F"
         "e[2]"}},
       {OperandKind::kPath, "KvPoolZ", PathRoot::kNone, none}},
  };
  const auto segmentsOf = [](const kvpool::ParsedPath& path) {
    std::vector<std::string> segments;
    for (std::size_t i = 0; i < path.segmentCount(); ++i) {
      const kvpool::PathSegment& segment = path.segment(i);
      std::u16string units(reinterpret_cast<const char16_t*>(path.segmentUnits(i)),
                           static_cast<std::size_t>(segment.nameUnits));
      EXPECT_EQ(kvbroker::toUtf8(units), path.segmentName(i));
      std::string text = path.segmentName(i);
      if (segment.occurrence != 0) text += "[" + std::to_string(segment.occurrence) + "]";
      segments.push_back(text);
    }
    return segments;
  };
  const auto expectOperand = [&](const kvpool::CompiledOperand& operand, const Operand& expected,
                                 const std::string& script) {
    EXPECT_EQ(operand.kind, expected.kind) << script;
    EXPECT_EQ(operand.target, expected.target) << script;
    if (expected.kind == OperandKind::kPoolKey) return;
    EXPECT_EQ(operand.path.root(), expected.root) << script;
    EXPECT_EQ(segmentsOf(operand.path), expected.segments) << script;
  };
  for (const Case& c : cases) {
    kvbroker::Node& node = kvNode("n");
    ASSERT_EQ(setScript(node, c.script), std::nullopt) << c.script;
    const PoolScriptEntry* entry = contextOf(node)->scriptHead;
    ASSERT_NE(entry, nullptr);
    ASSERT_NE(entry->compiled, nullptr);
    EXPECT_EQ(entry->compiled->split.result, 0) << c.script;
    expectOperand(entry->compiled->left, c.left, c.script);
    expectOperand(entry->compiled->right, c.right, c.script);
    broker().deleteNode(node);
  }
}

TEST_F(ScriptCompileTest, StatementsThatCannotBeSplitCompileToTheirRunTimeFailure) {
  const std::string tooLong(256, 't');
  const std::string fits(255, 'f');
  struct Case {
    std::string statement;
    bool noEquals;
    std::string failing;
  };
  const Case cases[] = {
      {"KvPoolA", true, "KvPoolA"},
      {tooLong + "=x", false, tooLong},
      {"x=" + tooLong, false, tooLong},
      {tooLong + "=" + fits + "1", false, tooLong},
  };
  for (const Case& c : cases) {
    PoolStatement* statement = kvpool::compilePoolStatement(c.statement.c_str());
    ASSERT_NE(statement, nullptr);
    EXPECT_EQ(statement->split.result, SCRIPT_MALFORMED_STATEMENT);
    EXPECT_EQ(statement->split.noEquals, c.noEquals);
    EXPECT_EQ(statement->failingOperand, c.failing);
    kvpool::releasePoolStatement(statement);
  }
}

TEST_F(ScriptCompileTest, StatementsNotStartingWithSetStopCompilationWithResult1) {
  struct Case {
    std::string script;
    Statements kept;
  };
  const Case cases[] = {
      {"set a=b;", {}},
      {";SET a=b;", {}},
      {"SET a=b;;SET c=d;", {"a=b"}},
      {"SET a=b;\r\nSET c=d;", {"a=b"}},
      {"SET a=b; LET c=d; SET e=f;", {"a=b"}},
  };
  for (const Case& c : cases) {
    kvbroker::Node& node = kvNode("n");
    auto refused = setScript(node, c.script);
    ASSERT_TRUE(refused.has_value()) << c.script;
    EXPECT_EQ(refused->messageNumber, 10);
    EXPECT_EQ(refused->line, 660);
    EXPECT_EQ(refused->type, CCI_CONFIGURATION_EXCEPTION);
    EXPECT_EQ(refused->function, "setAttribute");
    EXPECT_EQ(refused->messageSource, u"VTRL-KvPool");
    EXPECT_EQ(refused->traceText, "Vantrel2");
    EXPECT_TRUE(refused->inserts.empty());
    EXPECT_EQ(statements(node), c.kept) << c.script;
    EXPECT_EQ(recompile(node), 1) << c.script;
    // The refused text stays stored.
    EXPECT_EQ(broker().getAttribute(node, "KvPoolExpression"), c.script);
    broker().deleteNode(node);
  }
  EXPECT_EQ(compilerEvents(), 0u);
}

TEST_F(ScriptCompileTest, AssignmentToInputIsRejectedWithEvent16) {
  for (const std::string script : {"SET InputRoot.x=y;", "SET a=b; SET Inputs = y;"}) {
    kvbroker::Node& node = kvNode("n");
    broker().clearEvents();
    auto refused = setScript(node, script);
    ASSERT_TRUE(refused.has_value()) << script;
    EXPECT_EQ(refused->messageNumber, 10);
    const auto events = kvtest::eventsNumbered(broker(), 16);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].line, 1203);
    EXPECT_EQ(events[0].type, CCI_LOG_ERROR);
    EXPECT_EQ(events[0].function, "insertKvScript");
    EXPECT_EQ(events[0].messageSource, u"VTRL-KvPool");
    EXPECT_EQ(events[0].inserts,
              std::vector<std::string>{script[4] == 'I' ? "InputRoot.x=y" : "Inputs=y"});
    broker().deleteNode(node);
  }
}

TEST_F(ScriptCompileTest, RejectedCharactersAreReportedInTestOrderBeforeAnythingCompiles) {
  struct Case {
    std::string script;
    char reported;
  };
  const Case cases[] = {
      {"SET a = b-c;", '-'},        {"SET a=b*c; SET d='e';", '*'},
      {"SET a=b; SET c=d/e;", '/'}, {"SET a=b\\c;", '\\'},
      {"SET a=b+c;", '+'},          {"SET a=\"b\";", '"'},
      {"SET a=b;'", '\''},          {"SET a=b-c*d;", '*'},
  };
  for (const Case& c : cases) {
    kvbroker::Node& node = kvNode("n");
    setScript(node, "SET old=value;");
    broker().clearEvents();
    auto refused = setScript(node, c.script);
    ASSERT_TRUE(refused.has_value()) << c.script;
    EXPECT_EQ(refused->messageNumber, 10);
    const auto events = kvtest::eventsNumbered(broker(), 15);
    ASSERT_EQ(events.size(), 1u) << c.script;
    EXPECT_EQ(events[0].line, 1127);
    EXPECT_EQ(events[0].function, "setAttribute");
    EXPECT_EQ(events[0].type, CCI_LOG_ERROR);
    EXPECT_EQ(events[0].inserts,
              std::vector<std::string>{std::string("wrong keyword(Not Supported) '") + c.reported +
                                       "' used in Script"});
    EXPECT_EQ(recompile(node), SCRIPT_UNSUPPORTED_CHARACTER);
    // Nothing of the rejected text, and nothing of the replaced one, runs.
    EXPECT_EQ(statements(node), Statements{}) << c.script;
    broker().deleteNode(node);
  }
}

TEST_F(ScriptCompileTest, NewSettingReplacesTheStatementsOfTheEarlierOne) {
  kvbroker::Node& node = kvNode("n");
  setScript(node, "SET a=b; SET c=d;");
  setScript(node, "SET e=f;");
  EXPECT_EQ(statements(node), Statements{"e=f"});
  setScript(node, "SET g=h; set i=j;");
  EXPECT_EQ(statements(node), Statements{"g=h"});
  setScript(node, "");
  EXPECT_EQ(statements(node), Statements{});
}

TEST_F(ScriptCompileTest, NonAsciiStatementsAreKeptAsUtf8) {
  kvbroker::Node& node = kvNode("n");
  // U+0100 has a zero low byte and U+013B a low byte of ';': neither may end
  // or split a statement. U+1F600 is a surrogate pair.
  const std::u16string script =
      u"SET KvPoolSchlüssel = Body.Straße;SET OutputRoot.XML.\u0100x=KvPool\u013B\U0001F600;";
  EXPECT_EQ(setScript(node, script), std::nullopt);
  EXPECT_EQ(statements(node),
            (Statements{"KvPoolSchl\xC3\xBCssel=Body.Stra\xC3\x9F"
                        "e",
                        "OutputRoot.XML.\xC4\x80x=KvPool\xC4\xBB\xF0\x9F\x98\x80"}));
}

TEST_F(ScriptCompileTest, InsertKvScriptNormalisesInPlaceAndAppends) {
  kvbroker::Node& node = kvNode("n");
  NodeContext* context = contextOf(node);
  char* first = strdup("  S E T\tx = y\n");
  ASSERT_EQ(insertKvScript(context, first), 0);
  EXPECT_STREQ(first, "x=y");
  char* second = strdup("SETz=w");
  ASSERT_EQ(insertKvScript(context, second), 0);
  EXPECT_EQ(statements(node), (Statements{"x=y", "z=w"}));
  char refused[] = "SET Input.a=b";
  EXPECT_EQ(insertKvScript(context, refused), 2);
  char lower[] = "set a=b";
  EXPECT_EQ(insertKvScript(context, lower), 1);
  char blanks[] = "   \t\n";
  EXPECT_EQ(insertKvScript(context, blanks), 1);
  EXPECT_STREQ(blanks, "");
  EXPECT_EQ(statements(node), (Statements{"x=y", "z=w"}));
}

}  // namespace
