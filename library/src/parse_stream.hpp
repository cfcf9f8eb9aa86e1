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
inline bool is_comment(std::string_view t) { return t.size() >= 2 && t[0] == '/' && t[1] == '/'; }

// Whether token `t` is `text`. The parser compares tokens with short fixed words many times
// per op, so this compares the bytes in place rather than through a library call.
inline bool token_is(std::string_view t, std::string_view text) {
  if (t.size() != text.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i)
    if (t[i] != text[i]) return false;
  return true;
}

// Moves the comment tokens at `pos` into the pending comments.
inline void set_comments_aside(Stream& s) {
  while (s.pos < s.tokens.size() && is_comment(s.tokens[s.pos])) s.comments.push_back(s.tokens[s.pos++]);
}

// The same; most calls find no comment, which this answers without a call.
inline void skip_comments(Stream& s) {
  if (s.pos < s.tokens.size() && is_comment(s.tokens[s.pos])) [[unlikely]]
    set_comments_aside(s);
}

// Skips comments, then answers whether the next token is `text` (false at the end).
inline bool peek_is(Stream& s, std::string_view text) {
  skip_comments(s);
  return s.pos < s.tokens.size() && token_is(s.tokens[s.pos], text);
}

// Stops the call: `next_token` at the end of the tokens.
[[noreturn]] void end_of_tokens(const Stream& s);

// Skips comments, then takes the next token; stops the call at the end of the tokens.
inline std::string_view next_token(Stream& s) {
  skip_comments(s);
  if (s.pos >= s.tokens.size()) end_of_tokens(s);
  return s.tokens[s.pos++];
}

// Stops the call with "Expected {:?}, got {:?}".
[[noreturn]] void expected_failure(std::string_view expected, std::string_view got);

// Takes the next token; stops with "Expected {:?}, got {:?}" when it is not `text`.
inline void expect(Stream& s, std::string_view text) {
  std::string_view t = next_token(s);
  if (!token_is(t, text)) expected_failure(text, t);
}

// Whether every token has been taken (skips nothing).
inline bool at_end(const Stream& s) { return s.pos >= s.tokens.size(); }

// The pending comments, which are then cleared.
std::vector<std::string> take_comments(Stream& s);

}  // namespace travune
