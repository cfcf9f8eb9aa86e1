#include "unicode.hpp"

#include "regex.hpp"

namespace travune {

std::size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 1;
}

char32_t decode_utf8(std::string_view ch) {
  auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(ch[i])); };
  switch (ch.size()) {
    case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    case 4:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    default: return ch.empty() ? 0 : b(0);
  }
}

bool debug_escapes(std::string_view ch) {
  if (ch.size() == 1) {
    unsigned char c = static_cast<unsigned char>(ch[0]);
    return c < 0x20 || c == 0x7F;
  }
  // The categories come from PCRE2's Unicode tables, compiled once and read-only afterwards.
  static const Regex unprintable(
      "[\\p{Cc}\\p{Cf}\\p{Cs}\\p{Co}\\p{Cn}\\p{Zl}\\p{Zp}\\p{Zs}\\p{Mn}\\p{Mc}\\p{Me}]");
  return unprintable.matches_at_start(ch);
}

}  // namespace travune
