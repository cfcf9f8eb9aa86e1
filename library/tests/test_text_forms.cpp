// Float layouts and debug forms, checked directly against tables of exact texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "number_text.hpp"
#include "travune/ast.hpp"

namespace travune {
namespace {

std::string repr(double x) {
  std::string out;
  append_python_repr(out, x);
  return out;
}

std::string positional(double x) {
  std::string out;
  append_positional(out, x);
  return out;
}

TEST(FloatText, PythonRepr) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {100000.0, "100000.0"},
      {0.0001, "0.0001"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {1e-05, "1e-05"},
      {5e-324, "5e-324"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {1.5e300, "1.5e+300"},
      {123456789.125, "123456789.125"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {2.5e-7, "2.5e-07"},
      {9999999999999998.0, "9999999999999998.0"},
  };
  for (auto [x, text] : cases) EXPECT_EQ(repr(x), text) << x;
}

TEST(FloatText, Positional) {
  const std::pair<double, const char*> cases[] = {
      {3.0, "3"}, {0.5, "0.5"}, {1e-7, "0.0000001"}, {1e20, "100000000000000000000"},
      {-0.0, "-0"}, {0.0, "0"}, {-1.25, "-1.25"},
  };
  for (auto [x, text] : cases) EXPECT_EQ(positional(x), text) << x;
}

TEST(DebugForms, Strings) {
  const std::pair<std::string, const char*> cases[] = {
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {std::string("t\tr\rn\nz\0", 8), R"("t\tr\rn\nz\0")"},
      {"it's", R"("it's")"},
      {"\x01\x7f", R"("\u{1}\u{7f}")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},            // printable non-ASCII stays
      {"e\xcc\x81", R"("e\u{301}")"},                // combining acute accent (Mn)
      {"\xc2\xa0", R"("\u{a0}")"},                   // no-break space (Zs other than space)
      {"\xe2\x80\xa8", R"("\u{2028}")"},             // line separator (Zl)
      {"\xc2\xad", R"("\u{ad}")"},                   // soft hyphen (Cf)
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // emoji, printable
  };
  for (const auto& [s, text] : cases) EXPECT_EQ(debug_str(s), text);
}

TEST(DebugForms, DimsAndTypes) {
  EXPECT_EQ(debug_dim(Dim{std::int64_t{-1}}), "Concrete(-1)");
  EXPECT_EQ(debug_dim(Dim{std::string("...")}), "Named(\"...\")");
  TensorType t{"f32", {std::string("n"), std::int64_t{4}}};
  EXPECT_EQ(debug_type(t), "TensorType { dtype: \"f32\", shape: [Named(\"n\"), Concrete(4)] }");
  EXPECT_EQ(debug_type(TensorType{"*", {}}), "TensorType { dtype: \"*\", shape: [] }");
}

}  // namespace
}  // namespace travune

namespace travune {
// Records move without copying when vectors of them grow.
static_assert(std::is_nothrow_move_constructible_v<Op>);
static_assert(std::is_nothrow_move_constructible_v<Function>);
static_assert(std::is_nothrow_move_constructible_v<Module>);
}  // namespace travune
