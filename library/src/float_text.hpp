#pragma once
// Shortest round-trip decimal digits of a double, and the two layouts built on them.
#include <string>

namespace travune {

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
