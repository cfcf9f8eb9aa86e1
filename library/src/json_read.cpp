// The Module schema reader: the typed reader of Module (records by key in any order or as
// arrays in declared order, untagged alternatives tried in order, the flat op record) and the
// reader of objects of numbers under the configuration. Both stand on the JSON reading kit
// (json_read_kit.hpp).
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "json_read_kit.hpp"
#include "travune/fatal.hpp"
#include "travune/interrupt.hpp"
#include "travune/json.hpp"

namespace travune {

namespace {

using json_kit::kValueUnits;
using json_kit::Number;
using json_kit::Reader;
using json_kit::od::value;

// The reader with one scratch stack per element type: a list is read onto its stack, then
// moved into a vector of exactly its size, so no list grows by doubling. Nested lists of the
// same type stack above their parent's elements.
struct In {
  Reader r;
  std::vector<std::string> strings;
  std::vector<Dim> dims;
  std::vector<Atom> atoms;
  std::vector<std::optional<TensorType>> types;
  std::vector<Param> params;
  std::vector<LiteralValue> literals;
  std::vector<Op> ops;
  bool long_lists = false;  // the function being read holds a long list

  explicit In(std::string_view text) : r(text) {}
};

// ---- shapes shared by every record ----

// A record's keys in declared order, which keys are required, and its name in messages.
template <std::size_t N>
struct RecordForm {
  std::array<std::string_view, N> keys;
  std::uint32_t required;  // bit k: keys[k] is required
  std::string_view name;   // "struct Module"
};

template <std::size_t N>
int key_index(const RecordForm<N>& form, std::string_view key) {
  for (std::size_t k = 0; k < N; ++k) {
    if (form.keys[k] == key) return static_cast<int>(k);
  }
  return -1;
}

// Reads a record from an object (keys in any order, undeclared keys walked and dropped, each
// declared key at most once) or from an array of values in declared order; read_field(k, value)
// reads the value of key k. Keys left out keep the record's defaults.
template <std::size_t N, class F>
void read_record(Reader& r, value& v, const RecordForm<N>& form, F&& read_field) {
  char c = Reader::first(v);
  if (c == '{') {
    std::uint32_t seen = 0;
    r.for_each_field(v, [&](std::string_view key, value& field) {
      int k = key_index(form, key);
      if (k < 0) return r.skip(field);
      if (seen & (1u << k)) r.duplicate_field(field, key);
      seen |= 1u << k;
      read_field(k, field);
    });
    if (std::uint32_t missing = form.required & ~seen) {
      r.fail_after_container("missing field `" + std::string(form.keys[std::countr_zero(missing)]) + "`");
    }
  } else if (c == '[') {
    std::size_t count = 0;
    r.for_each_element(v, [&](value& e) {
      if (count == N) r.fail_at(e, "trailing characters");
      read_field(static_cast<int>(count++), e);
    });
    if (form.required >> count) {
      // The length named is the number of values the array held.
      r.fail_after_container("invalid length " + std::to_string(count) + ", expected " +
                             std::string(form.name) + " with " + std::to_string(N) + " elements");
    }
  } else {
    r.type_error(v, form.name);
  }
}

// Reads an array through `scratch` (see In) into a vector of exactly its length. Each element
// counts toward the interrupt check: one op may take any number of arguments, outputs or
// comments, a literal any number of values. A long list is moved out a batch at a time, and
// marks the function being read for release_long_lists once it is handed over.
template <class T, class F>
std::vector<T> read_list(In& in, std::vector<T>& scratch, value& v, F&& read_element) {
  if (Reader::first(v) != '[') in.r.type_error(v, "a sequence");
  std::size_t base = scratch.size();
  in.r.for_each_element(v, [&](value& e) {
    emplace_polled(scratch, read_element(e));
    poll_interrupt(kValueUnits);
  });
  auto from = scratch.begin() + static_cast<std::ptrdiff_t>(base);
  if (scratch.size() - base <= kPollBatch) [[likely]] {
    std::vector<T> out(std::make_move_iterator(from), std::make_move_iterator(scratch.end()));
    while (scratch.size() > base) scratch.pop_back();
    return out;
  }
  in.long_lists = true;
  std::vector<T> out;
  append_polled(out, std::make_move_iterator(from), std::make_move_iterator(scratch.end()));
  truncate_polled(scratch, base);
  return out;
}

bool is_null(value& v) { return Reader::first(v) == 'n'; }

// A value for which null means absent.
template <class T, class F>
void read_optional(Reader& r, value& v, std::optional<T>& out, F&& read) {
  if (is_null(v)) {
    r.skip(v, true);  // read, not skipped: a null stands for the value
    out.reset();
  } else {
    out = read(v);
  }
}

std::string read_str(Reader& r, value& v) {
  if (Reader::first(v) != '"') r.type_error(v, "a string");
  return std::string(r.read_string(v));
}

std::vector<std::string> read_strings(In& in, value& v) {
  return read_list(in, in.strings, v, [&](value& e) { return read_str(in.r, e); });
}

// Dim and Atom are list elements; the error names no place, so it stands past the separator.
[[noreturn]] void untagged_mismatch(Reader& r, value& v, std::string_view enum_name) {
  r.skip(v, true);
  r.fail_in_list(v, "data did not match any variant of untagged enum " + std::string(enum_name));
}

std::int64_t read_i64(Reader& r, value& v) {
  if (!Reader::is_number_start(Reader::first(v))) r.type_error(v, "i64");
  Number n = r.read_number(v);
  if (n.kind == Number::Float) r.type_error(v, "i64");
  if (!n.fits_i64()) r.fail_after(v, "invalid value: integer `" + std::to_string(n.u) + "`, expected i64");
  return n.as_i64();
}

double read_f64(Reader& r, value& v) {
  if (!Reader::is_number_start(Reader::first(v))) r.type_error(v, "f64");
  return r.read_number(v).as_double();
}

// ---- the alternatives ----

Dim read_dim(Reader& r, value& v) {
  char c = Reader::first(v);
  if (Reader::is_number_start(c)) {
    Number n = r.read_number(v);
    if (n.fits_i64()) return n.as_i64();
    r.fail_in_list(v, "data did not match any variant of untagged enum Dim");
  }
  if (c == '"') return std::string(r.read_string(v));
  untagged_mismatch(r, v, "Dim");
}

Atom read_atom(Reader& r, value& v) {
  char c = Reader::first(v);
  if (Reader::is_number_start(c)) {
    Number n = r.read_number(v);
    if (n.fits_i64()) return n.as_i64();
    return n.as_double();
  }
  if (c == '"') return std::string(r.read_string(v));
  untagged_mismatch(r, v, "Atom");
}

constexpr std::string_view literal_expected = "integer, float, \"inf\"/\"-inf\", or array";

LiteralValue read_literal(In& in, value& v) {
  Reader& r = in.r;
  char c = Reader::first(v);
  if (Reader::is_number_start(c)) {
    Number n = r.read_number(v);
    switch (n.kind) {
      case Number::Signed: return {n.i};
      case Number::Unsigned: return {static_cast<std::int64_t>(n.u)};  // the same 64 bits
      default: return {n.f};
    }
  }
  if (c == '"') {
    std::string_view s = r.read_string(v);
    if (s == "inf") return {std::numeric_limits<double>::infinity()};
    if (s == "-inf") return {-std::numeric_limits<double>::infinity()};
    if (s == "nan") return {std::numeric_limits<double>::quiet_NaN()};
    r.fail_after(v, "unexpected string: " + std::string(s));
  }
  if (c == '[') return {read_list(in, in.literals, v, [&](value& e) { return read_literal(in, e); })};
  // An object is refused on entering it, where its members are not yet read.
  if (c == '{') r.fail_entering_map(v, "invalid type: map, expected " + std::string(literal_expected));
  r.type_error(v, literal_expected);
}

// ---- records ----

constexpr RecordForm<2> type_form{{"dtype", "shape"}, 0b11, "struct TensorType"};

TensorType read_type(In& in, value& v) {
  TensorType t;
  read_record(in.r, v, type_form, [&](int k, value& f) {
    if (k == 0) t.dtype = read_str(in.r, f);
    else t.shape = read_list(in, in.dims, f, [&](value& e) { return read_dim(in.r, e); });
  });
  return t;
}

constexpr RecordForm<2> param_form{{"name", "ty"}, 0b11, "struct Param"};

Param read_param(In& in, value& v) {
  Param p;
  read_record(in.r, v, param_form, [&](int k, value& f) {
    if (k == 0) p.name = read_str(in.r, f);
    else p.ty = read_type(in, f);
  });
  return p;
}

std::vector<Param> read_params(In& in, value& v) {
  return read_list(in, in.params, v, [&](value& e) { return read_param(in, e); });
}

// The op object as read, before its kind is looked at.
struct OpRaw {
  std::string kind, pattern, function, reduction;
  std::vector<std::pair<std::string, std::int64_t>> axes;  // in document order, repeats kept
  std::optional<LiteralValue> value;
  std::optional<double> lower, upper;
  std::string target;
  LoopCount count = std::string();
  std::string count_out_of_range;  // the token of a count that no LoopCount holds
  std::string var, init;
  std::optional<std::string> extend;
  std::vector<std::string> outputs;
  std::vector<std::optional<TensorType>> output_types;
  std::vector<Atom> args;
  std::vector<std::string> comments;
};

constexpr RecordForm<17> op_form{
    {"kind", "pattern", "function", "reduction", "axes", "value", "lower", "upper", "target",
     "count", "var", "init", "extend", "outputs", "output_types", "args", "comments"},
    (1u << 0) | (1u << 13) | (1u << 14) | (1u << 15),
    "struct OpRaw"};

void read_axes(Reader& r, value& v, OpRaw& raw) {
  if (Reader::first(v) != '{') r.type_error(v, "a map");
  raw.axes.clear();
  r.for_each_field(v, [&](std::string_view key, value& size) {
    emplace_polled(raw.axes, std::string(key), read_i64(r, size));
    poll_interrupt(kValueUnits);
  });
}

void read_count(Reader& r, value& v, OpRaw& raw) {
  char c = Reader::first(v);
  raw.count = std::string();
  raw.count_out_of_range.clear();
  if (Reader::is_number_start(c)) {
    Number n = r.read_number(v);
    if (n.kind == Number::Unsigned) raw.count = n.u;
    else raw.count_out_of_range = Reader::token(v);
  } else if (c == '"') {
    raw.count = std::string(r.read_string(v));
  } else {
    r.skip(v, true);  // null, a boolean, an array or an object: no name (its strings are read as text)
  }
}

void read_op_field(In& in, int k, value& f, OpRaw& raw) {
  Reader& r = in.r;
  auto str = [&](value& e) { return read_str(r, e); };
  auto f64 = [&](value& e) { return read_f64(r, e); };
  switch (k) {
    case 0: raw.kind = read_str(r, f); break;
    case 1: raw.pattern = read_str(r, f); break;
    case 2: raw.function = read_str(r, f); break;
    case 3: raw.reduction = read_str(r, f); break;
    case 4:
      read_axes(r, f, raw);
      if (raw.axes.size() > kPollBatch) in.long_lists = true;
      break;
    case 5: read_optional(r, f, raw.value, [&](value& e) { return read_literal(in, e); }); break;
    case 6: read_optional(r, f, raw.lower, f64); break;
    case 7: read_optional(r, f, raw.upper, f64); break;
    case 8: raw.target = read_str(r, f); break;
    case 9: read_count(r, f, raw); break;
    case 10: raw.var = read_str(r, f); break;
    case 11: raw.init = read_str(r, f); break;
    case 12: read_optional(r, f, raw.extend, str); break;
    case 13: raw.outputs = read_strings(in, f); break;
    case 14:
      raw.output_types = read_list(in, in.types, f, [&](value& e) {
        std::optional<TensorType> t;
        read_optional(r, e, t, [&](value& te) { return read_type(in, te); });
        return t;
      });
      break;
    case 15: raw.args = read_list(in, in.atoms, f, [&](value& e) { return read_atom(r, e); }); break;
    default: raw.comments = read_strings(in, f);
  }
}

// A repeated axis keeps its first position and takes the later size.
OrderedMap<std::int64_t> axes_map(OpRaw& raw) {
  OrderedMap<std::int64_t> axes;
  // A long map takes its room at once rather than being rehashed whole as it grows.
  if (raw.axes.size() > kPollBatch) axes.reserve(raw.axes.size());
  for_each_polled(raw.axes,
                  [&](auto& axis) { axes.insert_or_assign(std::move(axis.first), axis.second); });
  return axes;
}

// The kind named by the op's "kind", from the fields that the kind uses; the others were read
// and checked, and are dropped.
struct KindFromFields {
  OpRaw& raw;

  OpKind operator()(const View&) const { return View{std::move(raw.pattern), axes_map(raw)}; }
  OpKind operator()(const Map&) const { return Map{std::move(raw.function)}; }
  OpKind operator()(const Fold&) const {
    return Fold{std::move(raw.pattern), std::move(raw.reduction)};
  }
  OpKind operator()(const Tile&) const { return Tile{std::move(raw.pattern), axes_map(raw)}; }
  OpKind operator()(const Read&) const { return Read{std::move(raw.pattern)}; }
  OpKind operator()(const Write&) const {
    return Write{std::move(raw.pattern), std::move(raw.reduction)};
  }
  OpKind operator()(const Contract&) const { return Contract{std::move(raw.pattern)}; }
  OpKind operator()(const Literal&) const {
    return Literal{raw.value ? std::move(*raw.value) : LiteralValue{std::int64_t{0}}};
  }
  OpKind operator()(const Iota&) const { return Iota{}; }
  OpKind operator()(const Random&) const {
    if (!raw.lower) fatal("random requires 'lower' field");
    if (!raw.upper) fatal("random requires 'upper' field");
    return Random{*raw.lower, *raw.upper};
  }
  OpKind operator()(const Call&) const { return Call{std::move(raw.target)}; }
  OpKind operator()(const Loop&) const {
    if (!raw.count_out_of_range.empty()) fatal("loop count out of range: " + raw.count_out_of_range);
    return Loop{std::move(raw.target), std::move(raw.count)};
  }
  OpKind operator()(const Cache&) const {
    return Cache{std::move(raw.var), std::move(raw.init), std::move(raw.extend)};
  }
};

OpKind op_kind(Reader& r, value& v, OpRaw& raw) {
  return build_kind_named(raw.kind, KindFromFields{raw},
                          [&]() -> OpKind { r.fail_in_list(v, "unknown op kind: " + raw.kind); });
}

Op read_op(In& in, value& v) {
  poll_interrupt(kOpUnits);
  OpRaw raw;
  read_record(in.r, v, op_form, [&](int k, value& f) { read_op_field(in, k, f, raw); });
  in.r.check_cut(v);
  return Op{op_kind(in.r, v, raw), std::move(raw.outputs), std::move(raw.output_types),
            std::move(raw.args), std::move(raw.comments)};
}

// Through the scratch stack like every list, so a function's ops take exactly their room.
std::vector<Op> read_ops(In& in, value& v) {
  return read_list(in, in.ops, v, [&](value& e) { return read_op(in, e); });
}

constexpr RecordForm<5> function_form{
    {"name", "comments", "params", "returns", "ops"}, 0b11101, "struct Function"};

Function read_function(In& in, value& v) {
  poll_interrupt(kOpUnits);
  Function fn;
  read_record(in.r, v, function_form, [&](int k, value& f) {
    switch (k) {
      case 0: fn.name = read_str(in.r, f); break;
      case 1: fn.comments = read_strings(in, f); break;
      case 2: fn.params = read_params(in, f); break;
      case 3: fn.returns = read_params(in, f); break;
      default: fn.ops = read_ops(in, f);
    }
  });
  return fn;
}

constexpr RecordForm<2> module_form{{"header_comments", "functions"}, 0b10, "struct Module"};

// A module record hands over its parts as they are read. A repeated "functions" field is a
// duplicate field, refused before its value is read, so the functions come from one map.
void read_module(In& in, value& v, const ModuleVisitor& visit) {
  read_record(in.r, v, module_form, [&](int k, value& f) {
    if (k == 0) {
      visit.header_comments(read_strings(in, f));
      return;
    }
    if (Reader::first(f) != '{') in.r.type_error(f, "a map");
    in.r.for_each_field(f, [&](std::string_view key, value& fv) {
      Function fn = read_function(in, fv);
      visit.function(key, fn);
      if (in.long_lists) {  // what the visitor left
        release_long_lists(fn);
        in.long_lists = false;
      }
    });
  });
}

// ---- numeric objects ----

NumericValue read_numeric(Reader& r, value& v, std::string_view enum_name) {
  char c = Reader::first(v);
  if (Reader::is_number_start(c)) {
    Number n = r.read_number(v);
    if (n.fits_i64()) return n.as_i64();
    return n.as_double();
  }
  if (c != '[') {
    r.skip(v, true);
    r.fail_in_map(v, "data did not match any variant of untagged enum " + std::string(enum_name));
  }
  std::vector<double> list;
  bool numbers_only = true;
  r.for_each_element(v, [&](value& e) {
    if (numbers_only && Reader::is_number_start(Reader::first(e))) {
      emplace_polled(list, r.read_number(e).as_double());
      poll_interrupt(kValueUnits);
    } else {
      numbers_only = false;
      r.skip(e, true);
    }
  });
  if (!numbers_only) r.fail_in_map(v, "data did not match any variant of untagged enum " + std::string(enum_name));
  return list;
}

}  // namespace

void read_module_json_by_function(std::string_view text, const ModuleVisitor& visit) {
  In in(text);
  in.r.read_root([&](value& v) {
    read_module(in, v, visit);
    return 0;
  });
}

Module read_module_json(std::string_view text) {
  Module m;
  ModuleVisitor visit;
  visit.header_comments = [&](std::vector<std::string>&& comments) { m.header_comments = std::move(comments); };
  visit.function = [&](std::string_view key, Function& fn) {
    m.functions.insert_or_assign(std::string(key), std::move(fn));
  };
  read_module_json_by_function(text, visit);
  return m;
}

std::vector<std::pair<std::string, NumericValue>> read_numeric_object_json(std::string_view text,
                                                                           std::string_view enum_name) {
  Reader r(text);
  return r.read_root([&](value& v) {
    std::vector<std::pair<std::string, NumericValue>> members;
    if (Reader::first(v) != '{') r.type_error(v, "a map");
    r.for_each_field(v, [&](std::string_view key, value& f) {
      poll_interrupt(kValueUnits);
      emplace_polled(members, std::string(key), read_numeric(r, f, enum_name));
    });
    return members;
  });
}

}  // namespace travune
