// The axis-size resolver. For each view and tile op without axes, the pattern's left side is
// bound to the concrete dimensions of the first argument and its right side to those of the
// declared output type; output-side axes that the pattern leaves implicit get their sizes.
#include "travune/resolve.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "regex.hpp"
#include "travune/fatal.hpp"
#include "travune/hash.hpp"
#include "travune/interrupt.hpp"

namespace travune {
namespace {

// The tokens of a pattern side, tried in this order at each position: "...", "(", ")", a name
// (an ASCII letter or underscore, then word characters) and a run of decimal digits.
// Word characters are the language's: alphabetic characters, marks, decimal digits, connector
// punctuation and join controls. PCRE2's own \w is another set that changed between releases
// (letters, numbers and "_" up to 10.42), so the class is spelled out with the Unicode
// properties that PCRE2 knows since 10.40, Alphabetic and Join_Control among them. Digits are
// the Unicode decimal digits (Nd). Which characters carry a property follows the Unicode
// version of the installed PCRE2's tables.
constexpr std::string_view pattern_text =
    R"(\.\.\.|\(|\)|[a-zA-Z_][\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\p{Join_Control}]*|\p{Nd}+)";

// Compiled on first use, under the function-local static's once-only guard; read-only after.
const Regex& pattern_re() {
  static const Regex PATTERN_RE(pattern_text);
  return PATTERN_RE;
}

// One element of a pattern side: an axis (one token) or a group (the tokens written between
// "(" and the next ")"). Both are ranges of the side's token list, which holds views into the
// pattern text.
struct PatternElem {
  bool group = false;
  std::size_t begin = 0;  // tokens[begin, end); an axis has exactly one token
  std::size_t end = 0;
};

struct PatternSide {
  bool ellipsis = false;  // "..." occurred outside every group
  std::vector<std::string_view> tokens;
  std::vector<PatternElem> elems;

  std::string_view axis(const PatternElem& e) const { return tokens[e.begin]; }
};

// Tokenises one side of a pattern into `side`. Characters that no token
// matches (blanks, commas, "->", stray dots, a non-ASCII letter starting a name) are skipped.
void parse_pattern_side(std::string_view text, PatternSide& side) {
  side.ellipsis = false;
  side.tokens.clear();
  side.elems.clear();
  pattern_re().for_each_match(text, [&](std::string_view tok) {
    emplace_polled(side.tokens, tok);
    poll_interrupt(kElementUnits);  // a pattern may name any number of axes
  });
  const auto& tokens = side.tokens;
  std::size_t i = 0;
  while (i < tokens.size()) {
    poll_interrupt(kElementUnits);
    if (tokens[i] == "...") {
      side.ellipsis = true;
      ++i;
    } else if (tokens[i] == "(") {
      // Everything up to the next ")" is a member, "(" and "..." included.
      std::size_t close = i + 1;
      while (close < tokens.size() && tokens[close] != ")") ++close;
      if (close == tokens.size()) fatal("unclosed \"(\" in pattern side " + debug_str(text));
      emplace_polled(side.elems, PatternElem{true, i + 1, close});
      i = close + 1;
    } else {
      // a name, a digit run or a stray ")"
      emplace_polled(side.elems, PatternElem{false, i, i + 1});
      ++i;
    }
  }
}

bool starts_with_ascii_digit(std::string_view s) { return !s.empty() && s[0] >= '0' && s[0] <= '9'; }

// The dimension index paired with element j: from the left, or aligned to the right end of
// the shape when the side has an ellipsis (wherever it stands).
std::int64_t dim_index(const PatternSide& side, std::size_t rank, std::size_t j) {
  std::int64_t offset = side.ellipsis ? static_cast<std::int64_t>(rank) -
                                            static_cast<std::int64_t>(side.elems.size())
                                      : 0;
  return offset + static_cast<std::int64_t>(j);
}

// The concrete size at `index` of `shape`, or null when the index lies outside or the dimension
// is symbolic.
const std::int64_t* concrete_at(const std::vector<Dim>& shape, std::int64_t index) {
  if (index < 0 || index >= static_cast<std::int64_t>(shape.size())) return nullptr;
  return std::get_if<std::int64_t>(&shape[static_cast<std::size_t>(index)]);
}

std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// Both sides of one pattern, tokenised.
struct PatternSides {
  PatternSide left;
  PatternSide right;
};

// Working values, kept across ops and functions only to reuse their storage. Keys are views
// into the function being resolved, whose names and types do not move while it is resolved.
struct Scratch {
  ViewMap<const TensorType*> env;
  HashSet<std::string_view> left_names;
  HashMap<std::string_view, std::int64_t> known;
  // A model repeats a few patterns over many ops and functions: each is tokenised once. The
  // map owns each pattern's text (a node's key stays in place) and the tokens view into it,
  // so the cache outlives the functions that are resolved and dropped one by one.
  HashMap<std::string, PatternSides> patterns;
};

// Re-points the tokens of `side`, views into `from`, to the same places in `to`.
void move_views(PatternSide& side, std::string_view from, std::string_view to) {
  for_each_polled(side.tokens, [&](std::string_view& tok) {
    tok = to.substr(static_cast<std::size_t>(tok.data() - from.data()), tok.size());
  });
}

// The tokenised sides of `pattern`, split at `arrow`; the left side is checked first.
const PatternSides& pattern_sides(std::string_view pattern, std::size_t arrow, Scratch& s) {
  auto found = s.patterns.find(pattern);
  if (found != s.patterns.end()) return found->second;
  PatternSides sides;
  parse_pattern_side(pattern.substr(0, arrow), sides.left);
  parse_pattern_side(pattern.substr(arrow + 2), sides.right);
  auto it = s.patterns.emplace(std::string(pattern), std::move(sides)).first;
  move_views(it->second.left, pattern, it->first);
  move_views(it->second.right, pattern, it->first);
  return it->second;
}

// Binds the left side's axis names to the concrete dimensions of the first argument's type.
void bind_left(const PatternSide& left, const std::vector<Dim>& shape, Scratch& s) {
  for_index_polled(left.elems.size(), [&](std::size_t j) {
    const PatternElem& e = left.elems[j];
    if (e.group) return;  // a group occupies a position and binds nothing
    std::string_view name = left.axis(e);
    if (starts_with_ascii_digit(name)) return;
    if (const std::int64_t* size = concrete_at(shape, dim_index(left, shape.size(), j))) {
      s.known.insert_or_assign(name, *size);
    }
  });
}

// A group whose total is concrete and which has exactly one unknown member yields that member
// with the total divided by the product of the known members (when that product is positive).
void infer_group(const PatternSide& right, const PatternElem& g, std::int64_t total,
                 const Scratch& s, OrderedMap<std::int64_t>& axes) {
  std::int64_t product = 1;
  std::size_t unknowns = 0;
  std::string_view unknown;
  for_index_polled(g.end - g.begin, [&](std::size_t i) {
    std::string_view member = right.tokens[g.begin + i];
    auto it = s.known.find(member);
    if (it != s.known.end()) {
      product = wrapping_mul(product, it->second);
    } else if (unknowns++ == 0) {
      unknown = member;
    }
  });
  // product > 0 also rules out INT64_MIN / -1.
  if (unknowns == 1 && product > 0) axes.insert_or_assign(std::string(unknown), total / product);
}

// The sizes of the right side's implicit axes, from the declared output shape.
OrderedMap<std::int64_t> infer_right(const PatternSide& right, const std::vector<Dim>& shape,
                                     const Scratch& s) {
  OrderedMap<std::int64_t> axes;
  for_index_polled(right.elems.size(), [&](std::size_t j) {
    const PatternElem& e = right.elems[j];
    const std::int64_t* size = concrete_at(shape, dim_index(right, shape.size(), j));
    if (!size) return;
    if (e.group) {
      infer_group(right, e, *size, s, axes);
      return;
    }
    std::string_view name = right.axis(e);
    if (starts_with_ascii_digit(name) || s.left_names.contains(name)) return;
    axes.insert_or_assign(std::string(name), *size);
  });
  return axes;
}

// Fills the axes of one view or tile op whose declared first output type is `out`.
void resolve_axes(std::string_view pattern, OrderedMap<std::int64_t>& axes, const Op& op,
                  const TensorType& out, Scratch& s) {
  if (!axes.empty()) return;  // sizes already given are never touched
  std::size_t arrow = pattern.find("->");
  if (arrow == std::string_view::npos) return;

  const PatternSides& sides = pattern_sides(pattern, arrow, s);
  empty_for(s.left_names, sides.left.elems.size());
  for_each_polled(sides.left.elems, [&](const PatternElem& e) {
    if (!e.group) s.left_names.insert(sides.left.axis(e));
  });
  empty_for(s.known, sides.left.elems.size());
  if (!op.args.empty()) {
    if (const std::string* arg = std::get_if<std::string>(&op.args.front())) {
      auto it = s.env.find(*arg);
      if (it != s.env.end()) bind_left(sides.left, it->second->shape, s);
    }
  }

  OrderedMap<std::int64_t> inferred = infer_right(sides.right, out.shape, s);
  if (!inferred.empty()) axes = std::move(inferred);
}

void resolve_function(std::string_view key, Function& f, Scratch& s) {
  empty_for(s.env, f.params.size() + f.ops.size());
  for_each_polled(f.params,
                  [&](const Param& p) { s.env.insert_or_assign(std::string_view(p.name), &p.ty); });
  for (std::size_t i = 0; i < f.ops.size(); ++i) {
    Op& op = f.ops[i];
    poll_interrupt(op_units(op));
    // Every op's typed outputs enter the environment first, so an op can read its own output.
    std::size_t typed = std::min(op.outputs.size(), op.output_types.size());
    for (std::size_t k = 0; k < typed; ++k) {
      if (op.output_types[k]) s.env.insert_or_assign(op.outputs[k], &*op.output_types[k]);
      poll_element(k);
    }
    if (op.output_types.empty()) {
      fatal("op " + std::to_string(i) + " of function " + debug_str(key) +
            " has no output types: every op needs at least one entry");
    }
    const std::optional<TensorType>& out = op.output_types.front();
    if (!out) continue;
    if (View* v = std::get_if<View>(&op.kind)) {
      resolve_axes(v->pattern, v->axes, op, *out, s);
    } else if (Tile* t = std::get_if<Tile>(&op.kind)) {
      resolve_axes(t->pattern, t->axes, op, *out, s);
    }
  }
}

}  // namespace

struct FunctionResolver::State {
  Scratch scratch;
};

FunctionResolver::FunctionResolver() : state_(std::make_unique<State>()) {}
FunctionResolver::~FunctionResolver() = default;

void FunctionResolver::resolve(std::string_view key, Function& f) {
  resolve_function(key, f, state_->scratch);
}

Module resolve(const Module& m) { return resolve(Module(m)); }

// Only the axes of view and tile ops change; everything else is handed on as it is.
Module resolve(Module&& m) {
  Module out = std::move(m);
  FunctionResolver resolver;
  for (auto it = out.functions.begin(); it != out.functions.end(); ++it) {
    resolver.resolve(it->first, it.value());
  }
  return out;
}

}  // namespace travune
