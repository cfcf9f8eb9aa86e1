// The resolver on modules built in C++, before module JSON can be read.
#include <gtest/gtest.h>

#include "travune/fatal.hpp"
#include "travune/resolve.hpp"

namespace travune {
namespace {

TensorType f32(std::vector<Dim> shape) { return {"f32", std::move(shape)}; }

Op view(std::string pattern, std::string arg, TensorType out) {
  Op op;
  op.kind = View{std::move(pattern), {}};
  op.outputs = {"y"};
  op.output_types = {std::move(out)};
  op.args = {std::move(arg)};
  return op;
}

Module one_op(TensorType in, Op op) {
  Function f;
  f.name = "main";
  f.params = {{"x", std::move(in)}};
  f.ops = {std::move(op)};
  Module m;
  m.functions.insert_or_assign("main", std::move(f));
  return m;
}

std::vector<std::pair<std::string, std::int64_t>> axes_of(const Module& m) {
  const auto& kind = m.functions.at("main").ops.at(0).kind;
  std::vector<std::pair<std::string, std::int64_t>> out;
  for (const auto& [k, v] : std::get<View>(kind).axes) out.emplace_back(k, v);
  return out;
}

using Axes = std::vector<std::pair<std::string, std::int64_t>>;

TEST(Resolve, SplitsAGroupAndLeavesTheInputUnchanged) {
  Module m = one_op(f32({2, 32}), view("b (h d) -> b h d", "x", f32({2, 4, 8})));
  Module r = resolve(m);
  EXPECT_EQ(axes_of(r), (Axes{{"h", 4}, {"d", 8}}));
  EXPECT_TRUE(axes_of(m).empty());
}

TEST(Resolve, OneUnknownInAGroup) {
  Module m = one_op(f32({2, 8}), view("b n -> b (h n)", "x", f32({2, 32})));
  EXPECT_EQ(axes_of(resolve(m)), (Axes{{"h", 4}}));
}

TEST(Resolve, WrappingProductIsNotPositive) {
  // 2^32 * 2^32 wraps to 0: nothing is inferred.
  std::int64_t big = std::int64_t{1} << 32;
  Module m = one_op(f32({big, big}), view("a b -> (a b c)", "x", f32({7})));
  EXPECT_TRUE(axes_of(resolve(m)).empty());
}

TEST(Resolve, NegativeTotalTruncatesTowardZero) {
  Module m = one_op(f32({2}), view("a -> (a c)", "x", f32({std::int64_t{-7}})));
  EXPECT_EQ(axes_of(resolve(m)), (Axes{{"c", -3}}));
}

TEST(Resolve, UnclosedGroupStops) {
  Module m = one_op(f32({2, 32}), view("b (h d -> b h d", "x", f32({2, 4, 8})));
  EXPECT_THROW(resolve(m), Fatal);
}

TEST(Resolve, EmptyOutputTypesStops) {
  Op op;
  op.kind = Iota{};
  op.outputs = {"y"};
  EXPECT_THROW(resolve(one_op(f32({2}), op)), Fatal);
}

}  // namespace
}  // namespace travune
