// The JSON reading kit (json_read_kit.hpp): a reader over simdjson's On-Demand parser that
// validates every value, bounds nesting, refuses trailing characters and places every error
// at the line and column where reading stopped.
#include "json_read_kit.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "huge_pages.hpp"
#include "number_text.hpp"
#include "travune/file.hpp"
#include "travune/interrupt.hpp"

namespace travune {

std::string debug_form(const JsonError& e) {
  return "Error(" + debug_str(e.message) + ", line: " + std::to_string(e.line) +
         ", column: " + std::to_string(e.column) + ")";
}

namespace json_kit {

namespace {

std::string_view trim_token(std::string_view tok) {
  while (!tok.empty() && Reader::is_blank(tok.back())) tok.remove_suffix(1);
  return tok;
}

// -?[1-9][0-9]* with more digits than any 64-bit integer can hold exactly.
bool is_big_integer(std::string_view tok) {
  if (!tok.empty() && tok[0] == '-') tok.remove_prefix(1);
  if (tok.size() < 19 || tok[0] == '0') return false;
  return std::all_of(tok.begin(), tok.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Index of the first byte of `text` that starts an invalid UTF-8 sequence (text.size() if none).
std::size_t first_invalid_utf8(std::string_view text) {
  for (std::size_t k = 0; k < text.size(); ++k) {
    auto c = static_cast<unsigned char>(text[k]);
    if (c < 0x80) continue;
    std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (k + n > text.size() || !simdjson::validate_utf8(text.data() + k, n)) return k;
    k += n - 1;
  }
  return text.size();
}

}  // namespace

double Number::as_double() const {
  switch (kind) {
    case Signed: return static_cast<double>(i);
    case Unsigned: return static_cast<double>(u);
    default: return f;
  }
}

// simdjson reports a failed allocation of a padded copy as a null buffer, not an exception.
static simdjson::padded_string padded_buffer(std::size_t size) {
  simdjson::padded_string buf(size);
  if (buf.data() == nullptr) throw std::bad_alloc();
  prefer_huge_pages(buf.data(), size);
  return buf;
}

Reader::Reader(std::string_view text) : buf_(padded_buffer(text.size() + 2)), len_(text.size()) {
  char* p = buf_.data();
  p[0] = '[';
  if (!text.empty()) std::memcpy(p + 1, text.data(), text.size());
  p[text.size() + 1] = ']';
  auto e = parser_.iterate(buf_).get(doc_);
  if (e == simdjson::UNCLOSED_STRING || e == simdjson::UNESCAPED_CHARS) complete_text();
  else if (e) stage1_error(e);
}

JsonError Reader::error_at(std::size_t consumed, std::string message) const {
  std::string_view head(base() + 1, std::min(consumed, len_));
  std::size_t nl = head.rfind('\n');
  std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
  auto lines = static_cast<std::uint64_t>(std::count(head.begin(), head.begin() + line_start, '\n'));
  return JsonError{std::move(message), 1 + lines, head.size() - line_start};
}

void Reader::fail(std::size_t consumed, std::string message) const {
  last_consumed_ = consumed;
  throw error_at(consumed, std::move(message));
}

void Reader::fail_peek(std::size_t i, std::string message) const { fail(i, std::move(message)); }

void Reader::stage1_error(simdjson::error_code e) const {
  std::string_view text(base() + 1, len_);
  switch (e) {
    case simdjson::UTF8_ERROR: fail(first_invalid_utf8(text) + 1, "invalid unicode code point");
    case simdjson::MEMALLOC: throw std::bad_alloc();
    case simdjson::CAPACITY: fail(0, "input too large");
    default: fail(0, simdjson::error_message(e));
  }
}

// simdjson refuses a text with an unclosed string or a raw control character in a string as a
// whole, before reading. The first fault in reading order is found by walking the text as the
// reader walks it (the text is known to be faulty, so the walk stops with an error), and the
// reader then reads the text cut before the faulty token and completed (see Completion): an
// error that it meets before the cut comes first, as it would in reading the whole text.
void Reader::scan_syntax(Completion& done) const {
  std::vector<char> open;  // the opening bracket of each container entered
  std::size_t i = 1;
  auto cut_here = [&](const char* tail) {
    done.cut = i;
    done.tail = tail;
    done.open.assign(open.begin(), open.end());
  };
  auto blanks = [&] { while (i <= len_ && is_blank(base()[i])) ++i; };
  auto peek = [&](const char* eof_message, const char* tail) {
    blanks();
    cut_here(tail);
    if (i > len_) fail(len_, eof_message);
    return base()[i];
  };
  auto key_and_colon = [&] {
    i = check_string(i, false);
    if (peek("EOF while parsing an object", ":null") != ':') fail(i, "expected `:`");
    ++i;
  };
  for (;;) {
    char c = peek("EOF while parsing a value", "null");
    if (c == '[' || c == '{') {
      if (open.size() >= static_cast<std::size_t>(max_depth)) fail(i, "recursion limit exceeded");
      open.push_back(c);
      ++i;
      char d = peek(c == '[' ? "EOF while parsing a list" : "EOF while parsing an object", " ");
      if (d == (c == '[' ? ']' : '}')) {
        open.pop_back();
        ++i;
      } else {
        if (c == '{' && d != '"') fail(i, "key must be a string");
        if (c == '{') key_and_colon();
        continue;
      }
    } else if (c == '"') {
      i = check_string(i, false);
    } else if (c == 't' || c == 'f' || c == 'n') {
      std::string_view word = c == 't' ? "true" : c == 'f' ? "false" : "null";
      for (std::size_t k = 1; k < word.size(); ++k) {
        if (++i > len_) fail(len_, "EOF while parsing a value");
        if (base()[i] != word[k]) fail(i, "expected ident");
      }
      ++i;
    } else if (is_number_start(c)) {
      i = check_number(std::string_view(base() + i, 1), false);
    } else {
      fail(i, "expected value");
    }
    // After a value: close containers until a separator leads to the next value.
    for (;;) {
      if (open.empty()) {
        blanks();
        cut_here(" ");
        if (i <= len_) fail(i, "trailing characters");
        return;
      }
      bool list = open.back() == '[';
      char d = peek(list ? "EOF while parsing a list" : "EOF while parsing an object", " ");
      if (d == (list ? ']' : '}')) {
        open.pop_back();
        ++i;
        continue;
      }
      if (d != ',') fail(i, list ? "expected `,` or `]`" : "expected `,` or `}`");
      ++i;
      char e = peek("EOF while parsing a value", list ? "null" : "\"\":null");
      if (e == (list ? ']' : '}')) fail(i, "trailing comma");
      if (!list && e != '"') fail(i, "key must be a string");
      if (!list) key_and_colon();
      break;
    }
  }
}

// Replaces the text by its part before the cut, completed into a whole JSON text, and keeps the
// error that the walk found for every error met at or after the cut.
void Reader::complete_text() {
  Completion done;
  try {
    scan_syntax(done);
  } catch (JsonError& e) {
    syntax_error_ = std::move(e);
  }
  // Where the faulty string is skipped, the reader stands before its control character.
  skipped_error_ = syntax_error_;
  if (syntax_error_.message.starts_with("control character")) skipped_error_ = error_at(last_consumed_ - 1, syntax_error_.message);
  std::string text(base() + 1, done.cut - 1);
  text += done.tail;
  for (auto it = done.open.rbegin(); it != done.open.rend(); ++it) text += *it == '[' ? ']' : '}';
  buf_ = padded_buffer(text.size() + 2);
  len_ = text.size();
  char* p = buf_.data();
  p[0] = '[';
  std::memcpy(p + 1, text.data(), text.size());
  p[len_ + 1] = ']';
  cut_ = done.cut;
  if (parser_.iterate(buf_).get(doc_)) throw syntax_error_;
}

void Reader::skipping_at(std::size_t i) {
  if (i == cut_) syntax_error_ = skipped_error_;
}

void Reader::check_cut(od::value& v) {
  if (cut_ != 0 && value_end(v) > cut_) throw syntax_error_;
}

void Reader::enter(od::value& v) {
  if (++depth_ > max_depth) fail_peek(index_of(v.raw_json_token().data()), "recursion limit exceeded");
  stack_.check("JSON arrays and objects", static_cast<std::size_t>(depth_));
}

std::string_view Reader::token(od::value& v) { return trim_token(v.raw_json_token()); }

std::size_t Reader::token_end(od::value& v) const {
  if (junk_ != 0) return junk_;
  std::string_view tok = trim_token(v.raw_json_token());
  return index_of(tok.data()) + tok.size();
}

std::size_t Reader::prev_non_ws(std::size_t i) const {
  while (i > 0 && Reader::is_blank(base()[i - 1])) --i;
  return i == 0 ? 0 : i - 1;
}

// The container just read ends at the last non-blank byte before the next token.
std::size_t Reader::closing_bracket() {
  auto next = doc_.current_location();
  std::size_t n = next.error() ? len_ + 2 : index_of(next.value_unsafe());
  return prev_non_ws(n);
}

void Reader::check_array_closed() {
  if (doc_.current_location().error()) fail(len_, "EOF while parsing a list");
}

void Reader::fail_at(od::value& v, std::string message) {
  fail_peek(index_of(v.raw_json_token().data()), std::move(message));
}

void Reader::fail_after(od::value& v, std::string message) {
  char c = first(v);
  if (c == '{' || c == '[') fail(closing_bracket(), std::move(message));
  fail(token_end(v) - 1, std::move(message));
}

void Reader::fail_after_container(std::string message) { fail(closing_bracket(), std::move(message)); }

void Reader::fail_before(od::value& v, std::string message) {
  fail(index_of(v.raw_json_token().data()) - 1, std::move(message));
}

// Wrapped index just past the value v, which has been read or walked.
std::size_t Reader::value_end(od::value& v) {
  char c = first(v);
  return c == '{' || c == '[' ? closing_bracket() + 1 : token_end(v);
}

void Reader::fail_in_list(od::value& v, std::string message) {
  std::size_t i = value_end(v);
  while (i <= len_ && i != cut_ && is_blank(base()[i])) ++i;
  if (i == cut_) fail(i - 1, std::move(message));  // a cut text had a byte other than a separator here
  if (i <= len_ && base()[i] == ']') fail(i, std::move(message));
  if (i <= len_ && base()[i] == ',') {
    ++i;
    while (i <= len_ && is_blank(base()[i])) ++i;
  }
  fail(std::min(i - 1, len_), std::move(message));
}

void Reader::fail_in_map(od::value& v, std::string message) { fail_map_end(value_end(v), std::move(message)); }

void Reader::fail_entering_map(od::value& v, std::string message) {
  fail_map_end(index_of(v.raw_json_token().data()) + 1, std::move(message));
}

void Reader::fail_map_end(std::size_t i, std::string message) const {
  while (i <= len_ && i != cut_ && is_blank(base()[i])) ++i;
  if (i == cut_) fail(i - 1, std::move(message));  // as in fail_in_list
  if (i <= len_ && base()[i] == '}') fail(i, std::move(message));
  fail(std::min(i - 1, len_), std::move(message));
}

// Keys are short: a plain loop finds the closing quote sooner than a library search.
std::string_view Reader::plain_key(const char* raw) const {
  const char* end = base() + len_ + 2;
  for (const char* p = raw; p != end; ++p) {
    if (*p == '"') return std::string_view(raw, static_cast<std::size_t>(p - raw));
    if (*p == '\\') return {};
  }
  return {};
}

void Reader::duplicate_field(od::value& v, std::string_view key) {
  fail(prev_non_ws(index_of(v.raw_json_token().data())) - 1, "duplicate field `" + std::string(key) + "`");
}

bool Reader::is_hex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// Reads the four digits of a \u escape starting at wrapped index i; i ends past them.
unsigned Reader::hex_escape(std::size_t& i) const {
  if (i + 3 > len_) fail(len_, "EOF while parsing a string");
  unsigned n = 0;
  for (int k = 0; k < 4; ++k) {
    char c = base()[i++];
    if (!is_hex(c)) fail(i - 1, "invalid escape");
    n = n * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return n;
}

// Walks the string whose opening quote is at wrapped index q and stops at its first fault, where
// the reader stands after the byte that showed it; returns the index past its closing quote. Surrogate
// escapes are paired only where the text is kept (`paired`); a skipped string may hold them alone.
std::size_t Reader::check_string(std::size_t q, bool paired) const {
  std::size_t i = q + 1;
  auto eat = [&]() -> char {
    if (i > len_) fail(len_, "EOF while parsing a string");
    return base()[i++];
  };
  for (;;) {
    char c = eat();
    if (c == '"') return i;
    if (static_cast<unsigned char>(c) < 0x20) fail(i - 1, "control character (\\u0000-\\u001F) found while parsing a string");
    if (c != '\\') continue;
    char e = eat();
    if (std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos) continue;
    if (e != 'u') fail(i - 1, "invalid escape");
    unsigned n = hex_escape(i);
    if (!paired || n < 0xD800 || n > 0xDFFF) continue;
    if (n >= 0xDC00) fail(i - 1, "lone leading surrogate in hex escape");
    if (eat() != '\\' || eat() != 'u') fail(i - 1, "unexpected end of hex escape");
    n = hex_escape(i);
    if (n < 0xDC00 || n > 0xDFFF) fail(i - 1, "lone leading surrogate in hex escape");
  }
}

void Reader::check_key(const char* raw, od::field& field, std::string_view& key) const {
  check_string(index_of(raw) - 1, true);
  if (field.unescaped_key().get(key)) fail(index_of(raw), "invalid escape");  // not reached: checked above
}

void Reader::bad_string(od::value& v) {
  check_string(index_of(v.raw_json_token().data()), true);
  fail(token_end(v) - 1, "invalid escape");  // not reached, as above
}

void Reader::bad_value(od::value& v, bool ignoring) {
  std::size_t i = index_of(v.raw_json_token().data());
  if (i > len_) fail(len_, "EOF while parsing a value");
  char c = base()[i];
  bool after_comma = base()[prev_non_ws(i)] == ',';
  fail_peek(i, c == ']' && after_comma && !ignoring ? "trailing comma" : "expected value");
}

// Walks the number token `tok` by the JSON grammar and stops at its first fault, where the reader
// stands after the byte that showed it; a number of valid form is out of the range of a float.
// A number token that simdjson refuses: a malformed number stops here, and so does one beyond
// the float range; a valid number followed by more bytes is taken, and those bytes are refused
// once the value has been looked at (see junk_).
Number Reader::number_prefix(std::string_view tok) {
  std::size_t i = index_of(tok.data());
  std::size_t end = check_number(tok, false);
  std::string text(tok.substr(0, end - i));
  double d = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(d)) fail(end - 1, "number out of range");
  if (end < i + tok.size()) junk_ = end;
  if (text.find_first_of(".eE") == std::string::npos) {
    const char* first = text.data();
    const char* last = first + text.size();
    std::int64_t x = 0;
    std::uint64_t u = 0;
    if (text[0] == '-' && std::from_chars(first, last, x).ec == std::errc()) {
      return x == 0 ? Number{Number::Float, 0, 0, -0.0} : Number{Number::Signed, x, 0, 0};
    }
    if (text[0] != '-' && std::from_chars(first, last, u).ec == std::errc()) return {Number::Unsigned, 0, u, 0};
  }
  return {Number::Float, 0, 0, d};
}

// The byte at wrapped index `junk`, after a scalar, is where the enclosing array or object wants
// a separator (or, after the top-level value, nothing).
void Reader::after_scalar(std::size_t junk) const {
  std::size_t p = junk - 1;
  while (p > 0 && base()[p] != ':' && base()[p] != ',' && base()[p] != '[') --p;
  if (p == 0) fail(junk, "trailing characters");
  fail(junk, base()[p] == ':' ? "expected `,` or `}`" : "expected `,` or `]`");
}

// Returns the wrapped index just past a valid number starting at tok, or stops at its fault. The
// text ending inside the number is an early end where the number is read, a bad number where skipped.
std::size_t Reader::check_number(std::string_view tok, bool skipping) const {
  std::size_t i = index_of(tok.data());
  const char* at_end = skipping ? "invalid number" : "EOF while parsing a value";
  auto digit = [&](std::size_t k) { return k <= len_ && base()[k] >= '0' && base()[k] <= '9'; };
  if (base()[i] == '-') ++i;
  if (base()[i] == '0') {
    if (digit(++i)) fail(i, "invalid number");
  } else {
    if (!digit(i)) fail(i > len_ ? len_ : i, i > len_ ? at_end : "invalid number");
    while (digit(i)) ++i;
  }
  if (i <= len_ && base()[i] == '.') {
    if (!digit(++i)) fail(i > len_ ? len_ : i, i > len_ ? at_end : "invalid number");
    while (digit(i)) ++i;
  }
  if (i <= len_ && (base()[i] | 0x20) == 'e') {
    ++i;
    if (i <= len_ && (base()[i] == '+' || base()[i] == '-')) ++i;
    if (i > len_) fail(len_, at_end);
    if (!digit(i++)) fail(i - 1, "invalid number");
    while (digit(i)) ++i;
  }
  return i;
}

// After an iteration error On-Demand stands on the token that broke the object: a separator
// after a value, a key after "{" or ",", or the colon after a key.
void Reader::bad_object_step(bool ignoring) {
  auto loc = doc_.current_location();
  std::size_t i = loc.error() ? len_ + 1 : index_of(loc.value_unsafe());
  // The text ending after a comma ends where a key was due; elsewhere, inside the object.
  bool after_comma = base()[prev_non_ws(len_ + 1)] == ',' && !ignoring;
  if (i > len_) fail(len_, after_comma ? "EOF while parsing a value" : "EOF while parsing an object");
  std::size_t p = prev_non_ws(i);
  char pc = base()[p];
  if (pc == ',' || pc == '{') {
    fail_peek(i, base()[i] == '}' && pc == ',' && !ignoring ? "trailing comma" : "key must be a string");
  }
  if (pc == '"') {
    // A string before the bad token: a key (then the colon is missing) when it follows "{" or ",".
    std::size_t q = p;
    while (q > 0) {
      --q;
      if (base()[q] != '"') continue;
      std::size_t slashes = 0;
      while (base()[q - 1 - slashes] == '\\') ++slashes;
      if (slashes % 2 == 0) break;
    }
    char before = base()[prev_non_ws(q)];
    if (before == ',' || before == '{') {
      check_string(q, true);  // the key is read before the colon is looked for
      fail_peek(i, "expected `:`");
    }
  }
  fail_peek(i, "expected `,` or `}`");
}

void Reader::bad_array_step() {
  auto loc = doc_.current_location();
  std::size_t i = loc.error() ? len_ + 1 : index_of(loc.value_unsafe());
  if (i > len_) fail(len_, "EOF while parsing a list");
  fail_peek(i, "expected `,` or `]`");
}

// A string without escapes is its own text between the quotes: stage 1 has checked its
// UTF-8 and its control characters, so only strings with escapes go through unescaping.
std::string_view Reader::read_string(od::value& v) {
  std::string_view tok = token(v);
  if (tok.size() >= 2 && tok.back() == '"') {
    std::string_view inner = tok.substr(1, tok.size() - 2);
    if (inner.find('\\') == std::string_view::npos) {
      // Step past it: On-Demand would take a string left behind before a ':' for a key.
      (void)v.get_raw_json_string();
      return inner;
    }
  }
  std::string_view s;
  if (v.get_string().get(s)) bad_string(v);
  return s;
}

Number Reader::read_number(od::value& v) {
  std::string_view tok = trim_token(v.raw_json_token());
  if (tok.find_first_of(".eE") == std::string_view::npos) {
    if (tok[0] == '-') {
      std::int64_t x;
      if (!v.get_int64().get(x)) return x == 0 ? Number{Number::Float, 0, 0, -0.0} : Number{Number::Signed, x, 0, 0};
    } else {
      std::uint64_t x;
      if (!v.get_uint64().get(x)) return {Number::Unsigned, 0, x, 0};
    }
    // Left unconsumed: On-Demand steps over a scalar that was looked at but not taken.
    double d = 0;
    if (is_big_integer(tok) && std::from_chars(tok.data(), tok.data() + tok.size(), d).ec == std::errc()) {
      return {Number::Float, 0, 0, d};
    }
    return number_prefix(tok);
  }
  double d;
  if (!v.get_double().get(d)) return {Number::Float, 0, 0, d};
  return number_prefix(tok);
}

void Reader::expect_word(od::value& v, std::string_view word) {
  std::string_view tok = trim_token(v.raw_json_token());
  if (tok == word) {
    simdjson::error_code stepped = (word == "null" ? v.is_null() : v.get_bool()).error();  // step past it
    (void)stepped;
    return;
  }
  std::size_t k = 0;
  while (k < tok.size() && k < word.size() && tok[k] == word[k]) ++k;
  if (k == word.size()) {
    junk_ = index_of(tok.data()) + k;  // the word is taken; what follows it is refused later
    return;
  }
  fail_peek(index_of(tok.data()) + k, "expected ident");
}

void Reader::skip(od::value& v, bool paired) {
  poll_interrupt(kValueUnits);  // values nobody reads may be many
  if (cut_ != 0 && !paired) skipping_at(index_of(v.raw_json_token().data()));
  switch (first(v)) {
    case '{': for_each_field(v, [&](std::string_view, od::value& f) { skip(f, paired); }, true, paired); return;
    case '[': for_each_element(v, [&](od::value& e) { skip(e, paired); }, !paired); return;
    case '"': skip_string(v, paired); return;
    case 't': expect_word(v, "true"); return;
    case 'f': expect_word(v, "false"); return;
    case 'n': expect_word(v, "null"); return;
    default:
      if (!is_number_start(first(v))) bad_value(v);
      std::string_view tok = token(v);
      // A number nobody reads is checked for its form only: 1e999 passes.
      std::size_t end = check_number(tok, true);
      if (end != index_of(tok.data()) + tok.size()) junk_ = end;
  }
}

void Reader::skip_string(od::value& v, bool paired) {
  std::string_view tok = token(v);
  if (tok.find('\\') != std::string_view::npos) check_string(index_of(tok.data()), paired);
  (void)v.get_raw_json_string();  // step past it
}

std::string Reader::describe(od::value& v) {
  switch (first(v)) {
    case '{': return "map";
    case '[': return "sequence";
    case '"': return "string " + debug_str(read_string(v));
    case 't': expect_word(v, "true"); return "boolean `true`";
    case 'f': expect_word(v, "false"); return "boolean `false`";
    case 'n': expect_word(v, "null"); return "null";
    default: {
      if (!is_number_start(first(v))) bad_value(v);
      Number n = read_number(v);
      if (n.kind == Number::Signed) return "integer `" + std::to_string(n.i) + "`";
      if (n.kind == Number::Unsigned) return "integer `" + std::to_string(n.u) + "`";
      std::string out = "floating point `";
      append_positional(out, n.f);
      if (out.find('.', 16) == std::string::npos) out += ".0";
      return out + "`";
    }
  }
}

void Reader::type_error(od::value& v, std::string_view expected) {
  std::string message = "invalid type: " + describe(v) + ", expected " + std::string(expected);
  char c = first(v);
  if (c == '{' || c == '[') fail_before(v, std::move(message));
  fail_after(v, std::move(message));
}

}  // namespace json_kit

}  // namespace travune
