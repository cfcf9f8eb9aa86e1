// The parser: trv source text to Module. `parse_each` tokenizes the text and reads functions
// until the tokens run out, handing each to its visitor as soon as it is read; `parse` gathers
// them into a Module. Each function is a header and a body of op statements, built from
// types, argument lists and literals. A malformed text stops the whole call.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>

#include "parse_stream.hpp"
#include "travune/fatal.hpp"
#include "travune/file.hpp"
#include "travune/interrupt.hpp"
#include "travune/parse.hpp"
#include "travune/stack.hpp"

namespace travune {

namespace {

// Literal lists are read by recursion; deeper nesting stops the call instead of the stack.
// The JSON reader takes at most 128 levels, and in a module's JSON a literal's lists lie
// inside five of them (the module, its functions, the function, its ops and the op): a
// literal nested deeper than 123 levels parses and formats, but its JSON does not read back.
constexpr std::size_t kMaxLiteralDepth = 1000;

constexpr double kInf = std::numeric_limits<double>::infinity();

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::size_t skip_digits(std::string_view s, std::size_t i) {
  while (i < s.size() && is_digit(s[i])) ++i;
  return i;
}

// ---- numbers ----

// An optional sign and decimal digits, read left to right as a signed 64-bit integer;
// `error` names the first fault met.
enum class IntError : unsigned char { None, Invalid, TooLarge, TooSmall };

struct IntRead {
  std::int64_t value = 0;
  IntError error = IntError::None;
};

IntRead read_i64(std::string_view s) {
  if (s.empty()) return {0, IntError::Invalid};
  bool negative = s[0] == '-';
  std::size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (i == s.size()) return {0, IntError::Invalid};
  // The magnitude accumulates unsigned, up to 2^63 - 1 or, when negative, 2^63.
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
  std::uint64_t value = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return {0, IntError::Invalid};
    unsigned digit = static_cast<unsigned>(s[i] - '0');
    if (value > (limit - digit) / 10)
      return {0, negative ? IntError::TooSmall : IntError::TooLarge};
    value = value * 10 + digit;
  }
  return {static_cast<std::int64_t>(negative ? 0 - value : value), IntError::None};
}

// `"2.5" is not a 64-bit integer`, `"99999999999999999999" is not a 64-bit integer (too
// large)`, after the unwrap prefix.
[[noreturn]] void int_failure(std::string_view text, IntError error) {
  std::string why = debug_str(text);
  why += " is not a 64-bit integer";
  if (error == IntError::TooLarge) why += " (too large)";
  if (error == IntError::TooSmall) why += " (too small)";
  fatal(unwrap_failure(why));
}

// `"1e+" is not a number`, after the unwrap prefix.
[[noreturn]] void float_failure(std::string_view text) {
  fatal(unwrap_failure(debug_str(text) + " is not a number"));
}

// Where the leading significant digit of a well-formed decimal float stands: its
// decimal exponent plus one (0.5 gives 0, 5 gives 1), saturating for huge exponents.
std::int64_t magnitude(std::string_view s) {
  std::size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  std::int64_t before_point = 0, leading_zeros = 0;
  bool nonzero = false, after_point = false;
  for (; i < s.size() && (is_digit(s[i]) || s[i] == '.'); ++i) {
    if (s[i] == '.') after_point = true;
    else if (s[i] != '0') nonzero = true;
    else if (!nonzero && after_point) ++leading_zeros;
    if (!after_point && nonzero && s[i] != '.') ++before_point;
  }
  constexpr std::int64_t cap = 1'000'000'000'000;
  std::int64_t exp = 0;
  if (i < s.size()) {  // at the "e" or "E" of the exponent, which has digits
    bool negative = s[++i] == '-';
    if (s[i] == '+' || s[i] == '-') ++i;
    for (; i < s.size(); ++i)
      if (exp < cap) exp = exp * 10 + (s[i] - '0');
    if (negative) exp = -exp;
  }
  return exp + (before_point > 0 ? before_point : -leading_zeros);
}

// An optional sign, digits with an optional fraction (at least one digit in all), an
// optional exponent with digits: the nearest double, ties to even; too large gives
// infinity and too small zero, as the correctly rounded value would. Anything else: nullopt.
std::optional<double> read_f64(std::string_view s) {
  std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  std::size_t int_end = skip_digits(s, i);
  std::size_t digits = int_end - i;
  i = int_end;
  if (i < s.size() && s[i] == '.') {
    std::size_t frac_end = skip_digits(s, i + 1);
    digits += frac_end - i - 1;
    i = frac_end;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_end = skip_digits(s, i);
    if (exp_end == i) return std::nullopt;
    i = exp_end;
  }
  if (i != s.size()) return std::nullopt;

  std::string_view body = s[0] == '+' ? s.substr(1) : s;  // from_chars takes no "+"
  double value = 0;
  auto res = std::from_chars(body.data(), body.data() + body.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    value = magnitude(s) > 0 ? kInf : 0.0;
    if (s[0] == '-') value = -value;
  }
  return value;
}

// ---- atoms and argument lists ----

// An Atom whose Name still points into the source text.
using AtomView = std::variant<std::int64_t, double, std::string_view>;

Atom to_atom(const AtomView& a) {
  switch (a.index()) {
    case 0: return std::get<0>(a);
    case 1: return std::get<1>(a);
    default: return std::string(std::get<2>(a));
  }
}

AtomView parse_atom(std::string_view s) {
  if (s == "inf") return kInf;
  if (!is_letter(s[0]) && s.find_first_of(".eE") != std::string_view::npos) {
    std::optional<double> x = read_f64(s);
    if (!x) float_failure(s);
    return *x;
  }
  IntRead n = read_i64(s);
  if (n.error == IntError::None) return n.value;
  return s;
}

bool is_quoted(std::string_view t) { return t.size() >= 2 && t.front() == '"' && t.back() == '"'; }

// An item or keyword value of an argument list: a quoted token gives its inner text as
// written (nothing unescaped), any other token its atom.
AtomView parse_item(std::string_view t) {
  if (t == "\"") fatal("unterminated string at the end of the source text: \"\\\"\"");
  if (is_quoted(t)) return t.substr(1, t.size() - 2);
  return parse_atom(t);
}

// Keyword items: a repeated key keeps its first position and takes the last value.
// Values live in a vector, which (unlike the default deque) costs nothing while empty.
using KeywordEntry = std::pair<std::string_view, AtomView>;
using KeywordMap =
    tsl::ordered_map<std::string_view, AtomView, KeyedHash,
                     std::equal_to<std::string_view>, std::allocator<KeywordEntry>,
                     std::vector<KeywordEntry>>;

struct Delimited {
  std::vector<AtomView> positional;
  KeywordMap keywords;
};

// `what` and `word` (the op's kind word) name the list for an early end of the text.
Delimited parse_delimited(Stream& s, std::string_view open, std::string_view close,
                          Construct what, std::string_view word) {
  Delimited d;
  Opening list(s, what, expect(s, open), word);
  while (!peek_is(s, close)) {
    if (peek_is(s, ",")) next_token(s);
    std::string_view t = next_token(s);
    if (is_letter(t[0]) && peek_is(s, "=")) {
      next_token(s);
      d.keywords.insert_or_assign(t, parse_item(next_token(s)));
      poll_interrupt(kElementUnits);  // more than its few bytes of text: an entry of a table
    } else {
      emplace_polled(d.positional, parse_item(t));
    }
  }
  expect(s, close);
  note_length(s, d.positional.size() + d.keywords.size());
  return d;
}

// ---- types ----

Dim parse_dim(std::string_view t) {
  bool integer = is_digit(t[0]) || (t.size() > 1 && t[0] == '-' && is_digit(t[1]));
  if (!integer) return std::string(t);
  IntRead n = read_i64(t);
  if (n.error != IntError::None) int_failure(t, n.error);
  return n.value;
}

// The dimensions gather in the stream's scratch, then move into a shape of their number.
TensorType parse_type(Stream& s) {
  TensorType ty;
  std::string_view dtype = next_token(s);
  ty.dtype = dtype;
  Opening shape(s, Construct::Shape, expect(s, "["), dtype);
  s.dims.clear();
  while (!peek_is(s, "]")) {
    if (peek_is(s, ",")) next_token(s);
    emplace_polled(s.dims, parse_dim(next_token(s)));
  }
  expect(s, "]");
  note_length(s, s.dims.size());
  append_polled(ty.shape, std::make_move_iterator(s.dims.begin()),
                std::make_move_iterator(s.dims.end()));
  return ty;
}

// A declared type where the single token "*" stands for the wildcard type.
TensorType parse_type_or_wildcard(Stream& s) {
  if (!peek_is(s, "*")) return parse_type(s);
  next_token(s);
  return TensorType{"*", {}};
}

// ---- literals ----

LiteralValue parse_literal_scalar(Stream& s) {
  std::string_view t = next_token(s);
  if (t == "inf") return {kInf};
  if (t == "-") {
    std::string_view u = next_token(s);
    if (u != "inf") fatal("Expected 'inf' after '-', got " + debug_str(u));
    return {-kInf};
  }
  AtomView a = parse_atom(t);
  if (const auto* name = std::get_if<std::string_view>(&a))
    fatal("Expected literal value, got name " + debug_str(*name));
  if (const auto* n = std::get_if<std::int64_t>(&a)) return {*n};
  return {std::get<double>(a)};
}

// `depth` counts the enclosing lists, this one included.
LiteralList parse_list_literal(Stream& s, std::size_t depth) {
  if (depth > kMaxLiteralDepth)
    fatal("literal list nested deeper than " + std::to_string(kMaxLiteralDepth) + " levels");
  check_stack("a literal list", depth);
  LiteralList items;
  Opening list(s, Construct::LiteralList, expect(s, "["));
  while (!peek_is(s, "]")) {
    if (peek_is(s, ",")) next_token(s);
    if (peek_is(s, "[")) emplace_polled(items, LiteralValue{parse_list_literal(s, depth + 1)});
    else emplace_polled(items, parse_literal_scalar(s));
  }
  expect(s, "]");
  note_length(s, items.size());
  return items;
}

// ---- op statements ----

// The bracket list's positional items, sorted by what they can fill.
struct BracketItems {
  std::vector<std::int64_t> ints;
  std::vector<double> floats;
  std::optional<std::string_view> pattern;  // the last name holding a blank or "->"
  std::vector<std::string_view> names;

  std::string name(std::size_t i) const { return i < names.size() ? std::string(names[i]) : ""; }
  std::string pattern_or_empty() const { return pattern ? std::string(*pattern) : ""; }
};

BracketItems sort_bracket_items(const std::vector<AtomView>& items) {
  BracketItems b;
  for_each_polled(items, [&](const AtomView& a) {
    if (const auto* n = std::get_if<std::int64_t>(&a)) emplace_polled(b.ints, *n);
    else if (const auto* x = std::get_if<double>(&a)) emplace_polled(b.floats, *x);
    else {
      std::string_view name = std::get<std::string_view>(a);
      if (name.find(' ') != std::string_view::npos || name.find("->") != std::string_view::npos)
        b.pattern = name;
      else emplace_polled(b.names, name);
    }
  });
  return b;
}

// Integer and float keyword values size an axis (floats truncated); names are skipped.
void add_axes(OrderedMap<std::int64_t>& axes, const KeywordMap& keywords) {
  // A long map takes its room at once rather than being rehashed whole as it grows.
  if (keywords.size() > kPollBatch) axes.reserve(axes.size() + keywords.size());
  for_each_polled(keywords, [&](const KeywordEntry& entry) {
    const auto& [key, value] = entry;
    if (const auto* n = std::get_if<std::int64_t>(&value))
      axes.insert_or_assign(std::string(key), *n);
    else if (const auto* x = std::get_if<double>(&value))
      axes.insert_or_assign(std::string(key), truncate_saturating(*x));
  });
}

// The canonical text writes axes as keyword items inside the brackets, so those count
// too, before the parenthesised ones.
OrderedMap<std::int64_t> build_axes(const Delimited& bracket, const Delimited& paren) {
  OrderedMap<std::int64_t> axes;
  add_axes(axes, bracket.keywords);
  add_axes(axes, paren.keywords);
  return axes;
}

std::string require_reduction(const BracketItems& b, std::string_view word) {
  std::string reduction = b.name(0);
  if (reduction.empty())
    fatal(word == "fold" ? "fold requires a reduction: fold[pattern, reduction]"
                         : "write requires a reduction: write[pattern, reduction]");
  return reduction;
}

Loop build_loop(const BracketItems& b) {
  if (b.names.size() >= 2) return Loop{b.name(0), LoopCount{b.name(1)}};
  if (b.ints.empty()) fatal("loop requires explicit count: loop[fn, count]");
  // A negative count is read as its two's-complement pattern.
  return Loop{b.name(0), LoopCount{static_cast<std::uint64_t>(b.ints[0])}};
}

Cache build_cache(const BracketItems& b) {
  if (b.names.empty()) fatal("cache requires var name: cache[var, init] or cache[var, init, extend]");
  if (b.names.size() == 1)
    fatal("cache requires init function: cache[var, init] or cache[var, init, extend]");
  Cache c{b.name(0), b.name(1), std::nullopt};
  if (b.names.size() >= 3) c.extend = b.name(2);
  return c;
}

// The kind of an op statement from its kind word and both argument lists.
struct KindBuilder {
  std::string_view word;
  const BracketItems& b;
  const Delimited& bracket;
  const Delimited& paren;

  OpKind operator()(const View&) const {
    return View{b.pattern_or_empty(), build_axes(bracket, paren)};
  }
  OpKind operator()(const Map&) const { return Map{b.name(0)}; }
  OpKind operator()(const Fold&) const {
    return Fold{b.pattern_or_empty(), require_reduction(b, word)};
  }
  OpKind operator()(const Tile&) const {
    return Tile{b.pattern_or_empty(), build_axes(bracket, paren)};
  }
  OpKind operator()(const Read&) const { return Read{b.pattern_or_empty()}; }
  OpKind operator()(const Write&) const {
    return Write{b.pattern_or_empty(), require_reduction(b, word)};
  }
  OpKind operator()(const Contract&) const { return Contract{b.pattern_or_empty()}; }
  // A literal statement is read apart (parse_right_side) and never comes here.
  OpKind operator()(const Literal&) const { fatal("Unknown op: " + debug_str(word)); }
  OpKind operator()(const Iota&) const { return Iota{}; }
  OpKind operator()(const Random&) const {
    if (b.floats.size() < 2) fatal("random requires two bounds: random[lo, hi]");
    return Random{b.floats[0], b.floats[1]};
  }
  OpKind operator()(const Call&) const { return Call{b.name(0)}; }
  OpKind operator()(const Loop&) const { return build_loop(b); }
  OpKind operator()(const Cache&) const { return build_cache(b); }
};

// Runs once both argument lists are read, so its stops come after theirs.
OpKind build_kind(std::string_view word, const Delimited& bracket, const Delimited& paren) {
  BracketItems b = sort_bracket_items(bracket.positional);
  return build_kind_named(word, KindBuilder{word, b, bracket, paren},
                          [&]() -> OpKind { fatal("Unknown op: " + debug_str(word)); });
}

// The left-hand side of an op statement.
struct Outputs {
  std::vector<std::string> names;
  std::vector<std::optional<TensorType>> types;
};

// a, b: f32[N], c = ...   (commas required; each output optionally typed)
void parse_inline_outputs(Stream& s, Outputs& out) {
  for (;;) {
    emplace_polled(out.names, next_token(s));
    if (peek_is(s, ":")) {
      next_token(s);
      emplace_polled(out.types, parse_type_or_wildcard(s));
    } else {
      emplace_polled(out.types, std::nullopt);
    }
    if (!peek_is(s, ",")) return;
    next_token(s);
  }
}

// A list up to ")" whose commas are optional separators; the token after a comma is
// always an item, even ")".
template <class ReadItem>
void read_list(Stream& s, ReadItem read_item) {
  while (!peek_is(s, ")")) {
    if (peek_is(s, ",")) next_token(s);
    read_item();
  }
}

// (a, b): (f32[N], i32[N]) = ...   (the two counts are not compared)
void parse_grouped_outputs(Stream& s, Outputs& out) {
  {
    Opening names(s, Construct::OutputNames, next_token(s));
    read_list(s, [&] { emplace_polled(out.names, next_token(s)); });
    expect(s, ")");
  }
  expect(s, ":");
  Opening types(s, Construct::OutputTypes, expect(s, "("));
  read_list(s, [&] { emplace_polled(out.types, parse_type(s)); });
  expect(s, ")");
}

// The kind and the arguments of an op statement, from its kind word on.
OpKind parse_right_side(Stream& s, std::vector<Atom>& args) {
  std::string_view word = next_token(s);
  if (word == "literal") {
    Opening list(s, Construct::Arguments, expect(s, "("), word);
    LiteralValue value =
        peek_is(s, "[") ? LiteralValue{parse_list_literal(s, 1)} : parse_literal_scalar(s);
    expect(s, ")");
    return Literal{std::move(value)};
  }
  Delimited bracket, paren;
  if (peek_is(s, "[")) bracket = parse_delimited(s, "[", "]", Construct::Brackets, word);
  if (peek_is(s, "(")) paren = parse_delimited(s, "(", ")", Construct::Arguments, word);
  OpKind kind = build_kind(word, bracket, paren);
  args.reserve(paren.positional.size());
  for_each_polled(paren.positional, [&](const AtomView& a) { args.push_back(to_atom(a)); });
  return kind;
}

Op parse_op(Stream& s) {
  skip_comments(s);
  std::vector<std::string> comments = take_comments(s);
  Outputs out;
  if (peek_is(s, "(")) parse_grouped_outputs(s, out);
  else parse_inline_outputs(s, out);
  expect(s, "=");
  note_length(s, out.names.size());
  std::vector<Atom> args;
  OpKind kind = parse_right_side(s, args);
  return Op{std::move(kind), std::move(out.names), std::move(out.types), std::move(args),
            std::move(comments)};
}

// ---- functions ----

Param parse_param(Stream& s) {
  Param p;
  p.name = next_token(s);
  std::string_view colon = next_token(s);
  if (colon != ":") fatal("Expected \":\", got " + debug_str(colon));
  p.ty = parse_type_or_wildcard(s);
  return p;
}

// The function read last, once handed over, is emptied of its long lists before its storage
// serves the next one (or is dropped).
void release_if_marked(Stream& s, Function& f) {
  if (!s.long_lists) return;
  release_long_lists(f);
  s.long_lists = false;
}

// name(params) -> (returns) { ops }, read into `f`, whose storage (left by the caller or
// by the previous function) is reused. Comments inside the header and before the first op
// are the function's; comments inside an op and up to the next belong to the next op;
// those inside and after the last op stay pending. Returns the name as it stands in the text.
std::string_view parse_fn(Stream& s, Function& f) {
  release_if_marked(s, f);
  std::string_view name = next_token(s);
  f.name = name;
  Opening header(s, Construct::Header, name, name);
  {
    Opening params(s, Construct::Params, expect(s, "("), name);
    f.params.clear();
    read_list(s, [&] { emplace_polled(f.params, parse_param(s)); });
    expect(s, ")");
  }
  expect(s, "->");
  {
    Opening returns(s, Construct::Returns, expect(s, "("), name);
    f.returns.clear();
    read_list(s, [&] { emplace_polled(f.returns, parse_param(s)); });
    expect(s, ")");
  }
  Opening body(s, Construct::Body, expect(s, "{"), name);
  skip_comments(s);
  f.comments = take_comments(s);
  f.ops.clear();
  for (;;) {
    skip_comments(s);
    if (peek_is(s, "}")) break;
    if (at_end(s)) end_of_tokens(s);  // inside the body
    Opening statement(s, Construct::Statement, current(s));
    emplace_polled(f.ops, parse_op(s));
  }
  expect(s, "}");
  note_length(s, std::max({f.ops.size(), f.params.size(), f.returns.size()}));
  return name;
}

}  // namespace

void parse_each(std::string_view text, const ModuleVisitor& visit) {
  Stream s(text);
  skip_comments(s);
  visit.header_comments(take_comments(s));
  Function f;
  for (;;) {
    skip_comments(s);
    if (at_end(s)) {
      release_if_marked(s, f);
      return;
    }
    std::vector<std::string> comments = take_comments(s);
    std::string_view key = parse_fn(s, f);
    if (!comments.empty()) {
      append_polled(comments, std::make_move_iterator(f.comments.begin()),
                    std::make_move_iterator(f.comments.end()));
      f.comments = std::move(comments);
    }
    visit.function(key, f);
  }
}

Module parse(std::string_view text) {
  Module m;
  ModuleVisitor visit;
  visit.header_comments = [&](std::vector<std::string>&& c) { m.header_comments = std::move(c); };
  visit.function = [&](std::string_view key, Function& f) {
    // The ops move once into a vector of their number; the parser keeps the storage of
    // `f.ops` for the next function.
    Function g{std::move(f.name), std::move(f.comments), std::move(f.params),
               std::move(f.returns), {}};
    append_polled(g.ops, std::make_move_iterator(f.ops.begin()),
                  std::make_move_iterator(f.ops.end()));
    m.functions.insert_or_assign(std::string(key), std::move(g));  // a later definition wins
  };
  parse_each(text, visit);
  return m;
}

std::string read_source_file(const std::string& path) {
  try {
    return read_file_utf8(path);
  } catch (const IoError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
}

Module parse_file(const std::string& path) { return parse(read_source_file(path)); }

}  // namespace travune
