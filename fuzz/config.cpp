// Configuration JSON and substitution (resolve_json in Python).
// Input: the configuration JSON text, optionally followed by NUL and a module JSON text;
// without one, a small module that uses configured dimensions and loop counts.
// Invariants: substituting an empty configuration changes nothing; the result reads back.
#include "config.hpp"
#include "fuzz_common.hpp"
#include "travune/resolve.hpp"

namespace {

using namespace travune;

constexpr std::string_view kDefaultModule = R"({"functions":{"main":{"name":"main",
"params":[{"name":"x","ty":{"dtype":"f32","shape":["param.b","param.d","n",4]}},
          {"name":"w","ty":{"dtype":"*","shape":["param.d"]}}],
"returns":[{"name":"y","ty":{"dtype":"f32","shape":["param.b","param.",""]}}],
"ops":[{"kind":"view","pattern":"b (h d) -> b h d","outputs":["v"],
        "output_types":[{"dtype":"f32","shape":["param.b","param.h","param.d"]}],"args":["x"]},
       {"kind":"loop","target":"main","count":"param.n","outputs":["y"],"output_types":[null],"args":["y","param.n"]},
       {"kind":"loop","target":"main","count":"layers","outputs":["y"],"output_types":[],"args":["y"]},
       {"kind":"tile","pattern":"a -> a r","outputs":["t"],
        "output_types":[{"dtype":"f32","shape":["param.a","param.r"]}],"args":["y"]}]}}})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::valid_utf8(std::string_view(reinterpret_cast<const char*>(data), size))) return -1;
  auto parts = fuzz::split_parts(data, size);
  fuzz::ExactText config_text(parts[0]);
  ConfigMap config;
  bool config_read = fuzz::expected_reader([&] { config = read_config_json(config_text.view()); });
  if (config_read) fuzz::assert_accepted_json_is_valid(parts[0], "read_config_json");

  Module m;
  fuzz::ExactText module_text(parts.size() > 1 ? parts[1] : kDefaultModule);
  if (!fuzz::expected_reader([&] { m = read_module_json(module_text.view()); })) return 0;

  fuzz::expected([&] {
    Module same = sub_module(m, ConfigMap{});
    if (write_module_json(same) != write_module_json(m))
      fuzz::finding("sub_module", "an empty configuration changed the module");
  });
  if (!config_read) return 0;
  fuzz::expected([&] {
    Module configured = sub_module(m, config);
    fuzz::assert_json_round_trip(configured, "sub_module");
    // What substitution replaces is no longer symbolic, and what it leaves it leaves again.
    if (write_module_json(sub_module(configured, config)) != write_module_json(configured))
      fuzz::finding("sub_module", "substituting twice differs from substituting once");
    fuzz::assert_json_round_trip(resolve(configured), "sub_module then resolve");
  });
  return 0;
}
