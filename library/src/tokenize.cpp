// The tokenizer and the token stream. Tokenizing is one pass over the bytes: a byte
// that starts no token is dropped, and an unterminated string runs to the end of the text.
#include <array>

#include "travune/fatal.hpp"
#include "travune/interrupt.hpp"
#include "travune/parse.hpp"
#include "travune/ast.hpp"
#include "parse_stream.hpp"

namespace travune {

namespace {

// What a byte can start, for one table lookup per token.
enum class Start : unsigned char { Drop, Space, Quote, Slash, Minus, Dot, Digit, Letter, Punct };

constexpr std::array<Start, 256> make_start_table() {
  std::array<Start, 256> t{};  // every other byte, 0x80 and up included, is dropped
  for (char c : std::string_view(" \t\n\f\r")) t[static_cast<unsigned char>(c)] = Start::Space;
  for (char c : std::string_view("()*+,:=[]{}")) t[static_cast<unsigned char>(c)] = Start::Punct;
  for (int c = '0'; c <= '9'; ++c) t[c] = Start::Digit;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = Start::Letter;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = Start::Letter;
  t['_'] = Start::Letter;
  t['"'] = Start::Quote;
  t['/'] = Start::Slash;
  t['-'] = Start::Minus;
  t['.'] = Start::Dot;
  return t;
}
constexpr std::array<Start, 256> kStart = make_start_table();

constexpr std::array<bool, 256> make_ident_table() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = kStart[c] == Start::Letter || kStart[c] == Start::Digit || c == '.';
  return t;
}
constexpr std::array<bool, 256> kIdentChar = make_ident_table();

Start start_of(char c) { return kStart[static_cast<unsigned char>(c)]; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_char(char c) { return kIdentChar[static_cast<unsigned char>(c)]; }

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

// The end of the token starting at i, or i itself when the byte there starts none.
std::size_t scan_token(std::string_view text, std::size_t i) {
  char next = i + 1 < text.size() ? text[i + 1] : '\0';
  switch (start_of(text[i])) {
    case Start::Quote: return scan_string(text, i);
    case Start::Slash: return next == '/' ? scan_comment(text, i) : i + 1;
    case Start::Minus:
      if (next == '>') return i + 2;
      return is_digit(next) ? scan_number(text, i) : i + 1;
    case Start::Dot: return text.substr(i, 3) == "..." ? i + 3 : i;
    case Start::Digit: return scan_number(text, i);
    case Start::Letter: return scan_identifier(text, i);
    case Start::Punct: return i + 1;
    default: return i;
  }
}

}  // namespace

std::size_t tokenize_some(std::string_view text, std::size_t from,
                          std::vector<std::string_view>& out, std::size_t limit) {
  std::size_t i = from;
  while (i < text.size() && out.size() < limit) {
    if (start_of(text[i]) == Start::Space) {
      ++i;
      continue;
    }
    std::size_t end = scan_token(text, i);
    if (end == i) {  // a byte that starts no token is dropped
      ++i;
      continue;
    }
    out.push_back(text.substr(i, end - i));
    i = end;
  }
  return i;
}

std::vector<std::string_view> tokenize(std::string_view text) {
  std::vector<std::string_view> tokens;
  tokens.reserve(text.size() / 4 + 8);
  tokenize_some(text, 0, tokens, static_cast<std::size_t>(-1));
  return tokens;
}

// Tokens per window: small enough to stay in cache, large enough that refilling is rare.
constexpr std::size_t kWindowTokens = 4096;

void refill(Stream& s) {
  s.first += s.window.size();
  s.window.clear();
  if (s.window.capacity() < kWindowTokens) s.window.reserve(kWindowTokens);
  const std::size_t from = s.scanned;
  s.scanned = tokenize_some(s.text, s.scanned, s.window, kWindowTokens);
  poll_interrupt(static_cast<std::int64_t>(s.scanned - from));
}

namespace {

// What the message calls a construct, and whether it closes with a bracket.
struct ConstructText {
  std::string_view what;  // followed by the construct's name, when it has one
  bool bracketed;
};

ConstructText construct_text(Construct c) {
  switch (c) {
    case Construct::Header: return {"the header of function ", false};
    case Construct::Params: return {"the parameter list of function ", true};
    case Construct::Returns: return {"the return list of function ", true};
    case Construct::Body: return {"the body of function ", true};
    case Construct::Statement: return {"the op statement", false};
    case Construct::OutputNames: return {"the list of output names", true};
    case Construct::OutputTypes: return {"the list of output types", true};
    case Construct::Shape: return {"the shape of type ", true};
    case Construct::Brackets: return {"the bracket list of ", true};
    case Construct::Arguments: return {"the argument list of ", true};
    case Construct::LiteralList: return {"the literal list", true};
  }
  return {"", false};
}

}  // namespace

// "unexpected end of text: the argument list of "map" opened at line 3, column 14 is not
// closed"; "... the op statement at line 2, column 3 is not complete".
void end_of_tokens(const Stream& s) {
  std::string msg = "unexpected end of text";
  if (s.innermost) {
    const Opening& o = *s.innermost;
    const ConstructText c = construct_text(o.what);
    msg += ": ";
    msg += c.what;
    if (!o.name.empty()) append_debug_str(msg, o.name);
    msg += c.bracketed ? " opened at line " : " at line ";
    const auto at = static_cast<std::size_t>(o.at.data() - s.text.data());
    const TextPlace p = line_and_column(s.text, at);
    msg += std::to_string(p.line);
    msg += ", column ";
    msg += std::to_string(p.column);
    msg += c.bracketed ? " is not closed" : " is not complete";
  }
  fatal(std::move(msg));
}

void expected_failure(std::string_view expected, std::string_view got) {
  fatal("Expected " + debug_str(expected) + ", got " + debug_str(got));
}

std::vector<std::string> take_comments(Stream& s) {
  std::vector<std::string> out;
  note_length(s, s.comments.size());
  append_polled(out, s.comments.begin(), s.comments.end());
  s.comments.clear();
  return out;
}

}  // namespace travune
