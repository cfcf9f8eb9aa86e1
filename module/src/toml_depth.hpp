#pragma once
// How deep a TOML document nests its values, read from its text before the TOML library reads
// it. The library builds, walks and frees its tree by recursion, so a document nested too deep
// for the stack must be refused before the library sees it.
//
// A value lies one level below the table or array holding it, the root table being level 0:
// `a.b.c = 1` puts 1 at level 3. Each key of a table header or of a dotted key, each inline
// table or array, and each array of tables (whose tables lie one level below it) is a level.
// For every document the library reads, the scan's deepest level is the depth of the tree the
// library builds; for any other, it is at least the depth of what the library builds before
// it stops.
#include <cstddef>
#include <optional>
#include <string_view>

namespace travune {

struct TomlDepth {
  std::size_t deepest = 0;         // the deepest level counted (at most bound + 1)
  std::size_t deepest_inline = 0;  // the most inline tables and arrays open at once
  std::optional<std::size_t> too_deep;  // the byte where a level first passes the bound
};

// Scans `text` until a level passes `bound`; polls for interrupts as it goes.
TomlDepth scan_toml_depth(std::string_view text, std::size_t bound);

}  // namespace travune
