#include "config.hpp"

#include "travune/interrupt.hpp"
#include "travune/json.hpp"

namespace travune {

ConfigMap read_config_json(std::string_view text) {
  ConfigMap config;
  for_each_polled(read_numeric_object_json(text, "ConfigValue"), [&](auto& member) {
    // a later duplicate wins
    config.insert_or_assign(std::move(member.first), std::move(member.second));
  });
  return config;
}

}  // namespace travune
