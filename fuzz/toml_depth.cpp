// The loader's depth scan of TOML text against the TOML library itself.
// Input: a TOML text (up to 8 KB, so that the library's own recursion cannot overflow).
// Invariants, for every text the library reads: the scan's deepest level is the depth of the
// tree the library builds (the root table at 0, each value one level below the table or array
// holding it), and a text of at most 256 levels passes the loader's bound.
#include <toml++/toml.h>

#include <string>
#include <utility>
#include <vector>

#include "fuzz_common.hpp"
#include "toml_depth.hpp"

namespace {

// The deepest level of the tree, walked without recursion.
std::size_t tree_depth(const toml::node& root) {
  std::size_t deepest = 0;
  std::vector<std::pair<const toml::node*, std::size_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    auto [node, level] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, level);
    if (const toml::table* t = node->as_table())
      for (const auto& [key, value] : *t) pending.emplace_back(&value, level + 1);
    else if (const toml::array* a = node->as_array())
      for (const toml::node& value : *a) pending.emplace_back(&value, level + 1);
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace travune;
  if (size > 8192) return -1;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!fuzz::valid_utf8(text)) return -1;
  const fuzz::ExactText exact(text);
  const TomlDepth scan = scan_toml_depth(exact.view(), SIZE_MAX);
  const TomlDepth bounded = scan_toml_depth(exact.view(), 256);
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error&) {
    return 0;
  }
  const std::size_t depth = tree_depth(root);
  if (scan.deepest != depth)
    fuzz::finding("toml depth", "the scan counts " + std::to_string(scan.deepest) +
                                    " levels, the library builds " + std::to_string(depth));
  if (depth <= 256 && bounded.too_deep)
    fuzz::finding("toml depth", "a document of " + std::to_string(depth) +
                                    " levels does not pass the bound of 256");
  return 0;
}
