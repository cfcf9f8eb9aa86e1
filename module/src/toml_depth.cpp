#include "toml_depth.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "travune/hash.hpp"
#include "travune/interrupt.hpp"

// Two pieces: TomlText splits the text as TOML 1.0 does (whitespace, newlines, comments, the
// four kinds of string, keys, the other values), one function per rule of the grammar, named
// after it; DepthScan reads the statements of the document from those pieces and counts the
// level of every table and value they make. Where the text breaks a rule, the library stops
// at that place with its own error; the scan then reads on as best it can (it never stops
// short of what the library has read), so that what it counts for the part the library
// reads is always complete.

namespace travune {
namespace {

// The bytes passed over between two interrupt polls inside one long piece (a string, a
// comment, a key): a poll every few hundred microseconds.
constexpr std::size_t kPollBytes = std::size_t{1} << 16;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// unquoted-key = 1*( ALPHA / DIGIT / "-" / "_" ). Bytes of other characters are taken too:
// no document the library reads has one there, and a key read on is never counted short.
bool is_bare_key_byte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || is_digit(c) || u == '_' ||
         u == '-' || u >= 0x80;
}

// What the unquoted values are made of: booleans, integers (with signs, underscores and
// 0x/0o/0b), floats (with exponents, inf and nan), dates and times (with "T", "Z", ":").
bool is_scalar_byte(char c) {
  return is_bare_key_byte(c) || c == '+' || c == '.' || c == ':';
}

// full-date = 4DIGIT "-" 2DIGIT "-" 2DIGIT
bool is_full_date(std::string_view s) {
  return s.size() == 10 && s[4] == '-' && s[7] == '-' &&
         std::all_of(s.begin(), s.end(), [](char c) { return is_digit(c) || c == '-'; });
}

void append_utf8(std::string& out, std::uint32_t cp) {
  auto byte = [&](std::uint32_t b) { out += static_cast<char>(b); };
  if (cp < 0x80) {
    byte(cp);
  } else if (cp < 0x800) {
    byte(0xC0 | (cp >> 6));
    byte(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    byte(0xE0 | (cp >> 12));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  } else {
    byte(0xF0 | ((cp >> 18) & 0x07));
    byte(0x80 | ((cp >> 12) & 0x3F));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  }
}

// ---- the text as TOML splits it ----

class TomlText {
 public:
  explicit TomlText(std::string_view s) : s_(s) {
    if (s_.starts_with("\xEF\xBB\xBF")) i_ = 3;  // a byte-order mark, which the library skips
  }

  std::size_t pos() const { return i_; }
  bool at_end() const { return i_ >= s_.size(); }
  char peek(std::size_t k = 0) const { return i_ + k < s_.size() ? s_[i_ + k] : '\0'; }
  void advance(std::size_t n = 1) { i_ = std::min(s_.size(), i_ + n); }

  // Past one character (all bytes of a character of several).
  void advance_character() {
    advance();
    while (!at_end() && (static_cast<unsigned char>(s_[i_]) & 0xC0) == 0x80) ++i_;
  }

  // ws = *( %x20 / %x09 )
  void ws() {
    while (peek() == ' ' || peek() == '\t') ++i_;
  }

  // newline = %x0A / %x0D.0A
  bool newline() {
    if (peek() == '\n') return ++i_, true;
    if (peek() == '\r' && peek(1) == '\n') return i_ += 2, true;
    return false;
  }

  // comment = "#" *non-eol: to the end of the line.
  bool comment() {
    if (peek() != '#') return false;
    skip_to_any("\n");
    return true;
  }

  // ws-comment-newline = *( wschar / [ comment ] newline ): what may stand between the values
  // of an array.
  void ws_comment_newline() {
    for (;;) {
      ws();
      if (!newline() && !comment()) return;
    }
  }

  // One string of any of the four kinds, from its opening quote past its closing one:
  //   basic-string      = '"' *( basic-unescaped / escaped ) '"'        on one line
  //   literal-string    = "'" *literal-char "'"                          on one line
  //   ml-basic-string   = '"""' ml-basic-body '"""'                      escapes as above
  //   ml-literal-string = "'''" ml-literal-body "'''"
  // A string left open ends at the end of its line (one-line kinds) or of the text.
  void string() {
    const char q = peek();
    if (peek(1) == q && peek(2) == q) return multi_line_string(q);
    ++i_;
    const std::string_view stops = q == '"' ? std::string_view("\"\\\n") : "'\n";
    for (;;) {
      skip_to_any(stops);
      if (at_end() || peek() == '\n') return;
      if (peek() != '\\') return ++i_, void();  // the closing quote
      if (peek(1) == '\n') return ++i_, void();  // an escaped line break: the line ends here
      advance(2);                                // escape = "\" and the character it escapes
    }
  }

  // A simple-key (quoted-key = basic-string / literal-string, or an unquoted-key) from the
  // cursor: its text, quotes taken off and escapes undone, into `out` when given. False when
  // no key starts here.
  bool simple_key(std::string* out) {
    const std::size_t from = i_;
    const char c = peek();
    if (c == '"' || c == '\'') {
      string();
      if (out != nullptr) quoted_key_text(s_.substr(from, i_ - from), *out);
      return true;
    }
    skip_while(is_bare_key_byte);
    if (out != nullptr) out->assign(s_.substr(from, i_ - from));
    return i_ > from;
  }

  // A value that is not a string, an array or an inline table: a boolean, a number, a date
  // or a time. A full date followed by a blank and a digit goes on as a date and time
  // ("1979-05-27 07:32:00": the blank may take the place of the "T"). False when none
  // starts here.
  bool scalar() {
    const std::size_t from = i_;
    skip_while(is_scalar_byte);
    if (is_full_date(s_.substr(from, i_ - from)) && peek() == ' ' && is_digit(peek(1))) {
      ++i_;
      skip_while(is_scalar_byte);
    }
    return i_ > from;
  }

 private:
  // The body of a multi-line string and its closing delimiter. Its body may end with one or
  // two quotes of its own (mlb-quotes, mll-quotes): a run of three to five quotes closes it,
  // the last three being the delimiter.
  void multi_line_string(char q) {
    i_ += 3;
    const std::string_view stops = q == '"' ? std::string_view("\"\\") : "'";
    for (;;) {
      skip_to_any(stops);
      if (at_end()) return;
      if (peek() == '\\') {
        advance(2);
        continue;
      }
      std::size_t run = 0;
      while (peek(run) == q) ++run;
      if (run >= 3) return advance(std::min<std::size_t>(run, 5));
      i_ += run;
    }
  }

  // The key a quoted key names: a literal string as it stands, a basic string with its
  // escapes undone (\b \t \n \f \r \" \\ \uXXXX \UXXXXXXXX), so that two spellings of one key
  // give the same text. An escape the library refuses gives its letter.
  static void quoted_key_text(std::string_view quoted, std::string& out) {
    out.clear();
    const char q = quoted[0];
    quoted.remove_prefix(1);
    if (quoted.ends_with(q)) quoted.remove_suffix(1);
    if (q == '\'') return out.assign(quoted), void();
    for (std::size_t k = 0; k < quoted.size();) {
      if (quoted[k] != '\\' || k + 1 == quoted.size()) {
        out += quoted[k++];
        continue;
      }
      const char e = quoted[k + 1];
      k += 2;
      switch (e) {
        case 'b': out += '\b'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'f': out += '\f'; break;
        case 'r': out += '\r'; break;
        case 'u':
        case 'U': {
          const std::size_t digits = e == 'u' ? 4 : 8;
          std::uint32_t cp = 0;
          const char* first = quoted.data() + k;
          const char* last = quoted.data() + std::min(quoted.size(), k + digits);
          auto [end, ec] = std::from_chars(first, last, cp, 16);
          if (ec != std::errc() || end != first + digits) {
            out += e;
            break;
          }
          k += digits;
          append_utf8(out, cp);
          break;
        }
        default: out += e; break;  // \" and \\ (the library refuses any other)
      }
    }
  }

  // Moves to the first of `stops` from the cursor, or to the end of the text, polling for
  // interrupts on the way.
  void skip_to_any(std::string_view stops) {
    while (i_ < s_.size()) {
      const std::size_t end = std::min(s_.size(), i_ + kPollBytes);
      const std::size_t at = s_.substr(0, end).find_first_of(stops, i_);
      poll_interrupt(static_cast<std::int64_t>((at == std::string_view::npos ? end : at) - i_));
      if (at != std::string_view::npos) return void(i_ = at);
      i_ = end;
    }
  }

  // Moves past the bytes that `take` accepts, polling for interrupts on the way.
  void skip_while(bool (*take)(char)) {
    std::size_t since_poll = 0;
    while (i_ < s_.size() && take(s_[i_])) {
      ++i_;
      if (++since_poll == kPollBytes) {
        poll_interrupt(static_cast<std::int64_t>(since_poll));
        since_poll = 0;
      }
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// ---- the arrays of tables ----

// The arrays of tables declared so far, as the tree of the header keys that lead to them:
// only they make a header's levels differ from its count of keys, since a key that names one
// goes on into its last table. A new table of an array starts empty, so [[a]] forgets the
// arrays that headers declared below the table before it. Memory and time follow the keys
// of the array headers read.
class ArraysOfTables {
 public:
  using Node = std::size_t;
  static constexpr Node kRoot = 0;
  static constexpr Node kNone = std::numeric_limits<Node>::max();

  ArraysOfTables() : nodes_(1) {}

  // The node for `key` below `parent`, or kNone.
  Node find(Node parent, std::string_view key) {
    auto it = index_.find(std::string_view(index_key(parent, key)));
    return it == index_.end() ? kNone : it->second;
  }

  // The node for `key` below `parent`, made when there is none.
  Node find_or_add(Node parent, std::string_view key) {
    auto [it, added] = index_.try_emplace(index_key(parent, key), kNone);
    if (!added) return it->second;
    Node n;
    if (free_.empty()) {
      n = static_cast<Node>(nodes_.size());
      nodes_.emplace_back();
    } else {
      n = free_.back();
      free_.pop_back();
      nodes_[n] = Entry{};
    }
    it->second = n;
    nodes_[n].index_key = &it->first;
    nodes_[n].next_sibling = nodes_[parent].first_child;
    nodes_[parent].first_child = n;
    return n;
  }

  bool is_array(Node n) const { return n != kNone && nodes_[n].array; }

  // `n` is an array of tables and has a new last table, with nothing below it yet.
  void new_table(Node n) {
    nodes_[n].array = true;
    forget_below(n);
  }

 private:
  struct Entry {
    bool array = false;
    Node first_child = kNone;
    Node next_sibling = kNone;
    const std::string* index_key = nullptr;  // the key of the node in index_
  };

  const std::string& index_key(Node parent, std::string_view key) {
    scratch_.assign(reinterpret_cast<const char*>(&parent), sizeof parent).append(key);
    return scratch_;
  }

  void forget_below(Node n) {
    std::vector<Node>& pending = pending_;
    for (Node c = nodes_[n].first_child; c != kNone; c = nodes_[c].next_sibling)
      pending.push_back(c);
    nodes_[n].first_child = kNone;
    while (!pending.empty()) {
      const Node m = pending.back();
      pending.pop_back();
      for (Node c = nodes_[m].first_child; c != kNone; c = nodes_[c].next_sibling)
        pending.push_back(c);
      index_.erase(index_.find(std::string_view(*nodes_[m].index_key)));
      free_.push_back(m);
    }
  }

  std::vector<Entry> nodes_;  // nodes_[kRoot] is the root table
  std::vector<Node> free_;
  HashMap<std::string, Node> index_;  // the parent (its bytes) and the key, to the node
  std::string scratch_;
  std::vector<Node> pending_;
};

// ---- the levels ----

class DepthScan {
 public:
  DepthScan(std::string_view text, std::size_t bound) : t_(text), bound_(bound) {}

  TomlDepth run() {
    while (!t_.at_end() && !result_.too_deep) {
      const std::size_t from = t_.pos();
      if (frames_.empty()) expression();
      else if (frames_.back().array) array_part();
      else inline_table_part();
      if (t_.pos() == from) t_.advance_character();  // no rule takes it: the library stops here
      poll_interrupt(static_cast<std::int64_t>(t_.pos() - from));
    }
    return result_;
  }

 private:
  // expression = ws [ comment ] / ws keyval ws [ comment ] / ws table ws [ comment ], each
  // ended by a newline. Anything else after a keyval or a table breaks that rule; it is read
  // on as if a new expression began there.
  void expression() {
    t_.ws();
    if (t_.newline()) return;
    if (t_.comment() || t_.at_end()) return;
    if (t_.peek() == '[') table_header();
    else keyval(table_level_);
  }

  // std-table = "[" ws key ws "]"; array-table = "[[" ws key ws "]]". The keys name tables one
  // level below each other, from the root; a key that names an array of tables goes one level
  // further, into its last table. [[...]] adds a table to the array its last key names, one
  // level below the array. What follows lies in the table the header names.
  void table_header() {
    const bool array = t_.peek(1) == '[';
    t_.advance(array ? 2 : 1);
    ArraysOfTables::Node node = ArraysOfTables::kRoot;
    std::size_t level = 0;
    for (;;) {
      t_.ws();
      const std::size_t at = t_.pos();
      const bool known = node != ArraysOfTables::kNone;  // may lead to an array of tables
      if (!t_.simple_key(known ? &key_ : nullptr)) break;
      t_.ws();
      const bool last = t_.peek() != '.';
      if (known) node = array ? arrays_.find_or_add(node, key_) : arrays_.find(node, key_);
      level += arrays_.is_array(node) || (last && array) ? 2 : 1;
      if (!reach(level, at)) return;
      if (last) break;
      t_.advance();
    }
    if (array && level > 0) arrays_.new_table(node);  // not for "[[" without a key
    t_.ws();
    for (int k = array ? 2 : 1; k > 0 && t_.peek() == ']'; --k) t_.advance();
    table_level_ = level;
  }

  // keyval = key ws "=" ws val, key = simple-key *( ws "." ws simple-key ): each key names a
  // table one level below the one before, the first one level below `level`; the value lies
  // at the level of the last key.
  void keyval(std::size_t level) {
    for (;;) {
      t_.ws();
      const std::size_t at = t_.pos();
      if (!t_.simple_key(nullptr)) return;
      if (!reach(++level, at)) return;
      t_.ws();
      if (t_.peek() != '.') break;
      t_.advance();
    }
    if (t_.peek() != '=') return;
    t_.advance();
    t_.ws();
    value(level);
  }

  // val = string / boolean / array / inline-table / date-time / float / integer. An array or
  // an inline table stays open until its closing bracket; the values and keys inside it are
  // read by the steps that follow.
  void value(std::size_t level) {
    const char c = t_.peek();
    if (c == '[' || c == '{') {
      frames_.push_back(Frame{level, c == '['});
      result_.deepest_inline = std::max(result_.deepest_inline, frames_.size());
      t_.advance();
    } else if (c == '"' || c == '\'') {
      t_.string();
    } else {
      t_.scalar();
    }
  }

  // array = "[" ws-comment-newline *( val ws-comment-newline "," ws-comment-newline ) "]":
  // each value lies one level below the array.
  void array_part() {
    t_.ws_comment_newline();
    if (closer_or_comma(']') || t_.at_end()) return;
    const std::size_t level = frames_.back().level + 1;
    if (reach(level, t_.pos())) value(level);
  }

  // inline-table = "{" ws [ keyval *( ws "," ws keyval ) ] ws "}": each keyval as in a
  // table at the level of the inline table. A line break or a comment inside one breaks the
  // rule; it is passed over as a blank.
  void inline_table_part() {
    t_.ws_comment_newline();
    if (!closer_or_comma('}')) keyval(frames_.back().level);
  }

  // Takes the closing bracket of the innermost array or inline table (which ends it) or a
  // comma between its parts; false when neither stands at the cursor.
  bool closer_or_comma(char closer) {
    const char c = t_.peek();
    if (c == closer) frames_.pop_back();
    else if (c != ',') return false;
    t_.advance();
    return true;
  }

  // Counts a table or value at `level`; false (and the scan ends) when it passes the bound.
  bool reach(std::size_t level, std::size_t at) {
    result_.deepest = std::max(result_.deepest, level);
    if (level <= bound_) return true;
    result_.too_deep = at;
    return false;
  }

  struct Frame {
    std::size_t level;  // of the array or inline table itself
    bool array;
  };

  TomlText t_;
  std::size_t bound_;
  TomlDepth result_;
  std::size_t table_level_ = 0;  // of the table the last header named
  std::vector<Frame> frames_;    // the open arrays and inline tables, innermost last
  ArraysOfTables arrays_;
  std::string key_;  // scratch: the key of a header being read
};

}  // namespace

TomlDepth scan_toml_depth(std::string_view text, std::size_t bound) {
  return DepthScan(text, bound).run();
}

}  // namespace travune
