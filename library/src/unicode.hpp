#pragma once
#include <cstddef>
#include <string_view>

namespace travune {

// Whether the debug form of a string writes this character as \u{..}: the characters that are
// not printable (Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs other than the space) and combining marks
// (Mn, Mc, Me). `ch` is the UTF-8 text of one character.
bool debug_escapes(std::string_view ch);

// Length in bytes of the UTF-8 sequence that starts with `lead` (1 for an invalid lead byte).
std::size_t utf8_length(unsigned char lead);

// The code point of one UTF-8 character.
char32_t decode_utf8(std::string_view ch);

}  // namespace travune
