#pragma once
// Numbers as text: integers, and the shortest round-trip digits of a double with the two
// layouts built on them.
#include <charconv>
#include <string>

namespace travune {

// Decimal digits of an integer, appended.
template <class Int>
void append_int(std::string& out, Int v) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// value = (negative ? -1 : 1) * 0.DIGITS * 10^point; digits has no leading zero except "0" itself.
struct ShortestDigits {
  bool negative = false;
  std::string digits;
  int point = 0;
};

// `x` must be finite.
ShortestDigits shortest_digits(double x);

// Python's repr of a finite float: positional for decimal points from -3 to 16, scientific otherwise.
void append_python_repr(std::string& out, double x);

// Plain positional decimal of a finite float, never an exponent, "0" for zero, no ".0" added.
void append_positional(std::string& out, double x);

}  // namespace travune
