// Module JSON through the reader, then the writer, the formatter, the checker, the resolver
// and the flattener (fmt_json, check_json, infer_axes_json and flatten_json in Python).
// Input: the module JSON text, optionally followed by NUL, the entry name, and NUL-separated
// cache keys. Without an entry the first function's key is the entry, and an input of odd
// length selects every cache of the module.
// Invariants: a module read reads back equal after writing; results are valid UTF-8 and
// their JSON reads back as a module; the calls that work one function at a time give what
// the whole module gives, stops included.
#include "calls.hpp"
#include "flat_sink.hpp"
#include "fuzz_common.hpp"
#include "travune/check.hpp"
#include "travune/flatten.hpp"
#include "travune/fmt.hpp"
#include "travune/resolve.hpp"

namespace {

using namespace travune;

CacheKeys all_cache_vars(const Module& m) {
  CacheKeys keys;
  for (const auto& [key, f] : m.functions)
    for (const Op& op : f.ops)
      if (const auto* c = std::get_if<Cache>(&op.kind)) keys.insert(c->var);
  return keys;
}

// infer_axes_json, check_json, fmt_json and resolve_json (with a configuration taken from the
// entry part, or none) against reading the whole module first.
void check_streaming(std::string_view text, std::uint64_t width, std::string_view config) {
  fuzz::assert_same_outcome(
      "infer_axes_json", [&] { return write_module_json(resolve(read_module(text))); },
      [&] { return infer_axes_json(text); });
  fuzz::assert_same_outcome(
      "check_json", [&] { return write_check_result_json(check(read_module(text))); },
      [&] { return check_json(text); });
  fuzz::assert_same_outcome(
      "fmt_json", [&] { return format_trv(read_module(text), width); },
      [&] { return fmt_json(text, width); });
  fuzz::assert_same_outcome(
      "resolve_json",
      [&] {
        Module m = read_module(text);
        return write_module_json(resolve(sub_module(std::move(m), read_config(config))));
      },
      [&] { return resolve_json(text, config); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parts = fuzz::split_parts(data, size);
  fuzz::ExactText json(parts[0]);
  if (!fuzz::valid_utf8(std::string_view(reinterpret_cast<const char*>(data), size))) return -1;
  check_streaming(json.view(), parts[0].size() % 128, parts.size() > 1 ? parts[1] : "{}");
  Module m;
  if (!fuzz::expected_reader([&] { m = read_module_json(json.view()); })) return 0;
  fuzz::assert_accepted_json_is_valid(parts[0], "read_module_json");

  fuzz::assert_json_round_trip(m, "read_module_json then write_module_json");
  std::string text = format_trv(m, parts[0].size() % 128);
  fuzz::assert_utf8(text, "format_trv");
  if (format_trv(m, parts[0].size() % 128) != text)
    fuzz::finding("format_trv", "formatting is not deterministic");

  fuzz::expected([&] { fuzz::assert_json(write_check_result_json(check(m)), "check"); });
  fuzz::expected([&] {
    Module resolved = resolve(m);
    fuzz::assert_json_round_trip(resolved, "resolve");
    // Resolved view and tile ops have their axes, and ops with axes come back unchanged.
    if (write_module_json(resolve(resolved)) != write_module_json(resolved))
      fuzz::finding("resolve", "resolving a resolved module changed it");
  });

  std::string entry;
  CacheKeys keys;
  if (parts.size() > 1) {
    entry = parts[1];
    for (std::size_t i = 2; i < parts.size(); ++i) keys.emplace(parts[i]);
  } else {
    entry = m.functions.empty() ? "main" : m.functions.begin()->first;
    if (size % 2) keys = all_cache_vars(m);
  }
  fuzz::assert_same_outcome(
      "write_flat_json", [&] { return write_module_json(flatten(m, entry, keys)); },
      [&] { return write_flat_json(m, entry, keys); });
  fuzz::expected([&] {
    Module flat = flatten(m, entry, keys);
    fuzz::assert_json_round_trip(flat, "flatten");
    if (flat.functions.size() != 1) fuzz::finding("flatten", "the result is not one function");
    for (const Op& op : flat.functions.begin()->second.ops)
      if (std::holds_alternative<Call>(op.kind) || std::holds_alternative<Loop>(op.kind))
        fuzz::finding("flatten", "a call or loop op is left in the result");
  });
  return 0;
}
