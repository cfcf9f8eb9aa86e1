#pragma once
// The parser's cursor over the tokens of one source text. Tokens are views into the
// source, which must outlive the stream. The source is tokenized a window at a time as the
// cursor reaches it, so a large source never holds all its tokens at once. Comment tokens
// are set aside as the cursor passes them, so the parser can attach them to the module, a
// function or an op. The constructs being read are chained, so that a text that ends early
// stops with the innermost one and the place where it opened.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "travune/ast.hpp"
#include "travune/interrupt.hpp"

namespace travune {

// Splits source text into tokens (views into `text`); never fails.
std::vector<std::string_view> tokenize(std::string_view text);

// The constructs of the grammar that the text can end inside of, for the stop at an early
// end of the text.
enum class Construct : unsigned char {
  Header,       // a function from its name to its "{"
  Params,       // "(" of a parameter list
  Returns,      // "(" of a return list
  Body,         // "{" of a function body
  Statement,    // an op statement, from its first token
  OutputNames,  // "(" of the grouped output names
  OutputTypes,  // "(" of the grouped output types
  Shape,        // "[" of a type
  Brackets,     // "[" of an op's bracket list
  Arguments,    // "(" of an op's argument list
  LiteralList,  // "[" of a literal list
};

class Opening;

struct Stream {
  explicit Stream(std::string_view source) : text(source) {}
  std::string_view text;                   // the whole source, never changed
  std::size_t scanned = 0;                 // bytes of the source tokenized so far
  std::vector<std::string_view> window;    // the tokens from index `first` on
  std::size_t first = 0;                   // index of window[0] among all tokens
  std::vector<std::string_view> comments;  // pending comments, in the order met
  std::size_t pos = 0;                     // index of the next token
  std::vector<Dim> dims;                   // scratch of the type being read
  const Opening* innermost = nullptr;      // the innermost construct being read
  bool long_lists = false;                 // the function being read holds a long list
};

// Marks the function being read for release_long_lists when a list of it is `n` long.
inline void note_length(Stream& s, std::size_t n) {
  if (n > kPollBatch) [[unlikely]] s.long_lists = true;
}

// A construct being read, for the guard's lifetime: where it opened (a token of the source)
// and the name that the message gives it (a function's name, a dtype, a kind word; empty for
// the others). The guards of the constructs being read form a chain on the call stack.
class Opening {
 public:
  Opening(Stream& s, Construct c, std::string_view token, std::string_view called = {})
      : what(c), at(token), name(called), outer(s.innermost), s_(s) {
    s.innermost = this;
  }
  ~Opening() { s_.innermost = outer; }
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;

  const Construct what;
  const std::string_view at;
  const std::string_view name;
  const Opening* const outer;

 private:
  Stream& s_;
};

// Tokens of `text` from byte `from` on, appended to `out` until it holds `limit` tokens or
// the text ends. Returns the byte where tokenizing stopped (the size of `text` at its end).
std::size_t tokenize_some(std::string_view text, std::size_t from,
                          std::vector<std::string_view>& out, std::size_t limit);

// Tokenizes the next window once the cursor has passed every token of the current one.
void refill(Stream& s);

// Whether a token remains at `pos`.
inline bool has_token(Stream& s) {
  if (s.pos - s.first < s.window.size()) return true;
  if (s.scanned >= s.text.size()) return false;
  refill(s);
  return s.pos - s.first < s.window.size();
}

// The token at `pos`, which must exist (has_token).
inline std::string_view current(const Stream& s) { return s.window[s.pos - s.first]; }

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
  while (has_token(s) && is_comment(current(s))) {
    emplace_polled(s.comments, current(s));
    ++s.pos;
  }
}

// The same; most calls find no comment, which this answers without a call.
inline void skip_comments(Stream& s) {
  if (has_token(s) && is_comment(current(s))) [[unlikely]]
    set_comments_aside(s);
}

// Skips comments, then answers whether the next token is `text` (false at the end).
inline bool peek_is(Stream& s, std::string_view text) {
  skip_comments(s);
  return has_token(s) && token_is(current(s), text);
}

// Stops the call: `next_token` at the end of the tokens. The message names the innermost
// construct being read and where it opened.
[[noreturn]] void end_of_tokens(const Stream& s);

// Skips comments, then takes the next token; stops the call at the end of the tokens.
inline std::string_view next_token(Stream& s) {
  skip_comments(s);
  if (!has_token(s)) end_of_tokens(s);
  std::string_view t = current(s);
  ++s.pos;
  return t;
}

// Stops the call with "Expected {:?}, got {:?}".
[[noreturn]] void expected_failure(std::string_view expected, std::string_view got);

// Takes the next token and returns it; stops with "Expected {:?}, got {:?}" when it is not
// `text`.
inline std::string_view expect(Stream& s, std::string_view text) {
  std::string_view t = next_token(s);
  if (!token_is(t, text)) expected_failure(text, t);
  return t;
}

// Whether every token has been taken (skips nothing).
inline bool at_end(Stream& s) { return !has_token(s); }

// The pending comments, which are then cleared.
std::vector<std::string> take_comments(Stream& s);

}  // namespace travune
