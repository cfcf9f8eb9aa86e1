// Source text through the parser, then the formatter, the JSON writer and reader, and the
// checker (parse_to_json, fmt_source, check_file and fmt_file in Python).
// Invariants: formatting is deterministic; writing then reading the module's JSON gives an
// equal module; formatting, parsing that text and formatting again gives the same text
// where the formatter's text reads back; every returned text is valid UTF-8 and every
// JSON text well formed.
#include "calls.hpp"
#include "fuzz_common.hpp"
#include "parse_stream.hpp"
#include "travune/check.hpp"
#include "travune/fmt.hpp"
#include "travune/parse.hpp"

namespace {

using namespace travune;

// A word printed bare in an argument or bracket list reads back as the same Name only
// when it is one identifier token that parse_atom keeps as a name.
bool reads_back_as_name(std::string_view w) {
  if (w.empty() || w == "inf") return false;
  char c = w[0];
  bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (!letter && c != '_') return false;
  if (!letter && w.find_first_of(".eE") != std::string_view::npos) return false;
  auto tokens = tokenize(w);
  return tokens.size() == 1 && tokens[0] == w;
}

// A pattern is printed between quotes and read back as one when it holds a blank or "->"
// and the quoted text is one string token.
bool reads_back_as_pattern(const std::string& p) {
  if (p.empty()) return true;
  if (p.find(' ') == std::string::npos && p.find("->") == std::string::npos) return false;
  std::string quoted = "\"" + p + "\"";
  auto tokens = tokenize(quoted);
  return tokens.size() == 1 && tokens[0] == quoted;
}

// A name, dtype or dimension printed bare in a header or a type reads back when it is one
// token that is no punctuation of the grammar and no comment.
bool reads_back_as_token(std::string_view w) {
  static constexpr std::string_view kPunctuation[] = {"(", ")", "[", "]", "{", "}", ",",
                                                      ":", "=", "->", "*"};
  for (auto p : kPunctuation)
    if (w == p) return false;
  if (w.starts_with("//")) return false;
  auto tokens = tokenize(w);
  return tokens.size() == 1 && tokens[0] == w;
}

bool type_reads_back(const TensorType& t) {
  if (t.dtype == "*") return true;
  if (!reads_back_as_token(t.dtype)) return false;
  for (const Dim& d : t.shape)
    if (const auto* n = std::get_if<std::string>(&d); n && !reads_back_as_token(*n)) return false;
  return true;
}

bool params_read_back(const std::vector<Param>& params) {
  for (const Param& p : params)
    if (!reads_back_as_token(p.name) || !type_reads_back(p.ty)) return false;
  return true;
}

bool optional_word(const std::string& w) { return w.empty() || reads_back_as_name(w); }

bool payload_reads_back(const OpKind& kind) {
  return std::visit(
      [](const auto& k) -> bool {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, View> || std::is_same_v<K, Tile>) {
          return k.axes.empty() && reads_back_as_pattern(k.pattern);
        } else if constexpr (std::is_same_v<K, Fold> || std::is_same_v<K, Write>) {
          return reads_back_as_pattern(k.pattern) && reads_back_as_name(k.reduction);
        } else if constexpr (std::is_same_v<K, Read> || std::is_same_v<K, Contract>) {
          return reads_back_as_pattern(k.pattern);
        } else if constexpr (std::is_same_v<K, Map>) {
          return optional_word(k.function);
        } else if constexpr (std::is_same_v<K, Call>) {
          return optional_word(k.target);
        } else if constexpr (std::is_same_v<K, Loop>) {
          // A count of 2^63 or more prints as a number the parser takes for a name.
          const auto* name = std::get_if<std::string>(&k.count);
          const auto* fixed = std::get_if<std::uint64_t>(&k.count);
          // An empty target prints as nothing, and "loop[, n]" reads one bracket name.
          return optional_word(k.target) && (!name || (reads_back_as_name(*name) && !k.target.empty())) &&
                 (!fixed || *fixed < (std::uint64_t{1} << 63));
        } else if constexpr (std::is_same_v<K, Cache>) {
          return reads_back_as_name(k.var) && reads_back_as_name(k.init) &&
                 (!k.extend || reads_back_as_name(*k.extend));
        } else if constexpr (std::is_same_v<K, Random>) {
          return !std::isnan(k.lower) && !std::isnan(k.upper) && k.lower != -INFINITY &&
                 k.upper != -INFINITY;
        } else {
          return true;
        }
      },
      kind);
}

bool op_reads_back(const Op& op) {
  if (op.outputs.empty()) return false;  // printed as its comments only
  for (const auto& name : op.outputs)
    if (!reads_back_as_token(name)) return false;
  for (const auto& t : op.output_types)
    if (t && !type_reads_back(*t)) return false;
  for (std::size_t i = 0; i + 1 < op.outputs.size(); ++i)
    if (i >= op.output_types.size() || !op.output_types[i]) return false;  // "a: ," lines
  for (const Atom& a : op.args) {
    if (const auto* d = std::get_if<double>(&a)) {
      if (std::isnan(*d) || *d == -INFINITY) return false;  // "-inf" is two tokens
    } else if (const auto* n = std::get_if<std::string>(&a)) {
      if (!reads_back_as_name(*n)) return false;
    }
  }
  return payload_reads_back(op.kind);
}

// Whether the formatter's text reads back into a module that prints the same.
bool text_reads_back(const Module& m) {
  for (const auto& [key, f] : m.functions) {
    if (!reads_back_as_token(f.name) || !params_read_back(f.params) ||
        !params_read_back(f.returns))
      return false;
    for (const Op& op : f.ops)
      if (!op_reads_back(op)) return false;
  }
  return true;
}

void check_formatting(const Module& m, std::uint64_t width) {
  std::string text = format_trv(m, width);
  fuzz::assert_utf8(text, "format_trv");
  if (text.empty() || text.back() != '\n') fuzz::finding("format_trv", "text does not end in a line feed");
  if (format_trv(m, width) != text) fuzz::finding("format_trv", "formatting is not deterministic");
}

void check_reformat(const Module& m) {
  if (!text_reads_back(m)) return;
  std::string first = format_trv(m, 100);
  Module again;
  try {
    again = parse(first);
  } catch (const Fatal& e) {
    fuzz::finding("format_trv then parse", "formatted text does not parse: " + e.message + "\n" + first);
  }
  std::string second = format_trv(again, 100);
  if (second != first)
    fuzz::finding("format_trv then parse then format_trv", "text changed:\n" + first + "----\n" + second);
}

// parse_to_json, fmt_source and check_source read the text one function at a time;
// they give what the whole module gives, stops included.
void check_streaming(std::string_view text, std::uint64_t width) {
  fuzz::assert_same_outcome(
      "parse_to_json", [&] { return write_module_json(parse(text)); },
      [&] { return parse_to_json(text); });
  fuzz::assert_same_outcome(
      "fmt_source", [&] { return format_trv(parse(text), width); },
      [&] { return fmt_source(text, width); });
  fuzz::assert_same_outcome(
      "check_source", [&] { return write_check_result_json(check(parse(text))); },
      [&] { return check_source(text); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ExactText text(std::string_view(reinterpret_cast<const char*>(data), size));
  // Python hands over str, and files must be UTF-8: nothing else reaches the parser.
  if (!fuzz::valid_utf8(text.view())) return -1;
  check_streaming(text.view(), size % 128);
  Module m;
  if (!fuzz::expected([&] { m = parse(text.view()); })) return 0;

  fuzz::assert_json_round_trip(m, "parse then write_module_json");
  check_formatting(m, 100);
  check_formatting(m, 0);
  check_formatting(m, size % 128);
  check_reformat(m);
  fuzz::expected([&] {
    CheckResult r = check(m);
    fuzz::assert_json(write_check_result_json(r), "write_check_result_json");
  });
  return 0;
}
