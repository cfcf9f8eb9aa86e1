// Token-level checks of the tokenizer and the token stream, where the Python side sees
// tokens only through what the parser builds from them.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "parse_stream.hpp"
#include "travune/fatal.hpp"
#include "travune/parse.hpp"

namespace travune {
namespace {

std::vector<std::string> tokens_of(std::string_view text) {
  std::vector<std::string> out;
  for (std::string_view t : tokenize(text)) out.emplace_back(t);
  return out;
}

using Tokens = std::vector<std::string>;

struct Case {
  std::string_view text;
  Tokens tokens;
};

class TokenizeTest : public testing::TestWithParam<Case> {};

TEST_P(TokenizeTest, SplitsAsWritten) {
  EXPECT_EQ(tokens_of(GetParam().text), GetParam().tokens) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Rules, TokenizeTest, testing::Values(
    Case{"", {}},
    Case{" \t\r\n\f", {}},
    Case{"- >", {"-"}},
    Case{"-inf +5", {"-", "inf", "+", "5"}},
    Case{".... .. .", {"..."}},
    Case{R"("a\"b")", {R"("a\"b")"}},
    Case{R"(x "ab\)", {"x", R"("ab\)"}},
    Case{R"(x "a)", {"x", R"("a)"}},
    Case{"\"", {"\""}},
    Case{"\"a\nb\" c", {"\"a\nb\"", "c"}},
    Case{"a//b\r\nc", {"a", "//b\r", "c"}},
    Case{"a//", {"a", "//"}},
    Case{"1. 1e 1e+ -12.5e-3 1E7 2elements", {"1.", "1e", "1e+", "-12.5e-3", "1E7", "2e", "lements"}},
    Case{"1.2.3 .5", {"1.2", "3", "5"}},
    Case{"layers.*.w x.** a.*b a* _", {"layers.*", "w", "x.*", "*", "a.*", "b", "a", "*", "_"}},
    Case{"f32[B,T]{}", {"f32", "[", "B", ",", "T", "]", "{", "}"}},
    Case{"\xef\xbb\xbf" "ab\xc3\xa9" "cd\x0b" "e\x7f", {"ab", "cd", "e"}}));

TEST(StreamTest, CommentsArePendingUntilTaken) {
  std::string_view text = "// a\nx // b\n/ y";
  Stream s(text);
  EXPECT_FALSE(peek_is(s, "y"));
  EXPECT_EQ(s.comments.size(), 1u);
  EXPECT_EQ(next_token(s), "x");
  EXPECT_EQ(next_token(s), "/");  // a single slash is no comment
  EXPECT_EQ(take_comments(s), (std::vector<std::string>{"// a", "// b"}));
  EXPECT_TRUE(s.comments.empty());
  expect(s, "y");
  EXPECT_TRUE(at_end(s));
  EXPECT_FALSE(peek_is(s, "y"));
  EXPECT_THROW(next_token(s), Fatal);
}

TEST(StreamTest, ExpectNamesBothTokens) {
  Stream s("-");
  try {
    expect(s, "->");
    FAIL();
  } catch (const Fatal& e) {
    EXPECT_EQ(e.message, R"(Expected "->", got "-")");
  }
}

// The stream tokenizes a window at a time: tokens and comments on both sides of a window's
// end come in order, and a construct opened at a token of an earlier window is placed in the
// source when the text ends inside it.
TEST(StreamTest, WindowsJoinWithoutSeams) {
  std::string text;
  for (int i = 0; i < 10000; ++i) {
    if (i % 7 == 0) {
      text += "// c\n";
    } else {
      text += 't';
      text += std::to_string(i);
      text += ' ';
    }
  }
  Stream s(text);
  std::vector<std::string_view> all = tokenize(text);
  std::size_t names = 0;
  std::string_view second_name;
  while (!at_end(s)) {
    std::string_view t = next_token(s);
    EXPECT_EQ(t, all[s.pos - 1]);
    if (++names == 2) second_name = t;
  }
  EXPECT_EQ(names + take_comments(s).size(), all.size());
  EXPECT_GT(s.first, 0u);  // the stream has left its first window

  auto stop_message = [&]() -> std::string {
    try {
      next_token(s);
    } catch (const Fatal& e) {
      return e.message;
    }
    return "no stop";
  };
  EXPECT_EQ(stop_message(), "unexpected end of text");
  Opening open(s, Construct::Arguments, second_name, "map");
  // "// c\nt1 t2 ": the second name is on line 2, column 4.
  EXPECT_EQ(second_name, "t2");
  EXPECT_EQ(stop_message(),
            "unexpected end of text: the argument list of \"map\" opened at line 2, column 4 is "
            "not closed");
}

}  // namespace
}  // namespace travune
