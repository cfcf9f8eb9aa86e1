#include "number_text.hpp"

#include <charconv>
#include <cstdlib>

namespace travune {

ShortestDigits shortest_digits(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  ShortestDigits d;
  if (!s.empty() && s.front() == '-') {
    d.negative = true;
    s.remove_prefix(1);
  }
  std::size_t e = s.find('e');
  for (char c : s.substr(0, e))
    if (c != '.') d.digits += c;
  int exp10 = 0;
  std::string_view ex = s.substr(e + 1);
  if (!ex.empty() && ex.front() == '+') ex.remove_prefix(1);
  std::from_chars(ex.data(), ex.data() + ex.size(), exp10);
  d.point = exp10 + 1;
  return d;
}

namespace {

void append_layout_positional(std::string& out, const ShortestDigits& d, bool add_dot_zero) {
  int n = static_cast<int>(d.digits.size());
  if (d.negative) out += '-';
  if (d.point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.point), '0');
    out += d.digits;
  } else if (d.point >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(d.point - n), '0');
    if (add_dot_zero) out += ".0";
  } else {
    out.append(d.digits, 0, static_cast<std::size_t>(d.point));
    out += '.';
    out.append(d.digits, static_cast<std::size_t>(d.point));
  }
}

}  // namespace

void append_python_repr(std::string& out, double x) {
  ShortestDigits d = shortest_digits(x);
  if (d.point > -4 && d.point <= 16) {  // Python switches to an exponent outside this range
    append_layout_positional(out, d, true);
    return;
  }
  if (d.negative) out += '-';
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1);
  }
  int exp10 = d.point - 1;
  out += exp10 < 0 ? "e-" : "e+";
  int a = std::abs(exp10);
  if (a < 10) out += '0';
  out += std::to_string(a);
}

void append_positional(std::string& out, double x) {
  append_layout_positional(out, shortest_digits(x), false);
}

}  // namespace travune
