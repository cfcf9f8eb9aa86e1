#include "loader.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstddef>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <toml++/toml.h>

#include "travune/fatal.hpp"
#include "travune/file.hpp"
#include "travune/flatten.hpp"
#include "travune/interrupt.hpp"
#include "travune/json.hpp"
#include "travune/parse.hpp"
#include "travune/resolve.hpp"
#include "travune/stack.hpp"

namespace travune {
namespace {

// ---- reading the configuration document ----

// The TOML reader builds, walks and frees its tree recursively, so a document nested deeper
// than this is refused before the reader sees it. A value lies one level below the table or
// array holding it, the root table being level 0: `a.b.c = 1` puts 1 at level 3. Each part
// of a table header or of a dotted key, each inline table or array, and each array of tables
// (whose tables lie one level below it) is a level. The reader's own bound on inline values
// (TOML_MAX_NESTED_VALUES, 256) counts only the levels of inline tables and arrays, so it
// never stops a document that this bound lets through.
constexpr std::size_t max_nesting = 256;

// Where a document first nests a value deeper than max_nesting (a byte offset), if it does.
// A light scan over the text: strings and comments are skipped, every key followed by "="
// puts its value below the table or inline value holding it, one level per dotted part, every
// element of an array lies one level below it, and a table header sets the level of what
// follows it, counting a part that names an array of tables (declared by an earlier [[...]]
// header) as two levels: the array and its last table. It never counts less than the tree the
// reader would build from a valid prefix of the text.
class DepthScan {
 public:
  explicit DepthScan(std::string_view text) : s_(text) {}

  std::optional<std::size_t> too_deep() {
    while (i_ < s_.size()) {
      if (std::optional<std::size_t> at = step()) return at;
    }
    return std::nullopt;
  }

  // The deepest nesting counted so far, and the most inline tables and arrays open at once.
  std::size_t deepest() const { return deepest_; }
  std::size_t deepest_inline() const { return deepest_inline_; }

 private:
  static bool is_key_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c >= 0x80;
  }

  bool starts(std::string_view w) const { return s_.substr(i_, w.size()) == w; }

  // Skips one string starting at i_ (any of the four TOML forms).
  void skip_string() {
    if (starts("\"\"\"")) return skip_until("\"\"\"", true, false);
    if (starts("'''")) return skip_until("'''", false, false);
    if (s_[i_] == '"') return skip_until("\"", true, true);
    return skip_until("'", false, true);
  }

  void skip_until(std::string_view close, bool escapes, bool single_line) {
    i_ += close.size();
    while (i_ < s_.size()) {
      char c = s_[i_];
      if (single_line && c == '\n') return;
      if (escapes && c == '\\') { i_ += 2; continue; }
      if (starts(close)) { i_ += close.size(); return; }
      ++i_;
    }
  }

  // A run of key material (bare-key bytes, dots, blanks, quoted parts); returns its dot count.
  std::size_t key_run() {
    std::size_t dots = 0;
    while (i_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '.') { ++dots; ++i_; }
      else if (c == ' ' || c == '\t' || is_key_byte(c)) ++i_;
      else if ((c == '"' || c == '\'') && !starts("\"\"\"") && !starts("'''")) skip_string();
      else break;
    }
    return dots;
  }

  // The key parts of a header from i_, each as the key it names (quotes removed, escapes of a
  // basic string undone) after its length, appended to `path`, so that two spellings of the
  // same path give the same text; `ends` gets where each part ends in `path`.
  void header_parts(std::string& path, std::vector<std::size_t>& ends) {
    std::string part;
    auto finish = [&] {
      const std::uint64_t n = part.size();
      path.append(reinterpret_cast<const char*>(&n), sizeof n).append(part);
      ends.push_back(path.size());
      part.clear();
    };
    while (i_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '.') {
        finish();
        ++i_;
      } else if (c == ' ' || c == '\t') {
        ++i_;
      } else if (is_key_byte(c)) {
        part += static_cast<char>(c);
        ++i_;
      } else if (c == '\'' && !starts("'''")) {
        const std::size_t from = ++i_;
        while (i_ < s_.size() && s_[i_] != '\'' && s_[i_] != '\n') ++i_;
        part.append(s_.substr(from, i_ - from));
        if (i_ < s_.size() && s_[i_] == '\'') ++i_;
      } else if (c == '"' && !starts("\"\"\"")) {
        ++i_;
        basic_string_key(part);
      } else {
        break;
      }
    }
    finish();
  }

  // The text of a one-line basic string from i_ (after its opening quote) with its escapes
  // undone, appended to `out`; i_ ends after the closing quote.
  void basic_string_key(std::string& out) {
    while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\n') {
      if (s_[i_] != '\\' || i_ + 1 >= s_.size()) {
        out += s_[i_++];
        continue;
      }
      const char e = s_[i_ + 1];
      i_ += 2;
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
          const char* first = s_.data() + i_;
          const char* last = s_.data() + std::min(s_.size(), i_ + digits);
          auto [end, ec] = std::from_chars(first, last, cp, 16);
          if (ec != std::errc() || end != first + digits) {  // the reader refuses it
            out += e;
            break;
          }
          i_ += digits;
          append_utf8(out, cp);
          break;
        }
        default: out += e; break;  // \" and \\ (the reader refuses any other)
      }
    }
    if (i_ < s_.size() && s_[i_] == '"') ++i_;
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
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

  std::optional<std::size_t> check(std::size_t depth, std::size_t at) {
    deepest_ = std::max(deepest_, depth);
    if (depth > max_nesting) return at;
    return std::nullopt;
  }

  // [a.b.c] puts the table c at level 3, [[a.b.c]] its new table at level 4 (below the array
  // c); each part before the last that names an array of tables adds the level of its last
  // table.
  std::optional<std::size_t> header() {
    std::size_t at = i_;
    const bool array = starts("[[");
    i_ += array ? 2 : 1;
    std::string path;
    std::vector<std::size_t> ends;
    header_parts(path, ends);
    base_ = ends.size();
    if (base_ > max_nesting) return at;
    for (std::size_t k = 0; k + 1 < ends.size(); ++k)
      if (is_array(std::string_view(path).substr(0, ends[k]))) ++base_;
    if (array || is_array(path)) ++base_;  // [x] after [[x]]: the reader refuses it
    if (array && arrays_.insert(path).second) array_lengths_.insert(path.size());
    return check(base_, at);
  }

  bool is_array(std::string_view path) const {
    return array_lengths_.contains(path.size()) && arrays_.contains(path);
  }

  struct Frame {
    std::size_t depth;
    bool array;
  };

  std::size_t container() const { return frames_.empty() ? base_ : frames_.back().depth; }

  std::optional<std::size_t> step() {
    std::size_t at = i_;
    char c = s_[i_];
    if (c == '\n') { line_start_ = true; ++i_; return std::nullopt; }
    if (c == ' ' || c == '\t' || c == '\r') { ++i_; return std::nullopt; }
    bool first = std::exchange(line_start_, false);
    bool value = std::exchange(value_pending_, false);
    if (c == '#') {
      while (i_ < s_.size() && s_[i_] != '\n') ++i_;
      return std::nullopt;
    }
    if (c == '[' && first && frames_.empty()) return header();
    if (c == ']' || c == '}') {
      if (!frames_.empty()) frames_.pop_back();
      ++i_;
      return std::nullopt;
    }
    if (c == ',') { ++i_; return std::nullopt; }
    // The value of a key lies at depth_; an element of an array one level below the array.
    const bool element = !value && !frames_.empty() && frames_.back().array;
    const std::size_t depth = element ? container() + 1 : depth_;
    if (c == '[' || c == '{') {
      if (!value && !element) { ++i_; return std::nullopt; }
      frames_.push_back(Frame{depth, c == '['});
      deepest_inline_ = std::max(deepest_inline_, frames_.size());
      ++i_;
      return check(depth, at);
    }
    if (element) {  // a string, a number, a date and time, true or false
      if (std::optional<std::size_t> deep = check(depth, at)) return deep;
      if (c == '"' || c == '\'') skip_string();
      else if (key_run(); i_ == at) ++i_;
      return std::nullopt;
    }
    if (starts("\"\"\"") || starts("'''")) { skip_string(); return std::nullopt; }
    std::size_t dots = key_run();
    if (i_ == at) { ++i_; return std::nullopt; }
    if (i_ < s_.size() && s_[i_] == '=') {
      depth_ = container() + dots + 1;
      value_pending_ = true;
      ++i_;
      return check(depth_, at);
    }
    return std::nullopt;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  bool line_start_ = true;
  std::size_t base_ = 0;              // level of the table of the last header
  std::size_t depth_ = 0;             // level of the value of the last key
  bool value_pending_ = false;        // the last token was the "=" of a key
  std::vector<Frame> frames_;         // each open inline table or array
  HashSet<std::string> arrays_;       // paths of arrays of tables, as header_parts writes them
  std::unordered_set<std::size_t> array_lengths_;  // their lengths
  std::size_t deepest_ = 0;
  std::size_t deepest_inline_ = 0;
};

// The text of 1-based line `line`, without its line break.
std::string_view line_text(std::string_view text, std::size_t line) {
  std::size_t start = 0;
  for (std::size_t n = 1; n < line; ++n) {
    start = text.find('\n', start);
    if (start == std::string_view::npos) return {};
    ++start;
  }
  std::string_view rest = text.substr(start);
  rest = rest.substr(0, rest.find('\n'));
  if (rest.ends_with('\r')) rest.remove_suffix(1);
  return rest;
}

// TOML parse error at line L, column C, the line quoted with a marker under the column,
// then the description:
//   TOML parse error at line 2, column 5
//     |
//   2 | a =
//     |     ^
//   expected value
std::string toml_error_text(std::string_view text, std::size_t line, std::size_t column,
                            std::string_view description) {
  std::string number = std::to_string(line);
  std::string gutter(number.size() + 1, ' ');
  std::string out = "TOML parse error at line " + number + ", column " + std::to_string(column);
  out += "\n" + gutter + "|\n" + number + " | ";
  out += line_text(text, line);
  out += "\n" + gutter + "|" + std::string(column, ' ') + "^\n";
  out += description;
  out += "\n";
  return out;
}

// The TOML reader converts the text of a float through a string stream, which turns a failed
// allocation into a failed conversion ("Error while parsing floating-point: '1e-5' could not
// be interpreted as a value"). A text that converts here (without allocating) failed for want
// of memory; one out of range ('1e999') fails here too.
bool float_failed_for_memory(std::string_view description) {
  constexpr std::string_view tail = "' could not be interpreted as a value";
  if (!description.ends_with(tail)) return false;
  description.remove_suffix(tail.size());
  const std::size_t quote = description.rfind('\'');
  if (quote == std::string_view::npos) return false;
  const std::string_view number = description.substr(quote + 1);
  double value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  return ec == std::errc() && end == number.data() + number.size();
}

// Reads and parses the configuration file; stops with "failed to read" or "failed to parse";
// a failed allocation inside the reader throws std::bad_alloc.
toml::table read_config_document(const std::string& config_path) {
  std::string text;
  try {
    text = read_file_utf8(config_path);
  } catch (const IoError& e) {
    fatal("failed to read " + config_path + ": " + display(e));
  }
  DepthScan scan(text);
  if (std::optional<std::size_t> at = scan.too_deep()) {
    auto [line, column] = line_and_column(text, *at);
    fatal("failed to parse " + config_path + ": " +
          toml_error_text(text, line, column,
                          "values nested deeper than " + std::to_string(max_nesting) +
                              " levels"));
  }
  // The reader recurses where nothing can look at the stack, so the room for the deepest
  // nesting the scan counted is made sure of before it starts: the reader recurses into each
  // inline table or array (1.25 KiB a table, 0.8 KiB an array), and every level of the tree it
  // returns is read, walked and freed by recursion (0.3 KiB, 1.6 KiB with the sanitizer).
  constexpr std::size_t inline_level = stack_bytes(1536, 2048);
  constexpr std::size_t tree_level = stack_bytes(512, 2048);
  check_stack("TOML tables and values", scan.deepest(),
              scan.deepest_inline() * inline_level + scan.deepest() * tree_level);
  try {
    return toml::parse(text);
  } catch (const toml::parse_error& e) {
    if (float_failed_for_memory(e.description())) throw std::bad_alloc();
    const toml::source_position& p = e.source().begin;
    fatal("failed to parse " + config_path + ": " +
          toml_error_text(text, p.line, p.column, e.description()));
  }
}

// ---- configuration values ----

// The value of one section entry, or nothing for a kind that is skipped.
std::optional<ConfigValue> config_value(const toml::node& n) {
  if (const auto* i = n.as_integer()) return ConfigValue(i->get());
  if (const auto* f = n.as_floating_point()) return ConfigValue(f->get());
  const toml::array* a = n.as_array();
  if (a == nullptr) return std::nullopt;
  std::vector<double> list;
  list.reserve(a->size());
  for (const toml::node& e : *a) {
    if (const auto* i = e.as_integer()) list.push_back(static_cast<double>(i->get()));
    else if (const auto* f = e.as_floating_point()) list.push_back(f->get());
    else fatal("unexpected value in vector section");
  }
  return ConfigValue(std::move(list));
}

void read_section(const toml::table& section, ConfigMap& config) {
  for (const auto& [key, value] : section) {  // ascending byte-wise key order
    if (std::optional<ConfigValue> v = config_value(value))
      config.insert_or_assign(std::string(key.str()), std::move(*v));
  }
}

// ---- the weight-name table ----

// Depth first in key order; the document's nesting is bounded by max_nesting.
void flatten_weight_table(const toml::table& table, const std::string& prefix,
                          WeightMapping& mapping) {
  for (const auto& [key, value] : table) {
    std::string full = prefix + "." + std::string(key.str());
    if (const auto* s = value.as_string()) mapping.insert_or_assign(std::move(full), s->get());
    else if (const auto* t = value.as_table()) flatten_weight_table(*t, full, mapping);
  }
}

// ---- rewriting weight references ----

bool all_digits(std::string_view part) {
  return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The template with each index in turn put in place of the first "{}" still present,
// written over `out`.
void fill_template(std::string_view templ, const std::vector<std::string_view>& indices,
                   std::string& out) {
  out.assign(templ);
  for (std::string_view index : indices) {
    std::size_t at = out.find("{}");
    if (at == std::string::npos) break;
    out.replace(at, 2, index);
  }
}

}  // namespace

ConfigMap load_config(const std::string& config_path) {
  toml::table root = read_config_document(config_path);
  ConfigMap config;
  for (std::string_view section : {"shape", "scalar", "vector"}) {
    if (const toml::table* t = root[section].as_table()) read_section(*t, config);
  }
  return config;
}

WeightMapping load_weight_mapping(const std::string& config_path) {
  toml::table root = read_config_document(config_path);
  WeightMapping mapping;
  if (const toml::table* t = root["weights"].as_table())
    flatten_weight_table(*t, "weights", mapping);
  return mapping;
}

bool rewrite_weight_reference(std::string_view name, const WeightMapping& mapping,
                              std::string& to, std::string& key,
                              std::vector<std::string_view>& indices) {
  if (auto it = mapping.find(name); it != mapping.end()) {
    to.assign(it->second);
    return true;
  }
  key.clear();
  indices.clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = name.find('.', start);
    std::string_view part = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (all_digits(part)) {  // an empty part counts as an index
      indices.push_back(part);
    } else {
      if (!key.empty()) key += '.';
      key += part;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  auto it = mapping.find(std::string_view(key));
  if (it == mapping.end()) return false;
  fill_template(it->second, indices, to);
  return true;
}

}  // namespace travune
