#pragma once
// The composite loader: source file and TOML configuration to the flattened module JSON.
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "travune/hash.hpp"

namespace travune {

// Full dotted key ("weights.layers.attn.wq") to weight-name template.
using WeightMapping = HashMap<std::string, std::string>;

// The values of the sections shape, scalar and vector of the TOML file (later sections win).
ConfigMap load_config(const std::string& config_path);
// The string leaves of the file's `weights` table under their dotted keys.
WeightMapping load_weight_mapping(const std::string& config_path);
// The replacement of one argument beginning with "weights." through the mapping, written over
// `to`; false when the mapping has none. `key` and `indices` are scratch buffers.
bool rewrite_weight_reference(std::string_view name, const WeightMapping& mapping,
                              std::string& to, std::string& key,
                              std::vector<std::string_view>& indices);

std::string load_flat_json(const std::string& trv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys);

}  // namespace travune
