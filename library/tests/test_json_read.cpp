// The JSON reader on bytes that a Python str cannot carry: text that is not UTF-8.
#include <gtest/gtest.h>

#include "travune/json.hpp"

namespace travune {
namespace {

TEST(JsonRead, InvalidUtf8IsRefused) {
  try {
    read_module_json("{\"a\xff\":1}");
    FAIL() << "read text that is not UTF-8";
  } catch (const JsonError& e) {
    EXPECT_EQ(e.message, "invalid unicode code point");
    EXPECT_EQ(e.column, 4u);
  }
}

}  // namespace

// Records move without copying when vectors of them grow.
static_assert(std::is_nothrow_move_constructible_v<Function>);
static_assert(std::is_nothrow_move_constructible_v<Module>);

}  // namespace travune
