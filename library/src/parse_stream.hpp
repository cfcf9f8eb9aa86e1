#pragma once
// The parser's cursor over the tokens of one source text. Tokens are views into the
// source, which must outlive the stream. Comment tokens are set aside as the cursor
// passes them, so the parser can attach them to the module, a function or an op.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace travune {

struct Stream {
  std::vector<std::string_view> tokens;    // the whole source, never changed
  std::vector<std::string_view> comments;  // pending comments, in the order met
  std::size_t pos = 0;                     // index of the next token
};

// A token beginning with "//".
inline bool is_comment(std::string_view t) { return t.size() >= 2 && t.starts_with("//"); }

// Moves the comment tokens at `pos` into the pending comments.
void skip_comments(Stream& s);
// Skips comments, then answers whether the next token is `text` (false at the end).
bool peek_is(Stream& s, std::string_view text);
// Skips comments, then takes the next token; stops the call at the end of the tokens.
std::string_view next_token(Stream& s);
// Takes the next token; stops with "Expected {:?}, got {:?}" when it is not `text`.
void expect(Stream& s, std::string_view text);
// Whether every token has been taken (skips nothing).
inline bool at_end(const Stream& s) { return s.pos >= s.tokens.size(); }
// The pending comments, which are then cleared.
std::vector<std::string> take_comments(Stream& s);

}  // namespace travune
