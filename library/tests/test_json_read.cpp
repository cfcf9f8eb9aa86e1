// The JSON reader against the writer: modules built in memory read back equal, and the values
// that the form cannot carry fail as they should.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "travune/fatal.hpp"
#include "travune/json.hpp"

namespace travune {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TensorType ty(std::string dtype, std::vector<Dim> shape) { return {std::move(dtype), std::move(shape)}; }

Op op(OpKind kind, std::vector<Atom> args = {}) {
  return Op{std::move(kind), {"y"}, {ty("f32", {std::int64_t{4}, std::string("n")})}, std::move(args), {}};
}

OrderedMap<std::int64_t> axes(std::vector<std::pair<std::string, std::int64_t>> items) {
  OrderedMap<std::int64_t> m;
  for (auto& [k, v] : items) m.insert_or_assign(k, v);
  return m;
}

LiteralValue lit_list(std::vector<LiteralValue> items) { return {LiteralList(std::move(items))}; }

// Every kind, every optional part present and absent, awkward strings and extreme numbers.
Module every_kind() {
  Function f;
  f.name = "main \"q\" \\ \t\n\x01 é 😀";
  f.comments = {"// one", "// two"};
  f.params = {{"x", ty("f32", {std::string("..."), std::int64_t{-1}, std::int64_t{0}})},
              {"ns", ty("*", {})},
              {"big", ty("i64", {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()})}};
  f.returns = {{"y", ty("f32", {std::string("param.d")})}};
  f.ops = {
      op(View{"a b -> (a b)", axes({{"b", 3}, {"a", 2}})}, {std::string("x")}),
      op(View{"a -> a", {}}),
      op(Map{"exp"}, {std::string("x"), std::int64_t{-7}, 0.5, 1e300, -0.0, 5e-324}),
      op(Fold{"a b -> a", "sum"}),
      op(Tile{"a -> a b", axes({{"b", -4}})}),
      op(Read{"a"}),
      op(Write{"a", "max"}),
      op(Contract{"a b, b c -> a c"}),
      op(Literal{{std::int64_t{-3}}}),
      op(Literal{lit_list({{1.5}, {inf}, {-inf}, lit_list({}), lit_list({lit_list({{std::int64_t{-1}}})})})}),
      op(Iota{}),
      op(Random{-1.0, 2.5}),
      op(Call{"g"}, {std::string("weights.w")}),
      op(Loop{"body", std::uint64_t{18446744073709551615u}}),
      op(Loop{"body", std::string("param.n")}),
      op(Loop{"body", std::string()}),
      op(Cache{"k", "k0", std::nullopt}),
      op(Cache{"k", "k0", std::string("k1")}),
  };
  f.ops[1].comments = {"// attached"};
  f.ops[2].outputs = {"a", "b", "c"};
  f.ops[2].output_types = {std::nullopt};
  f.ops[3].outputs = {};
  f.ops[3].output_types = {};
  Function g;
  g.name = "g";
  Module m;
  m.header_comments = {"// header", ""};
  m.functions.insert_or_assign("main", f);
  m.functions.insert_or_assign("key differs", g);
  m.functions.insert_or_assign("", g);
  return m;
}

TEST(JsonRead, WriteThenReadGivesTheSameModule) {
  Module m = every_kind();
  std::string text = write_module_json(m);
  EXPECT_EQ(read_module_json(text), m);
  EXPECT_EQ(write_module_json(read_module_json(text)), text);
}

TEST(JsonRead, NanLiteralReadsBackAsNan) {
  Module m;
  Function f;
  f.ops = {op(Literal{lit_list({{std::nan("")}, {-std::nan("")}})})};
  m.functions.insert_or_assign("f", f);
  std::string text = write_module_json(m);
  Module back = read_module_json(text);
  const auto& list = std::get<LiteralList>(std::get<Literal>(back.functions.at("f").ops[0].kind).value.v);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(std::isnan(std::get<double>(list[0].v)));
  EXPECT_TRUE(std::isnan(std::get<double>(list[1].v)));
  EXPECT_EQ(write_module_json(back), text);
}

TEST(JsonRead, EmptyModuleAndEmptyFunction) {
  Module m;
  EXPECT_EQ(read_module_json(write_module_json(m)), m);
  m.functions.insert_or_assign("f", Function{});
  EXPECT_EQ(read_module_json(write_module_json(m)), m);
}

TEST(JsonRead, NonFiniteAtomDoesNotSurvive) {
  Module m;
  Function f;
  f.ops = {op(Map{"exp"}, {inf})};
  m.functions.insert_or_assign("f", f);
  try {
    read_module_json(write_module_json(m));
    FAIL() << "read a null atom";
  } catch (const JsonError& e) {
    EXPECT_EQ(e.message, "data did not match any variant of untagged enum Atom");
  }
}

TEST(JsonRead, NonFiniteRandomBoundStops) {
  Module m;
  Function f;
  f.ops = {op(Random{inf, 1.0})};
  m.functions.insert_or_assign("f", f);
  try {
    read_module_json(write_module_json(m));
    FAIL() << "read a null bound";
  } catch (const Fatal& e) {
    EXPECT_EQ(e.message, "random requires 'lower' field");
  }
}

JsonError error_of(std::string_view text) {
  try {
    read_module_json(text);
  } catch (const JsonError& e) {
    return e;
  }
  ADD_FAILURE() << "read without error: " << text;
  return {};
}

TEST(JsonRead, ErrorPositionsCountLinesAndBytes) {
  JsonError e = error_of("{\n  \"é\": 1,\n  \"x\": ?}");
  EXPECT_EQ(e.message, "expected value");
  EXPECT_EQ(e.line, 3u);
  EXPECT_EQ(e.column, 8u);
  e = error_of("{\"é\":1}");
  EXPECT_EQ(e.message, "missing field `functions`");
  EXPECT_EQ(e.column, 8u);  // bytes, not characters
  e = error_of("{}\n");
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, 2u);
}

TEST(JsonRead, InvalidUtf8IsRefused) {
  JsonError e = error_of("{\"a\xff\":1}");
  EXPECT_EQ(e.message, "invalid unicode code point");
  EXPECT_EQ(e.column, 4u);
}

TEST(JsonRead, NulAfterTheValueIsATrailingCharacter) {
  JsonError e = error_of(std::string_view("{\"functions\":{}}\0", 17));
  EXPECT_EQ(e.message, "trailing characters");
  EXPECT_EQ(e.column, 17u);
}

TEST(JsonRead, DebugFormOfAnError) {
  EXPECT_EQ(debug_form(JsonError{"missing field `functions`", 1, 2}),
            "Error(\"missing field `functions`\", line: 1, column: 2)");
  EXPECT_EQ(debug_form(JsonError{"a \"b\"", 3, 4}), "Error(\"a \\\"b\\\"\", line: 3, column: 4)");
}

TEST(JsonRead, NumericObjects) {
  auto members = read_numeric_object_json(
      R"({"a": 1, "b": 1.0, "c": [1, 2.5], "d": [], "a": -9223372036854775808, "e": 9223372036854775808})", "X");
  ASSERT_EQ(members.size(), 6u);
  EXPECT_EQ(members[0].first, "a");
  EXPECT_EQ(members[0].second, NumericValue(std::int64_t{1}));
  EXPECT_EQ(members[1].second, NumericValue(1.0));
  EXPECT_EQ(members[2].second, NumericValue(std::vector<double>{1.0, 2.5}));
  EXPECT_EQ(members[3].second, NumericValue(std::vector<double>{}));
  EXPECT_EQ(members[4].second, NumericValue(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(members[5].second, NumericValue(9223372036854775808.0));
  try {
    read_numeric_object_json(R"({"a": true})", "X");
    FAIL();
  } catch (const JsonError& e) {
    EXPECT_EQ(e.message, "data did not match any variant of untagged enum X");
    EXPECT_EQ(e.column, 11u);
  }
}

}  // namespace
}  // namespace travune
