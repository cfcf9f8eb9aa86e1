#include "travune/ast.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "unicode.hpp"

namespace travune {

std::size_t literal_depth(const LiteralValue& v) {
  const auto* outer = std::get_if<LiteralList>(&v.v);
  if (!outer) return 0;
  // The lists being walked, each with the index of its next item.
  std::vector<std::pair<const LiteralList*, std::size_t>> open{{outer, 0}};
  std::size_t deepest = 1;
  while (!open.empty()) {
    auto& [list, next] = open.back();
    if (next == list->size()) {
      open.pop_back();
      continue;
    }
    if (const auto* inner = std::get_if<LiteralList>(&(*list)[next++].v)) {
      open.emplace_back(inner, 0);
      deepest = std::max(deepest, open.size());
    }
  }
  return deepest;
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
