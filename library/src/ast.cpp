#include "travune/ast.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "travune/interrupt.hpp"
#include "unicode.hpp"

namespace travune {

namespace {

// Calls on_value(value, open) for each value inside the list `outer`, in document order,
// without recursion; `open` is the number of lists around the value (1 for an item of
// `outer`). A poll for each kPollBatch values.
template <class F>
void walk_literal(const LiteralList& outer, F&& on_value) {
  // The lists being walked, each with the index of its next item.
  std::vector<std::pair<const LiteralList*, std::size_t>> open{{&outer, 0}};
  std::size_t steps = 0;
  while (!open.empty()) {
    auto& [list, next] = open.back();
    if (next == list->size()) {
      open.pop_back();
      continue;
    }
    const LiteralValue& value = (*list)[next++];
    const auto* inner = on_value(value, open.size());
    if (inner) open.emplace_back(inner, 0);
    if (++steps == kPollBatch) {
      poll_interrupt(static_cast<std::int64_t>(kPollBatch) * kElementUnits);
      steps = 0;
    }
  }
  poll_interrupt(static_cast<std::int64_t>(steps) * kElementUnits);
}

}  // namespace

std::size_t literal_depth(const LiteralValue& v) {
  const auto* outer = std::get_if<LiteralList>(&v.v);
  if (!outer) return 0;
  std::size_t deepest = 1;
  walk_literal(*outer, [&](const LiteralValue& value, std::size_t open) {
    const auto* inner = std::get_if<LiteralList>(&value.v);
    if (inner) deepest = std::max(deepest, open + 1);
    return inner;
  });
  return deepest;
}

std::size_t literal_count(const LiteralValue& v) {
  const auto* outer = std::get_if<LiteralList>(&v.v);
  if (!outer) return 1;
  std::size_t count = 1;
  walk_literal(*outer, [&](const LiteralValue& value, std::size_t) {
    ++count;
    return std::get_if<LiteralList>(&value.v);
  });
  return count;
}

void assign_literal(LiteralValue& to, const LiteralValue& from) {
  const auto* outer = std::get_if<LiteralList>(&from.v);
  if (!outer) {
    to.v = from.v;
    return;
  }
  // Each list of the copy takes its whole room before its items, so that the copies of the
  // lists being walked (`made`, innermost last) stay in place.
  LiteralList copy;
  copy.reserve(outer->size());
  std::vector<LiteralList*> made{&copy};
  walk_literal(*outer, [&](const LiteralValue& value, std::size_t open) {
    while (made.size() > open) made.pop_back();
    const auto* inner = std::get_if<LiteralList>(&value.v);
    if (!inner) {
      made.back()->push_back(value);
      return inner;
    }
    auto& list = std::get<LiteralList>(made.back()->emplace_back(LiteralValue{LiteralList{}}).v);
    list.reserve(inner->size());
    made.push_back(&list);
    return inner;
  });
  to.v = std::move(copy);
}

void assign_long_kind(OpKind& to, const OpKind& from) {
  if (const auto* literal = std::get_if<Literal>(&from)) {
    LiteralValue value;
    assign_literal(value, literal->value);
    to = Literal{std::move(value)};
    return;
  }
  auto axes_of = [](const OpKind& k) -> const OrderedMap<std::int64_t>* {
    if (const auto* v = std::get_if<View>(&k)) return &v->axes;
    if (const auto* t = std::get_if<Tile>(&k)) return &t->axes;
    return nullptr;
  };
  const OrderedMap<std::int64_t>* axes = axes_of(from);
  if (!axes || axes->size() <= kPollBatch) {
    to = from;
    return;
  }
  // A long map of axes: the rest of the kind, then its entries one batch at a time.
  OrderedMap<std::int64_t> copy;
  copy.reserve(axes->size());
  for_each_polled(*axes, [&](const auto& entry) { copy.insert(entry); });
  if (const auto* v = std::get_if<View>(&from)) to = View{v->pattern, std::move(copy)};
  else to = Tile{std::get<Tile>(from).pattern, std::move(copy)};
}

namespace {

template <class T>
void release_if_long(std::vector<T>& v) {
  if (v.size() > kLongList) truncate_polled(v, 0);
}

void release_if_long(TensorType& t) { release_if_long(t.shape); }

// Empties a literal's lists from the innermost out, without recursion; a short list of
// numbers is left as it is.
void release_literal(LiteralValue& v) {
  auto* outer = std::get_if<LiteralList>(&v.v);
  if (!outer) return;
  if (outer->size() <= kPollBatch &&
      std::none_of(outer->begin(), outer->end(),
                   [](const LiteralValue& e) { return std::holds_alternative<LiteralList>(e.v); }))
    return;
  std::vector<LiteralList*> open{outer};
  std::size_t steps = 0;
  while (!open.empty()) {
    LiteralList* list = open.back();
    if (list->empty()) {
      open.pop_back();
      continue;
    }
    if (auto* inner = std::get_if<LiteralList>(&list->back().v); inner && !inner->empty()) {
      open.push_back(inner);
      continue;
    }
    list->pop_back();
    if (++steps == kPollBatch) {
      poll_interrupt(static_cast<std::int64_t>(kPollBatch) * kElementUnits);
      steps = 0;
    }
  }
  poll_interrupt(static_cast<std::int64_t>(steps) * kElementUnits);
}

void release_axes(OrderedMap<std::int64_t>& axes) {
  if (axes.size() <= kLongList) return;
  while (!axes.empty()) {
    for (std::size_t k = 0; k < kPollBatch && !axes.empty(); ++k) axes.pop_back();
    poll_interrupt(static_cast<std::int64_t>(kPollBatch) * kElementUnits);
  }
}

void release_params(std::vector<Param>& params) {
  for_each_polled(params, [](Param& p) { release_if_long(p.ty); });
  release_if_long(params);
}

}  // namespace

void release_long_lists(Op& op) {
  release_if_long(op.args);
  release_if_long(op.outputs);
  for_index_polled(op.output_types.size(), [&](std::size_t i) {
    if (op.output_types[i]) release_if_long(*op.output_types[i]);
  }, op.output_types.size() > kPollBatch ? kElementUnits : 0);
  release_if_long(op.output_types);
  release_if_long(op.comments);
  if (auto* literal = std::get_if<Literal>(&op.kind)) release_literal(literal->value);
  else if (auto* view = std::get_if<View>(&op.kind)) release_axes(view->axes);
  else if (auto* tile = std::get_if<Tile>(&op.kind)) release_axes(tile->axes);
}

void release_long_lists(Function& f) {
  release_params(f.params);
  release_params(f.returns);
  release_if_long(f.comments);
  for_each_polled(f.ops, [](Op& op) { release_long_lists(op); }, kOpUnits);
  if (f.ops.size() > kLongList) truncate_polled(f.ops, 0, kOpUnits);
}

void release_long_lists(Module& m) {
  release_if_long(m.header_comments);
  for (auto it = m.functions.begin(); it != m.functions.end(); ++it) release_long_lists(it.value());
}

void append_debug_str(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = std::min(utf8_length(c), s.size() - i);
    std::string_view ch = s.substr(i, n);
    i += n;
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (debug_escapes(ch)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(decode_utf8(ch)));
      out += buf;
    } else {
      out += ch;
    }
  }
  out += '"';
}

std::string debug_str(std::string_view s) {
  std::string out;
  append_debug_str(out, s);
  return out;
}

void append_debug_dim(std::string& out, const Dim& d) {
  if (const auto* v = std::get_if<std::int64_t>(&d)) {
    out += "Concrete(";
    out += std::to_string(*v);
    out += ')';
  } else {
    out += "Named(";
    append_debug_str(out, std::get<std::string>(d));
    out += ')';
  }
}

std::string debug_dim(const Dim& d) {
  std::string out;
  append_debug_dim(out, d);
  return out;
}

std::string debug_type(const TensorType& t) {
  std::string out = "TensorType { dtype: ";
  append_debug_str(out, t.dtype);
  out += ", shape: [";
  for (std::size_t i = 0; i < t.shape.size(); ++i) {
    if (i) out += ", ";
    append_debug_dim(out, t.shape[i]);
  }
  out += "] }";
  return out;
}

std::int64_t truncate_saturating(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
  if (x < -0x1p63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

}  // namespace travune
