#pragma once
// The toolkit under the JSON readers. simdjson's On-Demand parser walks one padded copy of
// the text; this layer adds what On-Demand leaves to its caller: every value is walked and
// so validated (values under skipped keys included), nesting is bounded, trailing characters
// are refused, and every error carries the line and column at which reading stopped.
//
// The copy is the text wrapped in "[" and "]": the top-level value is then an ordinary array
// element (On-Demand treats scalar documents apart), and reaching the added "]" anywhere but
// right after the top-level value means the text ended early.
#include <simdjson.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "travune/json.hpp"
#include "travune/stack.hpp"

namespace travune::json_kit {

namespace od = simdjson::ondemand;

// Arrays and objects nest at most 128 levels; the 129th is refused ("recursion limit exceeded").
inline constexpr int max_depth = 128;

// What a JSON value read or skipped counts toward the interrupt check (travune/interrupt.hpp).
inline constexpr std::int64_t kValueUnits = 16;

// A JSON number as read: an integer that fits 64 bits keeps its exact value; any other
// number (fraction, exponent, or an integer beyond the 64-bit ranges) is a double.
struct Number {
  enum Kind : std::uint8_t { Signed, Unsigned, Float } kind;
  std::int64_t i = 0;   // Signed: a negative integer (-0 is a Float)
  std::uint64_t u = 0;  // Unsigned: a non-negative integer
  double f = 0;         // Float
  bool fits_i64() const { return kind == Signed || (kind == Unsigned && u <= INT64_MAX); }
  std::int64_t as_i64() const { return kind == Signed ? i : static_cast<std::int64_t>(u); }
  double as_double() const;
};

class Reader {
 public:
  explicit Reader(std::string_view text);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Reads the top-level value with `read(value)` and refuses anything but whitespace after it.
  template <class F>
  auto read_root(F&& read);
  template <class F>
  auto read_whole(F&& read);

  // ---- looking at a value ----
  // The first byte of the value's token ('{', '[', '"', '-', a digit, 't', 'f', 'n', or other).
  // Asked of nearly every value read, so always inlined.
  [[gnu::always_inline]] static char first(od::value& v) { return v.raw_json_token()[0]; }
  static bool is_number_start(char c) { return c == '-' || (c >= '0' && c <= '9'); }
  static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  // The value's token text without the blanks after it (a scalar's whole text).
  static std::string_view token(od::value& v);

  // ---- reading scalars (the value must start as the name says, else see type_error) ----
  std::string_view read_string(od::value& v);
  Number read_number(od::value& v);

  // ---- containers ----
  // Calls on_element(value) for each element of an array value (which must start with '[').
  // An array that nobody reads (`ignoring`) is walked as a plain value: a comma before its
  // closing bracket is a value missing, not a trailing comma.
  template <class F>
  void for_each_element(od::value& v, F&& on_element, bool ignoring = false);
  // Calls on_field(key, value) for each member of an object value (which must start with '{').
  // Keys of an object that nobody reads (`skipping`) are only checked, as skip() checks strings,
  // and given as empty.
  template <class F>
  void for_each_field(od::value& v, F&& on_field, bool skipping = false, bool paired = true);

  // Walks (and so validates) a value of any kind that nobody reads. A string in it may hold a
  // lone surrogate escape, unless the value is read whole to be tried against alternatives (`paired`).
  void skip(od::value& v, bool paired = false);

  // ---- errors ----
  // "invalid type: {what v is}, expected {expected}"; reads v first, so a malformed token
  // reports its own syntax error instead.
  [[noreturn]] void type_error(od::value& v, std::string_view expected);
  // `message` at the end of v (which must be fully read or walked).
  [[noreturn]] void fail_after(od::value& v, std::string message);
  // `message` at the closing bracket of the container just read.
  [[noreturn]] void fail_after_container(std::string message);
  // "duplicate field `{key}`" at the end of the key whose value is v.
  [[noreturn]] void duplicate_field(od::value& v, std::string_view key);
  // `message` at the first byte of v.
  [[noreturn]] void fail_at(od::value& v, std::string message);
  // `message` where the reader stands before the container v, which it has not entered.
  [[noreturn]] void fail_before(od::value& v, std::string message);
  // `message` about the element v of an array (fully read) once the reader has stepped past the
  // separator or the closing bracket that follows it, as it does before it reports an error
  // that names no place of its own.
  [[noreturn]] void fail_in_list(od::value& v, std::string message);
  // The same for the member value v of an object: the reader takes a closing brace, not a comma.
  [[noreturn]] void fail_in_map(od::value& v, std::string message);
  // Reading the value v (fully read) reached the part of a faulty text that was made up to
  // complete it: the fault's error is raised (see complete_text).
  void check_cut(od::value& v);
  // `message` about the object v, refused as the reader enters it (before its members).
  [[noreturn]] void fail_entering_map(od::value& v, std::string message);

 private:
  std::size_t index_of(const char* p) const { return static_cast<std::size_t>(p - base()); }
  const char* base() const { return buf_.data(); }
  // Line and column after `consumed` bytes of the text.
  [[noreturn]] void fail(std::size_t consumed, std::string message) const;
  // A syntax error at the byte at wrapped index i (or the end of the text when i is the added "]").
  [[noreturn]] void fail_peek(std::size_t i, std::string message) const;
  void enter(od::value& v);
  void leave() { --depth_; }
  std::size_t token_end(od::value& v) const;
  std::size_t prev_non_ws(std::size_t i) const;
  std::size_t closing_bracket();
  [[noreturn]] void bad_value(od::value& v, bool ignoring = false);
  [[noreturn]] void bad_string(od::value& v);
  // Unescapes the key starting at `raw` (just after its opening quote) into `key`, or stops at its fault.
  void check_key(const char* raw, od::field& field, std::string_view& key) const;
  static bool is_hex(char c);
  unsigned hex_escape(std::size_t& i) const;
  std::size_t check_string(std::size_t q, bool paired) const;
  // Where the text is cut before its first fault, and what completes the part before the cut.
  struct Completion {
    std::size_t cut = 1;     // wrapped index of the first byte left out
    std::string_view tail;   // put in place of the rest (a literal), then the closers
    std::vector<char> open;  // the containers open at the cut
  };
  void scan_syntax(Completion& done) const;
  void complete_text();
  // The value or key at wrapped index i is skipped; when it stands at the cut, the fault is in a
  // string that nobody reads.
  void skipping_at(std::size_t i);
  JsonError error_at(std::size_t consumed, std::string message) const;
  [[noreturn]] void after_scalar(std::size_t junk) const;
  std::size_t check_number(std::string_view tok, bool skipping) const;
  void skip_string(od::value& v, bool paired);
  std::size_t value_end(od::value& v);
  [[noreturn]] void fail_map_end(std::size_t i, std::string message) const;
  // The key starting at `raw` (just after its opening quote) when it has no escapes; else null.
  std::string_view plain_key(const char* raw) const;
  Number number_prefix(std::string_view tok);
  [[noreturn]] void bad_object_step(bool ignoring);
  [[noreturn]] void bad_array_step();
  [[noreturn]] void stage1_error(simdjson::error_code e) const;
  void expect_word(od::value& v, std::string_view word);
  void check_array_closed();
  std::string describe(od::value& v);

  simdjson::padded_string buf_;
  std::size_t len_;  // length of the text; the added "]" is at wrapped index len_ + 1
  od::parser parser_;
  od::document doc_;
  int depth_ = 0;
  StackGauge stack_;  // checked on entering each array and object
  // Set when the scalar just read is a valid number or word followed by more bytes in its token
  // ("1x", "truex"): the wrapped index of the first such byte. The value is taken as far as it is
  // valid, so a type error about it comes first; otherwise the byte is refused as the reader next
  // wants a separator, by after_scalar().
  std::size_t junk_ = 0;
  // Set when the text was cut before a fault (see complete_text): the wrapped index of the cut,
  // and the error at the fault, which stands for every error met at or after the cut.
  std::size_t cut_ = 0;
  JsonError syntax_error_;
  JsonError skipped_error_;  // the same where the faulty value is skipped, not read
  mutable std::size_t last_consumed_ = 0;  // the position of the last error raised
};

// ---- templates ----

template <class F>
auto Reader::read_root(F&& read) {
  if (cut_ != 0) {
    try {
      (void)read_whole(read);
    } catch (JsonError&) {
      if (last_consumed_ >= cut_) throw syntax_error_;
      throw;
    }
    throw syntax_error_;  // the part before the fault reads well; the fault stops the reading
  }
  return read_whole(read);
}

template <class F>
auto Reader::read_whole(F&& read) {
  od::array outer;
  if (doc_.get_array().get(outer)) fail(len_, "EOF while parsing a value");
  for (auto res : outer) {
    od::value v;
    if (std::move(res).get(v)) bad_array_step();
    auto result = read(v);
    if (junk_ != 0) after_scalar(junk_);
    auto next = doc_.current_location();
    if (next.error()) fail(len_, "EOF while parsing a list");
    std::size_t i = index_of(next.value_unsafe());
    if (i <= len_) fail_peek(i, "trailing characters");
    return result;
  }
  // No value: the text is blank, or it starts with a "]" that closed the wrapping array.
  std::size_t i = 1;
  while (i <= len_ && is_blank(base()[i])) ++i;
  if (i > len_) fail(len_, "EOF while parsing a value");
  fail_peek(i, "expected value");
}

template <class F>
void Reader::for_each_element(od::value& v, F&& on_element, bool ignoring) {
  enter(v);
  od::array arr;
  if (v.get_array().get(arr)) bad_value(v);  // cannot fail: the caller saw '['
  for (auto res : arr) {
    od::value e;
    if (std::move(res).get(e)) bad_array_step();
    if (first(e) == ']') bad_value(e, ignoring);  // "[1,]", or the text ended after a comma
    on_element(e);
    if (junk_ != 0) after_scalar(junk_);
  }
  check_array_closed();
  leave();
}

template <class F>
void Reader::for_each_field(od::value& v, F&& on_field, bool skipping, bool paired) {
  enter(v);
  od::object obj;
  if (v.get_object().get(obj)) bad_value(v);  // cannot fail: the caller saw '{'
  for (auto res : obj) {
    od::field field;
    if (std::move(res).get(field)) bad_object_step(skipping && !paired);
    const char* raw = field.key().raw();
    std::string_view key = plain_key(raw);
    if (key.data() == nullptr) {
      if (skipping && cut_ != 0 && !paired) skipping_at(index_of(raw) - 1);
      if (skipping) check_string(index_of(raw) - 1, paired);
      else check_key(raw, field, key);
    }
    on_field(key, field.value());
    if (junk_ != 0) after_scalar(junk_);
  }
  leave();
}

}  // namespace travune::json_kit
