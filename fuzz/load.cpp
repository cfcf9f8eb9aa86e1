// TOML configuration text through the configuration and weight-table readers, then the
// whole composite chain (load_flat_json in Python).
// Input: the TOML text, optionally followed by NUL and a trv source text (without one, a
// small model with a loop over layers and weight references), then optionally NUL, the
// entry name and NUL-separated cache keys.
// The texts are written to in-memory files, so the file reading runs as it does for users.
#include "flat_sink.hpp"
#include "fuzz_common.hpp"
#include "calls.hpp"
#include "loader.hpp"
#include "travune/flatten.hpp"
#include "travune/json.hpp"
#include "travune/parse.hpp"
#include "travune/resolve.hpp"

namespace {

using namespace travune;

constexpr std::string_view kDefaultSource = R"(// a small model
main(x: f32[B, param.d], w: *) -> (y: f32[B, param.d]) {
  h: f32[B, param.d] = map[relu](x)
  h = loop[block, param.n_layers](h, weights.layers.*)
  k: f32[B, param.d] = cache[kv.*, init_kv, ext_kv](h)
  y = call[head](h, weights.head)
}
block(x: f32[B, param.d], w: *) -> (y: f32[B, param.d]) {
  t = map[mul](x, w.scale)
  y = map[add](t, w.bias, weights.layers.0.norm)
}
head(x: f32[B, param.d], w: *) -> (y: f32[B, param.e]) {
  y = contract["b d, d e -> b e"](x, w.proj)
}
init_kv(x: f32[B, param.d]) -> (k: f32[B, param.d]) {
  k = view["b d -> b d"](x)
}
ext_kv(k: f32[B, param.d], x: f32[B, param.d]) -> (k2: f32[B, param.d]) {
  k2 = map[add](k, x)
}
)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::valid_utf8(std::string_view(reinterpret_cast<const char*>(data), size))) return -1;
  static fuzz::MemFile config_file("config.toml");
  static fuzz::MemFile source_file("model.trv");
  auto parts = fuzz::split_parts(data, size);
  config_file.write(parts[0]);
  source_file.write(parts.size() > 1 ? parts[1] : kDefaultSource);

  bool config_ok = fuzz::expected([&] {
    ConfigMap config = load_config(config_file.path());
    WeightMapping mapping = load_weight_mapping(config_file.path());
    (void)config;
    (void)mapping;
  });
  if (!config_ok && parts.size() > 1) return 0;

  std::string entry = parts.size() > 2 ? std::string(parts[2]) : "main";
  std::vector<std::string> keys;
  for (std::size_t i = 3; i < parts.size(); ++i) keys.emplace_back(parts[i]);
  if (parts.size() <= 2 && size % 2) keys = {"kv.0", "kv.1", "kv.*"};
  fuzz::expected([&] {
    std::string json = load_flat_json(source_file.path(), config_file.path(), entry, keys);
    fuzz::assert_json(json, "load_flat_json");
    fuzz::expected_reader([&] { fuzz::assert_json_round_trip(read_module_json(json), "load_flat_json"); });
    // The references rewritten where they lie in the streamed output, as if op by op.
    Module flat = flatten(resolve(sub_module(parse_file(source_file.path()),
                                             load_config(config_file.path()))),
                          entry, CacheKeys(keys.begin(), keys.end()));
    const WeightMapping mapping = load_weight_mapping(config_file.path());
    std::string to, key;
    std::vector<std::string_view> indices;
    for (auto it = flat.functions.begin(); it != flat.functions.end(); ++it)
      for (Op& op : it.value().ops)
        for (Atom& a : op.args)
          if (auto* s = std::get_if<std::string>(&a); s && s->starts_with("weights.") &&
              rewrite_weight_reference(*s, mapping, to, key, indices))
            *s = to;
    if (write_module_json(flat) != json) fuzz::finding("load_flat_json", "rewritten op by op differs");
  });
  return 0;
}
