// The flattener on modules built in C++: expansion, renaming and the stops that
// guard against cycles and runaway unrolling.
#include <gtest/gtest.h>

#include "travune/fatal.hpp"
#include "travune/flatten.hpp"
#include "travune/json.hpp"

namespace travune {
namespace {

Atom N(std::string s) { return Atom(std::in_place_index<2>, std::move(s)); }
TensorType f32() { return TensorType{"f32", {}}; }

Op map_op(std::string fn, std::vector<std::string> outs, std::vector<Atom> args) {
  return Op{Map{std::move(fn)}, std::move(outs), {}, std::move(args), {}};
}

Module example() {
  Module m;
  Function block{"block", {}, {{"x", {"f32", {std::string("n")}}}, {"w", {"*", {}}}},
                 {{"y", f32()}}, {}};
  block.ops.push_back(map_op("mul", {"t"}, {N("x"), N("w.scale")}));
  block.ops.push_back(map_op("add", {"y"}, {N("t"), N("w.bias")}));
  Function main{"main", {}, {{"h", f32()}}, {{"o", f32()}}, {}};
  main.ops.push_back(Op{Loop{"block", std::uint64_t{2}}, {"h"}, {}, {N("h"), N("weights.layers.*")}, {}});
  main.ops.push_back(map_op("relu", {"o"}, {N("h")}));
  m.functions.insert_or_assign("block", block);
  m.functions.insert_or_assign("main", main);
  return m;
}

std::string ops_text(const Module& m) {
  std::string s;
  for (const Op& op : m.functions.begin()->second.ops) {
    for (const auto& o : op.outputs) s += o + " ";
    s += "=";
    for (const auto& a : op.args) {
      s += " ";
      if (auto* n = std::get_if<std::string>(&a)) s += *n;
      else if (auto* i = std::get_if<std::int64_t>(&a)) s += std::to_string(*i);
      else s += "F";
    }
    s += "; ";
  }
  return s;
}

std::string stop(const Module& m, std::string entry = "main") {
  try {
    flatten(m, entry, {});
  } catch (const Fatal& f) {
    return f.message;
  }
  return "no stop";
}

TEST(Flatten, LoopExample) {
  EXPECT_EQ(ops_text(flatten(example(), "main", {})),
            "loop0.t = h weights.layers.0.scale; h_1 = loop0.t weights.layers.0.bias; "
            "loop1.t = h_1 weights.layers.1.scale; h_2 = loop1.t weights.layers.1.bias; o = h_2; ");
}

TEST(Flatten, Recursion) {
  Module m = example();
  m.functions["block"].ops.push_back(Op{Call{"main"}, {"q"}, {}, {N("x")}, {}});
  EXPECT_EQ(stop(m), "recursive call: main -> block -> main");
}

TEST(Flatten, HugeCount) {
  Module m = example();
  std::get<Loop>(m.functions["main"].ops[0].kind).count = std::uint64_t(-1);
  EXPECT_EQ(stop(m), "loop over 'block' with count 18446744073709551615 would produce more than 100000000 ops");
}

TEST(Flatten, DeepChain) {
  Module m;
  for (int i = 0; i < 300; ++i) {
    Function f{std::string("f") + std::to_string(i), {}, {{"x", f32()}}, {{"y", f32()}}, {}};
    f.ops.push_back(Op{Call{std::string("f") + std::to_string(i + 1)}, {"y"}, {}, {N("x")}, {}});
    m.functions.insert_or_assign(f.name, f);
  }
  EXPECT_EQ(stop(m, "f0"), "calls nested more than 256 levels deep: f0 -> ... -> f255 -> f256");
}

}  // namespace
}  // namespace travune
