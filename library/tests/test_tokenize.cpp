// The whole-text tokenizer, which only the fuzz targets call, against the token stream the
// parser reads a window at a time.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "parse_stream.hpp"

namespace travune {
namespace {

TEST(Tokenize, WholeTextAgreesWithTheStream) {
  std::string text;
  for (int i = 0; i < 10000; ++i) text += i % 7 == 0 ? std::string("// c\n") : 't' + std::to_string(i) + ' ';
  const std::vector<std::string_view> all = tokenize(text);
  Stream s(text);
  std::size_t names = 0;
  for (; !at_end(s); ++names) {
    const std::string_view token = next_token(s);
    EXPECT_EQ(token, all[s.pos - 1]);
  }
  EXPECT_GT(s.first, 0u);  // the stream has left its first window
  EXPECT_EQ(names + take_comments(s).size(), all.size());
}

}  // namespace
}  // namespace travune
