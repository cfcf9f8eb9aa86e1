#pragma once
// The TOML configuration file: its values, its weight table, and the rewriting of weight
// references through that table.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "travune/flatten.hpp"
#include "travune/hash.hpp"

namespace travune {

// Full dotted key ("weights.layers.attn.wq") to weight-name template.
using WeightMapping = HashMap<std::string, std::string>;

// The values of the sections shape, scalar and vector of the TOML file (later sections win).
ConfigMap load_config(const std::string& config_path);
// The string leaves of the file's `weights` table under their dotted keys.
WeightMapping load_weight_mapping(const std::string& config_path);

// The configuration file of one load: its values are read first; its weight table is read
// again once flattening has gone through, so that a stop of flattening comes first and the
// names are those of the file as it is then. A file that is not a regular file (a pipe, a
// FIFO, a device) gives its text once: the weight table is then taken from that same text.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& path) : path_(path) {}
  ConfigMap load_config();
  WeightMapping load_weight_mapping();

 private:
  const std::string& path_;
  std::optional<std::string> kept_;  // the text of a file that is read once
};

// The replacement of one argument beginning with "weights." through the mapping, written over
// `to`; false when the mapping has none. `key` and `indices` are scratch buffers.
bool rewrite_weight_reference(std::string_view name, const WeightMapping& mapping,
                              std::string& to, std::string& key,
                              std::vector<std::string_view>& indices);

// The weight references of the flattened module, rewritten through the weight table of the
// configuration file once flattening has gone through.
class WeightReferences : public ArgRewriter {
 public:
  explicit WeightReferences(ConfigFile& config) : config_(config) {}
  std::string_view prefix() const override { return "weights."; }
  void flattened() override { mapping_ = config_.load_weight_mapping(); }
  bool rewrite(std::string_view name, std::string& to) override {
    return !mapping_.empty() && rewrite_weight_reference(name, mapping_, to, key_, indices_);
  }

 private:
  ConfigFile& config_;
  WeightMapping mapping_;
  std::string key_;                        // scratch, reused across arguments
  std::vector<std::string_view> indices_;  // scratch, reused across arguments
};

}  // namespace travune
