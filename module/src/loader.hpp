#pragma once
// The composite loader: source file and TOML configuration to the flattened module JSON.
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config.hpp"

namespace travune {

// Hashes std::string and std::string_view alike, so lookups need no key copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Full dotted key ("weights.layers.attn.wq") to weight-name template.
using WeightMapping = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

// The values of the sections shape, scalar and vector of the TOML file (later sections win).
ConfigMap load_config(const std::string& config_path);
// The string leaves of the file's `weights` table under their dotted keys.
WeightMapping load_weight_mapping(const std::string& config_path);
// Rewrites every argument of an op that begins with "weights." through the mapping.
class WeightRewriter {
 public:
  explicit WeightRewriter(const WeightMapping& mapping);
  void operator()(Op& op);

 private:
  const WeightMapping& mapping_;
  std::string key_;                         // scratch, reused across ops
  std::vector<std::string_view> indices_;   // scratch, reused across ops
};


std::string load_flat_json(const std::string& trv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys);

}  // namespace travune
