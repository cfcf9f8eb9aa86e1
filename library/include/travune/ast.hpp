#pragma once
// The records of one trv program. Plain values: every copy is a deep copy,
// no record points back to its owner, and passes build new records from old ones.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <tsl/ordered_map.h>

#include "travune/hash.hpp"
#include "travune/interrupt.hpp"

namespace travune {

// Insertion-ordered map: a repeated key (insert_or_assign) keeps its first position.
// Its values live in a vector, so the map (and every record holding one) moves without
// throwing and an empty map allocates nothing.
template <class V>
using OrderedMap =
    tsl::ordered_map<std::string, V, KeyedHash, std::equal_to<std::string>,
                     std::allocator<std::pair<std::string, V>>,
                     std::vector<std::pair<std::string, V>>>;

// Dim: Concrete (index 0) or Named (index 1).
using Dim = std::variant<std::int64_t, std::string>;

// The size a float value gives an axis or a dimension: truncated toward zero, saturating at the
// ends of the signed 64-bit range; NaN gives 0.
std::int64_t truncate_saturating(double x);

// Atom: Int, Float, Name.
using Atom = std::variant<std::int64_t, double, std::string>;
// LoopCount: Fixed, Symbolic.
using LoopCount = std::variant<std::uint64_t, std::string>;

struct LiteralValue;
using LiteralList = std::vector<LiteralValue>;
// LiteralValue: Int, Float, List (nested to any depth).
struct LiteralValue {
  std::variant<std::int64_t, double, LiteralList> v;
  bool operator==(const LiteralValue&) const = default;
};

// The number of lists nested in v, the outermost included (0 for a number). Found without
// recursion: copying, comparing and freeing a value recurse as deep as it nests, so this
// says how much stack those take before they start.
std::size_t literal_depth(const LiteralValue& v);
// The number of values in v, its lists and numbers alike (1 for a number). Found without
// recursion, polling for an interrupt as it goes (travune/interrupt.hpp).
std::size_t literal_count(const LiteralValue& v);
// `to` made a copy of `from`, without recursion and polling as it goes: the copy constructor
// recurses as deep as the value nests and copies a list of any length in one step.
void assign_literal(LiteralValue& to, const LiteralValue& from);

struct TensorType {
  std::string dtype;  // "*" marks the wildcard type of a namespace parameter
  std::vector<Dim> shape;
  bool operator==(const TensorType&) const = default;
};

struct Param {
  std::string name;
  TensorType ty;
  bool operator==(const Param&) const = default;
};

// The thirteen op kinds, in their fixed order (the variant index is the kind number).
struct View { std::string pattern; OrderedMap<std::int64_t> axes; bool operator==(const View&) const = default; };
struct Map { std::string function; bool operator==(const Map&) const = default; };
struct Fold { std::string pattern; std::string reduction; bool operator==(const Fold&) const = default; };
struct Tile { std::string pattern; OrderedMap<std::int64_t> axes; bool operator==(const Tile&) const = default; };
struct Read { std::string pattern; bool operator==(const Read&) const = default; };
struct Write { std::string pattern; std::string reduction; bool operator==(const Write&) const = default; };
struct Contract { std::string pattern; bool operator==(const Contract&) const = default; };
struct Literal { LiteralValue value; bool operator==(const Literal&) const = default; };
struct Iota { bool operator==(const Iota&) const = default; };
struct Random { double lower = 0; double upper = 0; bool operator==(const Random&) const = default; };
struct Call { std::string target; bool operator==(const Call&) const = default; };
struct Loop { std::string target; LoopCount count; bool operator==(const Loop&) const = default; };
struct Cache {
  std::string var;
  std::string init;
  std::optional<std::string> extend;
  bool operator==(const Cache&) const = default;
};

using OpKind = std::variant<View, Map, Fold, Tile, Read, Write, Contract, Literal, Iota, Random,
                            Call, Loop, Cache>;

// The kind words, indexed like OpKind: the one table between a kind and its word.
inline constexpr std::array<std::string_view, std::variant_size_v<OpKind>> kind_words = {
    "view", "map", "fold", "tile", "read", "write", "contract",
    "literal", "iota", "random", "call", "loop", "cache"};

inline std::string_view kind_word(const OpKind& kind) { return kind_words[kind.index()]; }

// The op kind that `word` names, built by `build`, which is called with that kind's default
// value and returns the kind to keep; for an unknown word, what `unknown()` returns (it may
// stop the call instead). `build` takes every kind, so a kind added to OpKind does not
// compile until every reader builds it. Inline, and the kinds tried in turn with each one's
// size and bytes known here: the readers ask it for every op.
template <std::size_t I = 0, class Build, class Unknown>
OpKind build_kind_named(std::string_view word, Build&& build, Unknown&& unknown) {
  if constexpr (I == kind_words.size()) {
    return unknown();
  } else {
    constexpr std::string_view known = kind_words[I];
    if (word.size() == known.size() && std::memcmp(word.data(), known.data(), known.size()) == 0)
      return build(std::variant_alternative_t<I, OpKind>{});
    return build_kind_named<I + 1>(word, build, unknown);
  }
}

// `to` made a copy of `from` (the storage of a kind alike is reused), polling as it goes: a
// literal's list as assign_literal copies it, and a long map of axes in steps.
void assign_long_kind(OpKind& to, const OpKind& from);
inline void assign_kind(OpKind& to, const OpKind& from) {
  const auto* literal = std::get_if<Literal>(&from);
  const auto* view = std::get_if<View>(&from);
  const auto* tile = std::get_if<Tile>(&from);
  if ((literal && std::holds_alternative<LiteralList>(literal->value.v)) ||
      (view && view->axes.size() > kPollBatch) || (tile && tile->axes.size() > kPollBatch))
    [[unlikely]] return assign_long_kind(to, from);
  to = from;
}

struct Op {
  OpKind kind;
  std::vector<std::string> outputs;
  std::vector<std::optional<TensorType>> output_types;  // paired with outputs by position
  std::vector<Atom> args;
  std::vector<std::string> comments;
  bool operator==(const Op&) const = default;
};

// Moving an op, and so growing a vector of ops, never throws: a vector relocates its ops by
// moving them, never by copying.
static_assert(std::is_nothrow_move_constructible_v<OpKind>);
static_assert(std::is_nothrow_move_constructible_v<Op>);

struct Function {
  std::string name;
  std::vector<std::string> comments;
  std::vector<Param> params;
  std::vector<Param> returns;
  std::vector<Op> ops;
  bool operator==(const Function&) const = default;
};

struct Module {
  std::vector<std::string> header_comments;
  OrderedMap<Function> functions;
  bool operator==(const Module&) const = default;
};

// What a reader of a module (the parser, the JSON reader) hands over as it reads, in document
// order: the header comments, and each function with its key as soon as it is read. The key
// stays valid until the reading returns; the function is the visitor's to move from or to
// leave (a reader may reuse what is left for the next function). Keys may repeat: a Module
// keeps a repeated key's first position and its last function.
struct ModuleVisitor {
  std::function<void(std::vector<std::string>&& comments)> header_comments;
  std::function<void(std::string_view key, Function& fn)> function;
};

// What the work on `op` counts toward the interrupt check: kOpUnits, and kElementUnits for
// each argument, output, type and comment. A pass polls once per op with these, and inside
// a list of the op only after each full batch (poll_element).
inline std::int64_t op_units(const Op& op) {
  return kOpUnits + kElementUnits * static_cast<std::int64_t>(op.args.size() + op.outputs.size() +
                                                              op.output_types.size() +
                                                              op.comments.size());
}

// Freeing a list of millions of elements at once takes tens of milliseconds. What drops (or
// reuses) an op, a function or a module that may be that large first empties its long lists
// with these, which poll for an interrupt as they go (travune/interrupt.hpp): an op's
// arguments, outputs, types, comments, axes and literal value, a function's parameters,
// returns, comments and ops (and those of each op). Short lists are left as they are.
void release_long_lists(Op& op);
void release_long_lists(Function& f);
void release_long_lists(Module& m);

// Whether release_long_lists(op) has anything to do, told from the sizes of its lists (the
// shapes of its types aside) and its kind.
inline bool has_long_list(const Op& op) {
  if (op.args.size() > kLongList || op.outputs.size() > kLongList ||
      op.output_types.size() > kLongList || op.comments.size() > kLongList)
    return true;
  if (std::holds_alternative<Literal>(op.kind)) return true;
  if (const auto* v = std::get_if<View>(&op.kind)) return v->axes.size() > kLongList;
  if (const auto* t = std::get_if<Tile>(&op.kind)) return t->axes.size() > kLongList;
  return false;
}

// Debug forms used in messages.
// A string: "…" with \" \\ \t \r \n \0 and \u{hex} for non-printable characters and combining marks.
std::string debug_str(std::string_view s);
void append_debug_str(std::string& out, std::string_view s);
// A Dim: Concrete(4), Named("n").
std::string debug_dim(const Dim& d);
void append_debug_dim(std::string& out, const Dim& d);
// A TensorType: TensorType { dtype: "f32", shape: [Named("n"), Concrete(4)] }.
std::string debug_type(const TensorType& t);

inline bool starts_with_param(std::string_view s) { return s.starts_with("param."); }

}  // namespace travune
