// The canonical formatter. Everything is appended to one output text, line by line, each line
// ending in a line feed; nothing is built per line. Lengths and paddings count bytes.
//
// The bytes written for each op and each function header count toward the interrupt check;
// inside, a list of any length (arguments, outputs, comments, dimensions, literal values,
// axes, parameters) polls after each batch of kPollBatch elements and keeps room in the text
// (poll_element), so that a single op of millions of them is worked on in steps.
#include "travune/fmt.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "number_text.hpp"
#include "travune/interrupt.hpp"
#include "travune/stack.hpp"

namespace travune {
namespace {

template <class Int>
std::size_t int_size(Int v) {
  char buf[24];
  return static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf);
}

void append_pad(std::string& out, std::size_t n) { out.append(n, ' '); }

void append_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "nan";  // the word the JSON form uses; no text of a NaN reads back
    return;
  }
  if (std::isinf(x)) {
    out += x > 0 ? "inf" : "-inf";
    return;
  }
  std::size_t start = out.size();
  append_positional(out, x);  // never an exponent
  if (out.find('.', start) == std::string::npos) out += ".0";
}

void append_dim(std::string& out, const Dim& d) {
  if (const auto* v = std::get_if<std::int64_t>(&d)) append_int(out, *v);
  else out += std::get<std::string>(d);
}

void append_type(std::string& out, const TensorType& t) {
  if (t.dtype == "*") {
    out += '*';
    return;
  }
  out += t.dtype;
  out += '[';
  for (std::size_t i = 0; i < t.shape.size(); ++i) {
    if (i) out += ", ";
    append_dim(out, t.shape[i]);
    poll_element(i, out);
  }
  out += ']';
}

// The byte length of the text append_type writes.
std::size_t type_size(const TensorType& t) {
  if (t.dtype == "*") return 1;
  std::size_t n = t.dtype.size() + 2;
  for (std::size_t i = 0; i < t.shape.size(); ++i) {
    if (i) n += 2;
    const Dim& d = t.shape[i];
    if (const auto* v = std::get_if<std::int64_t>(&d)) n += int_size(*v);
    else n += std::get<std::string>(d).size();
    poll_element(i);
  }
  return n;
}

// Nesting depth is bounded by the readers that build literal values; `depth` counts the
// enclosing lists.
void append_literal(std::string& out, const LiteralValue& v, std::size_t depth = 0) {
  switch (v.v.index()) {
    case 0: append_int(out, std::get<0>(v.v)); break;
    case 1: append_float(out, std::get<1>(v.v)); break;
    default: {
      check_stack("a literal list", depth + 1);
      const LiteralList& items = std::get<2>(v.v);
      out += '[';
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        append_literal(out, items[i], depth + 1);
        poll_element(i, out);
      }
      out += ']';
    }
  }
}

void append_atom(std::string& out, const Atom& a) {
  switch (a.index()) {
    case 0: append_int(out, std::get<0>(a)); break;
    case 1: append_float(out, std::get<1>(a)); break;
    default: out += std::get<2>(a);
  }
}

void append_args(std::string& out, const std::vector<Atom>& args) {
  out += '(';
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += ", ";
    append_atom(out, args[i]);
    poll_element(i, out);
  }
  out += ')';
}

void append_pattern(std::string& out, const std::string& pattern) {
  out += '"';
  out += pattern;
  out += '"';
}

// view and tile: the quoted pattern, then name=size per axis, in map order.
void append_axes_brackets(std::string& out, const std::string& pattern,
                          const OrderedMap<std::int64_t>& axes) {
  out += '[';
  append_pattern(out, pattern);
  std::size_t i = 0;
  for (const auto& [name, size] : axes) {
    out += ", ";
    out += name;
    out += '=';
    append_int(out, size);
    poll_element(i++, out);
  }
  out += ']';
}

// fold and write. An empty pattern is left out: printed as "" it would read back as the
// first bracket name and take the place of the reduction.
void append_reduce_brackets(std::string& out, const std::string& pattern,
                            const std::string& reduction) {
  out += '[';
  if (!pattern.empty()) {
    append_pattern(out, pattern);
    out += ", ";
  }
  out += reduction;
  out += ']';
}

void append_pattern_brackets(std::string& out, const std::string& pattern) {
  out += '[';
  append_pattern(out, pattern);
  out += ']';
}

void append_word_brackets(std::string& out, const std::string& word) {
  out += '[';
  out += word;
  out += ']';
}

void append_loop_count(std::string& out, const LoopCount& c) {
  if (const auto* n = std::get_if<std::uint64_t>(&c)) append_int(out, *n);
  else out += std::get<std::string>(c);
}

// The part of an op statement that its kind decides, after the kind word; `args` tells
// whether the op's arguments follow it.
struct KindText {
  std::string& out;

  bool operator()(const View& k) const {
    append_axes_brackets(out, k.pattern, k.axes);
    return true;
  }
  bool operator()(const Map& k) const {
    append_word_brackets(out, k.function);
    return true;
  }
  bool operator()(const Fold& k) const {
    append_reduce_brackets(out, k.pattern, k.reduction);
    return true;
  }
  bool operator()(const Tile& k) const {
    append_axes_brackets(out, k.pattern, k.axes);
    return true;
  }
  bool operator()(const Read& k) const {
    append_pattern_brackets(out, k.pattern);
    return true;
  }
  bool operator()(const Write& k) const {
    append_reduce_brackets(out, k.pattern, k.reduction);
    return true;
  }
  bool operator()(const Contract& k) const {
    append_pattern_brackets(out, k.pattern);
    return true;
  }
  bool operator()(const Literal& k) const {
    out += '(';
    append_literal(out, k.value);
    out += ')';
    return false;  // a literal's args are not printed
  }
  bool operator()(const Iota&) const { return true; }
  bool operator()(const Random& k) const {
    out += '[';
    append_float(out, k.lower);
    out += ", ";
    append_float(out, k.upper);
    out += ']';
    return false;  // no parenthesised part
  }
  bool operator()(const Call& k) const {
    append_word_brackets(out, k.target);
    return true;
  }
  bool operator()(const Loop& k) const {
    out += '[';
    out += k.target;
    out += ", ";
    append_loop_count(out, k.count);
    out += ']';
    return true;
  }
  bool operator()(const Cache& k) const {
    out += '[';
    out += k.var;
    out += ", ";
    out += k.init;
    if (k.extend) {
      out += ", ";
      out += *k.extend;
    }
    out += ']';
    return true;
  }
};

// The right-hand side of an op statement, after " = ".
void append_rhs(std::string& out, const Op& op) {
  out += kind_word(op.kind);
  if (std::visit(KindText{out}, op.kind)) append_args(out, op.args);
}

void append_param(std::string& out, const Param& p) {
  out += p.name;
  out += ": ";
  append_type(out, p.ty);
}

void append_returns(std::string& out, const Function& fn) {
  out += '(';
  for (std::size_t i = 0; i < fn.returns.size(); ++i) {
    if (i) out += ", ";
    append_param(out, fn.returns[i]);
    poll_element(i, out);
  }
  out += ')';
}

// One line when the header text, " {" included, fits in `width` bytes; else one line per
// parameter with the colons in one column.
void append_header(std::string& out, const Function& fn, std::uint64_t width) {
  std::size_t start = out.size();
  out += fn.name;
  out += '(';
  for (std::size_t i = 0; i < fn.params.size(); ++i) {
    if (i) out += ", ";
    append_param(out, fn.params[i]);
    poll_element(i, out);
  }
  out += ") -> ";
  append_returns(out, fn);
  out += " {";
  if (out.size() - start <= width) {
    out += '\n';
    return;
  }
  out.resize(start);
  out += fn.name;
  out += "(\n";
  std::size_t p_width = 0;
  for (const Param& p : fn.params) p_width = std::max(p_width, p.name.size());
  for (std::size_t i = 0; i < fn.params.size(); ++i) {
    const Param& p = fn.params[i];
    out += "  ";
    out += p.name;
    append_pad(out, p_width - p.name.size());
    out += ": ";
    append_type(out, p.ty);
    if (i + 1 < fn.params.size()) out += ',';
    out += '\n';
    poll_element(i, out);
  }
  out += ") -> ";
  append_returns(out, fn);
  out += " {\n";
}

// The declared type of output i, or null when it has none.
const TensorType* output_type(const Op& op, std::size_t i) {
  if (i >= op.output_types.size() || !op.output_types[i]) return nullptr;
  return &*op.output_types[i];
}

struct Columns {
  std::size_t name = 0;  // N: the longest output name of the function
  std::size_t type = 0;  // T: the longest output type text, 0 when nothing is typed
};

Columns columns(const Function& fn) {
  Columns c;
  for (const Op& op : fn.ops) {
    for (std::size_t i = 0; i < op.outputs.size(); ++i) {
      c.name = std::max(c.name, op.outputs[i].size());
      if (const TensorType* t = output_type(op, i)) c.type = std::max(c.type, type_size(*t));
      poll_element(i);
    }
    poll_rest(op.outputs.size() + 1);  // the op and its outputs
  }
  return c;
}

void append_comment_lines(std::string& out, const std::vector<std::string>& comments) {
  for (std::size_t i = 0; i < comments.size(); ++i) {
    out += "  ";
    out += comments[i];
    out += '\n';
    poll_element(i, out);
  }
}

// One line per output; the last one carries " = " and the right-hand side, with every "="
// of the function in one column.
void append_statement(std::string& out, const Op& op, Columns cols) {
  std::size_t k = op.outputs.size();
  for (std::size_t i = 0; i < k; ++i) {
    const std::string& name = op.outputs[i];
    const TensorType* ty = output_type(op, i);
    out += "  ";
    out += name;
    append_pad(out, cols.name - name.size());
    if (i + 1 < k) {
      // An untyped output here is its name and a comma, which reads back as untyped.
      if (ty) {
        out += ": ";
        append_type(out, *ty);
      }
      out += ",\n";
      poll_element(i, out);
      continue;
    }
    if (ty) {
      out += ": ";
      std::size_t start = out.size();
      append_type(out, *ty);
      append_pad(out, cols.type - (out.size() - start));
    } else if (cols.type > 0) {
      append_pad(out, cols.type + 2);
    }
    out += " = ";
    append_rhs(out, op);
    out += '\n';
  }
}

void append_function(std::string& out, const Function& fn, std::uint64_t width) {
  keep_room(out);
  std::size_t start = out.size();
  append_header(out, fn, width);
  append_comment_lines(out, fn.comments);
  poll_interrupt(static_cast<std::int64_t>(out.size() - start));
  Columns cols = columns(fn);
  for (std::size_t p = 0; p < fn.ops.size(); ++p) {
    const Op& op = fn.ops[p];
    keep_room(out);
    start = out.size();
    if (!op.comments.empty()) {
      if (p > 0) out += '\n';
      append_comment_lines(out, op.comments);
    }
    append_statement(out, op, cols);
    poll_interrupt(static_cast<std::int64_t>(out.size() - start));
  }
  out += "}\n";
}

// A close guess at the output size, so that the text grows rarely.
std::size_t estimate_size(const Module& m) {
  std::size_t n = 16;
  for (const std::string& c : m.header_comments) n += c.size() + 1;
  for (const auto& [key, fn] : m.functions) {
    n += fn.name.size() + 32 + 24 * (fn.params.size() + fn.returns.size());
    for_each_polled(fn.comments, [&](const std::string& c) { n += c.size() + 3; });
    for (const Op& op : fn.ops) {
      n += 48 + 8 * op.args.size();
      for_each_polled(op.outputs, [&](const std::string& o) { n += o.size() + 32; });
      for_each_polled(op.comments, [&](const std::string& c) { n += c.size() + 3; });
    }
  }
  return n + n / 8;
}

}  // namespace

void open_trv_text(std::string& out, const std::vector<std::string>& header_comments) {
  for (std::size_t i = 0; i < header_comments.size(); ++i) {
    out += header_comments[i];
    out += '\n';
    poll_element(i, out);
  }
  if (!header_comments.empty()) out += '\n';
}

void append_function_text(std::string& out, const Function& f, std::uint64_t width, bool first) {
  if (!first) out += '\n';
  append_function(out, f, width);
}

void close_trv_text(std::string& out) {
  if (out.empty()) out += '\n';  // no lines at all: the text is the final line feed alone
}

std::string format_trv(const Module& m, std::uint64_t width) {
  std::string out;
  out.reserve(estimate_size(m));
  open_trv_text(out, m.header_comments);
  bool first = true;
  for (const auto& [key, fn] : m.functions) {
    append_function_text(out, fn, width, first);
    first = false;
  }
  close_trv_text(out);
  return out;
}

}  // namespace travune
