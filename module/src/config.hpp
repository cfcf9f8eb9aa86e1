#pragma once
// Configuration values and their substitution into a module.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "travune/ast.hpp"
#include "travune/hash.hpp"

namespace travune {

// ConfigValue: Int, Float, List (of floats).
using ConfigValue = std::variant<std::int64_t, double, std::vector<double>>;
// Lookups only; its order never shows.
using ConfigMap = HashMap<std::string, ConfigValue>;

// Reads a JSON object of configuration values (a later duplicate wins); a reader error throws JsonError.
ConfigMap read_config_json(std::string_view text);

// A copy of `m` with configured "param." dimensions and symbolic loop counts replaced.
Module sub_module(const Module& m, const ConfigMap& config);
// The same, substituting in place in a module the caller gives up.
Module sub_module(Module&& m, const ConfigMap& config);
// Substitutes in place in one function, as sub_module does in each function of a module.
void sub_function_in_place(Function& f, const ConfigMap& config);

}  // namespace travune
