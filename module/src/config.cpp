// Substitution of configuration values: "param." dimensions of declared types become concrete
// sizes and symbolic loop counts become fixed counts; nothing else changes. Values are replaced
// in place: in a module the caller gives up, or in a function it holds (sub_function_in_place);
// sub_module of a module the caller keeps copies it once and substitutes in the copy.
#include "config.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "travune/interrupt.hpp"

namespace travune {
namespace {

// Looks names up through one reused key buffer, so a long name costs no allocation per lookup.
struct Lookup {
  const ConfigMap& config;
  std::string key;

  const ConfigValue* find(std::string_view name) {
    if (config.empty()) return nullptr;
    key.assign(name);
    auto it = config.find(key);
    return it == config.end() ? nullptr : &it->second;
  }
};

constexpr std::string_view param_prefix = "param.";

// Only a dimension written "param." and a name is looked up, under the name.
void sub_dim_in(Dim& d, Lookup& lookup) {
  const std::string* text = std::get_if<std::string>(&d);
  if (!text || !starts_with_param(*text)) return;
  const ConfigValue* v = lookup.find(std::string_view(*text).substr(param_prefix.size()));
  if (!v) return;
  if (const std::int64_t* i = std::get_if<std::int64_t>(v)) {
    d = *i;
  } else if (const double* f = std::get_if<double>(v)) {
    d = truncate_saturating(*f);
  }
}

// The dimensions of a wildcard type are never substituted.
void sub_type_in(TensorType& t, Lookup& lookup) {
  if (t.dtype == "*") return;
  for (std::size_t i = 0; i < t.shape.size(); ++i) {
    sub_dim_in(t.shape[i], lookup);
    poll_element(i);  // the type counts for its dimensions, but for a long shape
  }
}

// A symbolic count is looked up with or without "param."; only an integer fills it, taken as
// unsigned (-1 becomes 2^64 - 1).
void sub_count_in(LoopCount& count, Lookup& lookup) {
  const std::string* text = std::get_if<std::string>(&count);
  if (!text) return;
  std::string_view name = *text;
  if (name.starts_with(param_prefix)) name.remove_prefix(param_prefix.size());
  const ConfigValue* v = lookup.find(name);
  if (!v) return;
  if (const std::int64_t* i = std::get_if<std::int64_t>(v)) count = static_cast<std::uint64_t>(*i);
}

void sub_op_in(Op& o, Lookup& lookup) {
  poll_interrupt(op_units(o));
  for (std::size_t i = 0; i < o.output_types.size(); ++i) {
    if (auto& t = o.output_types[i]) sub_type_in(*t, lookup);
    poll_element(i);
  }
  if (Loop* loop = std::get_if<Loop>(&o.kind)) sub_count_in(loop->count, lookup);
}

void sub_function_in(Function& f, Lookup& lookup) {
  for_each_polled(f.params, [&](Param& p) { sub_type_in(p.ty, lookup); });
  for_each_polled(f.returns, [&](Param& p) { sub_type_in(p.ty, lookup); });
  for (Op& o : f.ops) sub_op_in(o, lookup);
}

}  // namespace

Module sub_module(const Module& m, const ConfigMap& config) {
  return sub_module(Module(m), config);
}

void sub_function_in_place(Function& f, const ConfigMap& config) {
  if (config.empty()) return;
  Lookup lookup{config, {}};
  sub_function_in(f, lookup);
}

Module sub_module(Module&& m, const ConfigMap& config) {
  Module out = std::move(m);  // keys stay as stored, which may differ from a function's own name
  if (config.empty()) return out;
  Lookup lookup{config, {}};
  for (auto it = out.functions.begin(); it != out.functions.end(); ++it) {
    sub_function_in(it.value(), lookup);
  }
  return out;
}

}  // namespace travune
