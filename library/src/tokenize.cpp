// The tokenizer and the token stream. Tokenizing is one pass over the bytes: a byte
// that starts no token is dropped, and an unterminated string runs to the end of the text.
#include "travune/fatal.hpp"
#include "travune/parse.hpp"
#include "travune/ast.hpp"
#include "parse_stream.hpp"

namespace travune {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ident_char(char c) { return is_letter(c) || is_digit(c) || c == '_' || c == '.'; }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

bool is_punct(char c) {
  switch (c) {
    case '(': case ')': case '*': case '+': case ',': case '-': case '/': case ':':
    case '=': case '[': case ']': case '{': case '}':
      return true;
    default:
      return false;
  }
}

// Each scanner takes the text and the start of its token and returns the end.

std::size_t scan_digits(std::string_view t, std::size_t i) {
  while (i < t.size() && is_digit(t[i])) ++i;
  return i;
}

// The opening quote is at i; a backslash steps over the byte after it.
std::size_t scan_string(std::string_view t, std::size_t i) {
  for (++i; i < t.size();) {
    if (t[i] == '\\') i += 2;
    else if (t[i++] == '"') return i;
  }
  return t.size();
}

std::size_t scan_comment(std::string_view t, std::size_t i) {
  std::size_t end = t.find('\n', i);
  return end == std::string_view::npos ? t.size() : end;
}

// Optional minus, digits, optional fraction (digits may be empty), optional exponent
// (sign optional, digits may be empty).
std::size_t scan_number(std::string_view t, std::size_t i) {
  if (t[i] == '-') ++i;
  i = scan_digits(t, i);
  if (i < t.size() && t[i] == '.') i = scan_digits(t, i + 1);
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    i = scan_digits(t, i);
  }
  return i;
}

// Letters, digits, "_" and "."; a run ending in "." takes a following "*" and ends there.
std::size_t scan_identifier(std::string_view t, std::size_t i) {
  std::size_t start = i;
  while (i < t.size() && is_ident_char(t[i])) ++i;
  if (i < t.size() && t[i] == '*' && i > start && t[i - 1] == '.') ++i;
  return i;
}

}  // namespace

std::vector<std::string_view> tokenize(std::string_view text) {
  std::vector<std::string_view> tokens;
  tokens.reserve(text.size() / 6 + 8);
  std::size_t i = 0;
  auto emit = [&](std::size_t end) {
    tokens.push_back(text.substr(i, end - i));
    i = end;
  };
  while (i < text.size()) {
    char c = text[i];
    char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (is_space(c)) ++i;
    else if (c == '"') emit(scan_string(text, i));
    else if (c == '/' && next == '/') emit(scan_comment(text, i));
    else if (c == '-' && next == '>') emit(i + 2);
    else if (is_digit(c) || (c == '-' && is_digit(next))) emit(scan_number(text, i));
    else if (c == '.') {
      if (text.substr(i, 3) == "...") emit(i + 3);
      else ++i;
    } else if (is_letter(c) || c == '_') emit(scan_identifier(text, i));
    else if (is_punct(c)) emit(i + 1);
    else ++i;
  }
  return tokens;
}

void skip_comments(Stream& s) {
  while (s.pos < s.tokens.size() && is_comment(s.tokens[s.pos])) {
    s.comments.push_back(s.tokens[s.pos]);
    ++s.pos;
  }
}

bool peek_is(Stream& s, std::string_view text) {
  skip_comments(s);
  return s.pos < s.tokens.size() && s.tokens[s.pos] == text;
}

std::string_view next_token(Stream& s) {
  skip_comments(s);
  if (s.pos >= s.tokens.size()) index_failure(s.pos, s.tokens.size());
  return s.tokens[s.pos++];
}

void expect(Stream& s, std::string_view text) {
  std::string_view t = next_token(s);
  if (t != text) fatal("Expected " + debug_str(text) + ", got " + debug_str(t));
}

std::vector<std::string> take_comments(Stream& s) {
  std::vector<std::string> out(s.comments.begin(), s.comments.end());
  s.comments.clear();
  return out;
}

}  // namespace travune
