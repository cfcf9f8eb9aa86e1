// The compact JSON writer of Module: keys in declared order, empty lists omitted where
// the form says so, non-finite floats as null (as strings inside literal values).
//
// The bytes written for each op count toward the interrupt check; inside, a list of any
// length (arguments, outputs, types, comments, dimensions, literal values, axes, parameters)
// polls after each batch of kPollBatch elements and keeps room in the text (poll_element),
// so that a single op of millions of them is written in steps.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "number_text.hpp"
#include "travune/check.hpp"
#include "travune/interrupt.hpp"
#include "json_write.hpp"
#include "travune/json.hpp"
#include "travune/stack.hpp"

namespace travune {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Whether any of the eight bytes in `w` is below 0x20, '"' or '\\' (bytes from 0x80 up are
// never flagged). Exact as an any-test: a borrow only runs on past a byte that matched.
bool word_needs_escape(std::uint64_t w) {
  std::uint64_t control = (w - kOnes * 0x20) & ~w;
  std::uint64_t q = w ^ (kOnes * '"');
  std::uint64_t b = w ^ (kOnes * '\\');
  std::uint64_t quote = (q - kOnes) & ~q;
  std::uint64_t backslash = (b - kOnes) & ~b;
  return ((control | quote | backslash) & kHighs) != 0;
}

// The length of the leading stretch of `s`, in whole words of eight bytes, that needs no escape.
std::size_t plain_prefix(std::string_view s) {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (word_needs_escape(w)) break;
  }
  return i;
}

bool byte_needs_escape(char b) {
  auto c = static_cast<unsigned char>(b);
  return c < 0x20 || c == '"' || c == '\\';
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
  std::size_t first = plain_prefix(s);
  while (first < s.size() && !byte_needs_escape(s[first])) ++first;
  if (first == s.size()) {  // the usual string: nothing to escape, one append
    constexpr std::size_t kShort = 62;
    if (s.size() <= kShort) {
      char buf[kShort + 2];
      buf[0] = '"';
      std::memcpy(buf + 1, s.data(), s.size());
      buf[s.size() + 1] = '"';
      out.append(buf, s.size() + 2);
      return;
    }
    out += '"';
    out.append(s.data(), s.size());
    out += '"';
    return;
  }
  out += '"';
  std::size_t run = 0;  // start of the pending run of bytes copied as they are
  for (std::size_t i = first; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
    }
  }
  out.append(s, run, s.size() - run);
  out += '"';
}

namespace {

// A finite float as Python's repr writes it (1.0, 1e+16, 5e-324); null when not finite.
void append_json_float(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out += "null";
    return;
  }
  append_python_repr(out, x);
}

void append_key(std::string& out, std::string_view key) {
  out += '"';
  out += key;
  out += "\":";
}

void append_dim(std::string& out, const Dim& d) {
  if (const auto* v = std::get_if<std::int64_t>(&d)) append_int(out, *v);
  else append_json_string(out, std::get<std::string>(d));
}

void append_type_json(std::string& out, const TensorType& t) {
  out += "{\"dtype\":";
  append_json_string(out, t.dtype);
  out += ",\"shape\":[";
  for (std::size_t i = 0; i < t.shape.size(); ++i) {
    if (i) out += ',';
    append_dim(out, t.shape[i]);
    poll_element(i, out);
  }
  out += "]}";
}

// A JSON array of the strings of `items` (a vector, a set: any range of strings), in order.
template <class Strings>
void append_json_string_array(std::string& out, const Strings& items) {
  out += '[';
  std::size_t i = 0;
  for (const auto& s : items) {
    if (i) out += ',';
    append_json_string(out, s);
    poll_element(i++, out);
  }
  out += ']';
}

void append_atom(std::string& out, const Atom& a) {
  switch (a.index()) {
    case 0: append_int(out, std::get<0>(a)); break;
    case 1: append_json_float(out, std::get<1>(a)); break;
    default: append_json_string(out, std::get<2>(a));
  }
}

// `depth` counts the enclosing lists.
void append_literal(std::string& out, const LiteralValue& v, std::size_t depth = 0) {
  switch (v.v.index()) {
    case 0: append_int(out, std::get<0>(v.v)); break;
    case 1: {
      double x = std::get<1>(v.v);
      if (std::isnan(x)) out += "\"nan\"";
      else if (std::isinf(x)) out += x > 0 ? "\"inf\"" : "\"-inf\"";
      else append_python_repr(out, x);
      break;
    }
    default: {
      check_stack("a literal list", depth + 1);
      const auto& list = std::get<2>(v.v);
      out += '[';
      for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        append_literal(out, list[i], depth + 1);
        poll_element(i, out);
      }
      out += ']';
    }
  }
}

void append_params(std::string& out, const std::vector<Param>& params) {
  out += '[';
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i) out += ',';
    out += "{\"name\":";
    append_json_string(out, params[i].name);
    out += ",\"ty\":";
    append_type_json(out, params[i].ty);
    out += '}';
    poll_element(i, out);
  }
  poll_rest(params.size());
  out += ']';
}

void append_axes(std::string& out, const OrderedMap<std::int64_t>& axes) {
  if (axes.empty()) return;
  out += ",\"axes\":{";
  std::size_t i = 0;
  for (const auto& [name, size] : axes) {
    if (i) out += ',';
    append_json_string(out, name);
    out += ':';
    append_int(out, size);
    poll_element(i++, out);
  }
  out += '}';
}

void append_str_field(std::string& out, std::string_view key, const std::string& value) {
  out += ',';
  append_key(out, key);
  append_json_string(out, value);
}

// The kind-specific keys, each preceded by a comma.
struct KindFields {
  std::string& out;

  void operator()(const View& k) const {
    append_str_field(out, "pattern", k.pattern);
    append_axes(out, k.axes);
  }
  void operator()(const Map& k) const { append_str_field(out, "function", k.function); }
  void operator()(const Fold& k) const {
    append_str_field(out, "pattern", k.pattern);
    append_str_field(out, "reduction", k.reduction);
  }
  void operator()(const Tile& k) const {
    append_str_field(out, "pattern", k.pattern);
    append_axes(out, k.axes);
  }
  void operator()(const Read& k) const { append_str_field(out, "pattern", k.pattern); }
  void operator()(const Write& k) const {
    append_str_field(out, "pattern", k.pattern);
    append_str_field(out, "reduction", k.reduction);
  }
  void operator()(const Contract& k) const { append_str_field(out, "pattern", k.pattern); }
  void operator()(const Literal& k) const {
    out += ",\"value\":";
    append_literal(out, k.value);
  }
  void operator()(const Iota&) const {}
  void operator()(const Random& k) const {
    out += ",\"lower\":";
    append_json_float(out, k.lower);
    out += ",\"upper\":";
    append_json_float(out, k.upper);
  }
  void operator()(const Call& k) const { append_str_field(out, "target", k.target); }
  void operator()(const Loop& k) const {
    append_str_field(out, "target", k.target);
    out += ",\"count\":";
    if (const auto* n = std::get_if<std::uint64_t>(&k.count)) append_int(out, *n);
    else append_json_string(out, std::get<std::string>(k.count));
  }
  void operator()(const Cache& k) const {
    append_str_field(out, "var", k.var);
    append_str_field(out, "init", k.init);
    if (k.extend) append_str_field(out, "extend", *k.extend);
  }
};

}  // namespace

namespace {

void append_op_json(std::string& out, const Op& op,
                    std::vector<std::pair<std::size_t, std::size_t>>* args_at) {
  keep_room(out);
  const std::size_t start = out.size();
  out += "{\"kind\":\"";
  out += kind_word(op.kind);
  out += '"';
  std::visit(KindFields{out}, op.kind);
  out += ",\"outputs\":";
  append_json_string_array(out, op.outputs);
  out += ",\"output_types\":[";
  for (std::size_t i = 0; i < op.output_types.size(); ++i) {
    if (i) out += ',';
    if (op.output_types[i]) append_type_json(out, *op.output_types[i]);
    else out += "null";
    poll_element(i, out);
  }
  out += "],\"args\":[";
  if (args_at) {
    args_at->clear();
    args_at->reserve(op.args.size());
  }
  for (std::size_t i = 0; i < op.args.size(); ++i) {
    if (i) out += ',';
    const std::size_t begin = out.size();
    append_atom(out, op.args[i]);
    if (args_at) args_at->emplace_back(begin, out.size());
    poll_element(i, out);
  }
  out += ']';
  if (!op.comments.empty()) {
    out += ",\"comments\":";
    append_json_string_array(out, op.comments);
  }
  out += '}';
  poll_interrupt(static_cast<std::int64_t>(out.size() - start));
}

}  // namespace

void append_op_json(std::string& out, const Op& op) { append_op_json(out, op, nullptr); }

void append_op_json(std::string& out, const Op& op,
                    std::vector<std::pair<std::size_t, std::size_t>>& args_at) {
  append_op_json(out, op, &args_at);
}

void append_function_head_json(std::string& out, const Function& f) {
  out += "{\"name\":";
  append_json_string(out, f.name);
  if (!f.comments.empty()) {
    out += ",\"comments\":";
    append_json_string_array(out, f.comments);
  }
  out += ",\"params\":";
  append_params(out, f.params);
  out += ",\"returns\":";
  append_params(out, f.returns);
  out += ",\"ops\":[";
}

void append_function_tail_json(std::string& out) { out += "]}"; }

namespace {

void append_function_json(std::string& out, const Function& f) {
  append_function_head_json(out, f);
  for (std::size_t i = 0; i < f.ops.size(); ++i) {
    if (i) out += ',';
    append_op_json(out, f.ops[i]);
  }
  append_function_tail_json(out);
}

}  // namespace

void open_module_json(std::string& out, const std::vector<std::string>& header_comments) {
  out += '{';
  if (!header_comments.empty()) {
    out += "\"header_comments\":";
    append_json_string_array(out, header_comments);
    out += ',';
  }
  out += "\"functions\":{";
}

void append_function_entry_json(std::string& out, std::string_view key, const Function& f,
                                bool first) {
  if (!first) out += ',';
  append_json_string(out, key);
  out += ':';
  append_function_json(out, f);
}

void close_module_json(std::string& out) { out += "}}"; }

namespace {

// Bytes each op and each parameter take in the text, about: enough that the output buffer
// is sized once for the usual modules (unused capacity costs address space, not memory).
constexpr std::size_t kBytesPerOp = 320;
constexpr std::size_t kBytesPerParam = 96;

std::size_t estimated_size(const Module& m) {
  std::size_t n = 128;
  for (const auto& [key, f] : m.functions)
    n += 64 + key.size() + f.ops.size() * kBytesPerOp +
         (f.params.size() + f.returns.size()) * kBytesPerParam;
  return n;
}

}  // namespace

std::string write_module_json(const Module& m) {
  std::string out;
  out.reserve(estimated_size(m));
  open_module_json(out, m.header_comments);
  bool first = true;
  for (const auto& [key, f] : m.functions) {
    append_function_entry_json(out, key, f, first);
    first = false;
  }
  close_module_json(out);
  return out;
}

namespace {

void append_weights_json(std::string& out, const Constraints& c) {
  out += '{';
  bool first_fn = true;
  std::size_t i = 0;
  for (const auto& [fn, weights] : c.weights) {
    if (!first_fn) out += ',';
    first_fn = false;
    append_json_string(out, fn);
    out += ":{";
    bool first = true;
    for (const auto& [name, ty] : weights) {
      if (!first) out += ',';
      first = false;
      append_json_string(out, name);
      out += ':';
      append_type_json(out, ty);
      poll_element(i++, out);
    }
    out += '}';
  }
  out += '}';
}

}  // namespace

std::string write_check_result_json(const CheckResult& r) {
  std::string out;
  out.reserve(128);
  out += "{\"errors\":";
  append_json_string_array(out, r.errors);
  out += ",\"constraints\":{\"params\":";
  append_json_string_array(out, r.constraints.params);
  out += ",\"weights\":";
  append_weights_json(out, r.constraints);
  out += "}}";
  return out;
}

}  // namespace travune
