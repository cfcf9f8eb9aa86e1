#include "loader.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstddef>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include <toml++/toml.h>

#include "travune/fatal.hpp"
#include "travune/file.hpp"
#include "travune/flatten.hpp"
#include "travune/json.hpp"
#include "travune/parse.hpp"
#include "travune/resolve.hpp"
#include "travune/stack.hpp"
#include "toml_depth.hpp"

namespace travune {
namespace {

// ---- reading the configuration document ----

// The TOML reader builds, walks and frees its tree recursively, so a document nested deeper
// than this is refused before the reader sees it (toml_depth.hpp says how levels count). The
// reader's own bound on inline values (TOML_MAX_NESTED_VALUES, 256) counts only the levels of
// inline tables and arrays, so it never stops a document that this bound lets through.
constexpr std::size_t max_nesting = 256;

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

// Reads the configuration file; stops with "failed to read".
FileText read_config_text(const std::string& config_path) {
  try {
    return read_file_text(config_path);
  } catch (const IoError& e) {
    fatal("failed to read " + config_path + ": " + display(e));
  }
}

// Parses the text of the configuration file; stops with "failed to parse"; a failed
// allocation inside the reader throws std::bad_alloc.
toml::table parse_config_document(const std::string& config_path, std::string_view text) {
  const TomlDepth depth = scan_toml_depth(text, max_nesting);
  if (depth.too_deep) {
    auto [line, column] = line_and_column(text, *depth.too_deep);
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
  check_stack("TOML tables and values", depth.deepest,
              depth.deepest_inline * inline_level + depth.deepest * tree_level);
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

ConfigMap config_values(const toml::table& root) {
  ConfigMap config;
  for (std::string_view section : {"shape", "scalar", "vector"}) {
    if (const toml::table* t = root[section].as_table()) read_section(*t, config);
  }
  return config;
}

WeightMapping weight_mapping(const toml::table& root) {
  WeightMapping mapping;
  if (const toml::table* t = root["weights"].as_table())
    flatten_weight_table(*t, "weights", mapping);
  return mapping;
}

}  // namespace

ConfigMap load_config(const std::string& config_path) {
  return config_values(parse_config_document(config_path, read_config_text(config_path).text));
}

WeightMapping load_weight_mapping(const std::string& config_path) {
  return weight_mapping(parse_config_document(config_path, read_config_text(config_path).text));
}

ConfigMap ConfigFile::load_config() {
  FileText file = read_config_text(path_);
  ConfigMap config = config_values(parse_config_document(path_, file.text));
  if (!file.regular) kept_ = std::move(file.text);
  return config;
}

WeightMapping ConfigFile::load_weight_mapping() {
  if (!kept_) return travune::load_weight_mapping(path_);
  return weight_mapping(parse_config_document(path_, *kept_));
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
