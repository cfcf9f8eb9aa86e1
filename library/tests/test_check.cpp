// The checker on modules built in memory: messages, constraints and the result's JSON form.
#include <gtest/gtest.h>

#include "travune/check.hpp"
#include "travune/fatal.hpp"

namespace travune {
namespace {

TensorType ty(std::string dtype, std::vector<Dim> shape) { return {std::move(dtype), std::move(shape)}; }

Op op(OpKind kind, std::string out, std::optional<TensorType> t, std::vector<Atom> args) {
  return Op{std::move(kind), {std::move(out)}, {std::move(t)}, std::move(args), {}};
}

Module module_of(std::vector<std::pair<std::string, Function>> fns) {
  Module m;
  for (auto& [key, fn] : fns) m.functions.insert_or_assign(key, std::move(fn));
  return m;
}

TEST(Check, EmptyModule) {
  EXPECT_EQ(write_check_result_json(check(Module{})),
            R"({"errors":[],"constraints":{"params":[],"weights":{}}})");
}

TEST(Check, ViewReshapeWrapsProducts) {
  // (2^63 - 1) * 2 wraps to -2 in signed 64-bit arithmetic.
  Function f{"f", {}, {{"x", ty("f32", {std::int64_t{9223372036854775807}, std::int64_t{2}})}}, {},
             {op(View{}, "y", ty("f32", {std::int64_t{1}}), {std::string("x")})}};
  CheckResult r = check(module_of({{"f", f}}));
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0], "f/y: view reshapes -2 elements to 1");
}

TEST(Check, DeclaredExpectedAndWeights) {
  Function g{"g", {}, {{"q", ty("f32", {std::string("d")})}}, {}, {}};
  Function f{"f", {}, {{"w", ty("*", {})}, {"x", ty("i32", {std::string("n")})}},
             {{"y", ty("f32", {std::string("param.n")})}},
             {op(Fold{"a -> a", "sum"}, "y", ty("f32", {std::string("n")}), {std::string("x")}),
              op(Call{"g"}, "z", ty("f32", {}), {std::string("w.q")})}};
  std::string json = write_check_result_json(check(module_of({{"main", f}, {"g", g}})));
  EXPECT_EQ(json,
            "{\"errors\":[\"main/y: declared Ty { dtype: \\\"f32\\\", shape: [Named(\\\"n\\\")] }, "
            "expected Ty { dtype: \\\"i32\\\", shape: [Named(\\\"n\\\")] } \xE2\x80\x94 dtype: i32 vs f32\"],"
            "\"constraints\":{\"params\":[\"param.n\"],"
            "\"weights\":{\"main\":{\"w.q\":{\"dtype\":\"f32\",\"shape\":[\"d\"]}}}}}");
}

TEST(Check, OpWithoutOutputTypesStops) {
  Function f{"f", {}, {}, {}, {Op{Iota{}, {"y"}, {}, {}, {}}}};
  EXPECT_THROW(check(module_of({{"f", f}})), Fatal);
  Function g{"g", {}, {}, {}, {Op{Iota{}, {}, {ty("f32", {})}, {}, {}}}};
  EXPECT_THROW(check(module_of({{"g", g}})), Fatal);
}

}  // namespace
}  // namespace travune
