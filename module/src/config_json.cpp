#include "config.hpp"

#include "travune/json.hpp"

namespace travune {

ConfigMap read_config_json(std::string_view text) {
  ConfigMap config;
  for (auto& [name, value] : read_numeric_object_json(text, "ConfigValue")) {
    config.insert_or_assign(std::move(name), std::move(value));  // a later duplicate wins
  }
  return config;
}

}  // namespace travune
