// The tools' text: what kvpool and kvflow show of a text, and the export's
// escape that brings every byte back.
#include <gtest/gtest.h>

#include <string>

#include "tools/common/Text.h"

namespace {

using kvtools::ShownAs;
using kvtools::shownText;

TEST(ToolsTextTest, ShowsControlsInvalidBytesAndInvisibleCharactersInLowerCaseHex) {
  struct Case {
    std::string text, data, source;
  };
  const Case cases[] = {
      {"a\\b\n\t\r", "a\\\\b\\n\\t\\r", "a\\\\b\\n\\t\\r"},
      {std::string("\0\x1b\x7f", 3), "\\x00\\x1b\\x7f", "\\0\\x1b\\x7f"},
      {"\xc2\x85\xc2\x9b", "\\xc2\\x85\\xc2\\x9b", "\\u0085\\u009b"},
      {"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f", "\\u0080\\u009f"},
      {"\xff\xc0\xaf\xed\xa0\x80", "\\xff\\xc0\\xaf\\xed\\xa0\\x80",
       "\\xff\\xc0\\xaf\\xed\\xa0\\x80"},
      {"\xc2\xa0\xef\xbb\xbf\xf3\xa0\x80\x81", "\xc2\xa0\xef\xbb\xbf\xf3\xa0\x80\x81",
       "\\u00a0\\ufeff\\U000e0001"},
      {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"cut \xe2\x82", "cut \\xe2\\x82", "cut \\xe2\\x82"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(shownText(c.text, ShownAs::kData), c.data) << c.data;
    EXPECT_EQ(shownText(c.text, ShownAs::kSource), c.source) << c.source;
  }
  // A message keeps the backslashes of the texts it quotes.
  EXPECT_EQ(shownText("key \"a\\\\b\": \x1b]0;\xc2\x9b\n", ShownAs::kMessage),
            "key \"a\\\\b\": \\x1b]0;\\xc2\\x9b\\n");
}

TEST(ToolsTextTest, JsonTextsCarryNoControlATerminalActsOn) {
  EXPECT_EQ(
      kvtools::escapeJsonControls("{\"k\": \"\xc2\x80\xc2\x9b\x7f\xc2\x9f \xc2\xa0\\u001b\"}"),
      "{\"k\": \"\\u0080\\u009b\\u007f\\u009f \xc2\xa0\\u001b\"}");
}

TEST(ToolsTextTest, EscapedBytesComeBackWholeAndAStrayBackslashIsRefused) {
  std::string every;
  for (int byte = 0; byte < 256; ++byte) every += static_cast<char>(byte);
  every += "\\x41 \xc3\xa9";
  const std::string escaped = kvtools::escapeBytes(every);
  EXPECT_NE(escaped.find("\\\\x41 \xc3\xa9"), std::string::npos);
  EXPECT_NE(escaped.find("\\xff"), std::string::npos);
  std::string back, why;
  ASSERT_TRUE(kvtools::unescapeBytes(escaped, &back, &why)) << why;
  EXPECT_EQ(back, every);
  ASSERT_TRUE(kvtools::unescapeBytes("\\xFF", &back, &why));
  EXPECT_EQ(back, "\xff");
  for (const char* bad : {"a\\q", "\\x4", "\\xg1", "end\\"}) {
    EXPECT_FALSE(kvtools::unescapeBytes(bad, &back, &why)) << bad;
    EXPECT_NE(why.find("starts no escape"), std::string::npos) << bad;
  }
}

}  // namespace
