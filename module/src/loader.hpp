#pragma once
// The composite loader: source file and TOML configuration to the flattened module JSON.
#include <functional>
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
