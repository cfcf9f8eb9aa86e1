// write_flat_json: the flattener writing into the flattened JSON text.
#include <string>
#include <utility>
#include <vector>

#include "travune/flatten.hpp"
#include "flat_json_text.hpp"
#include "flat_sink.hpp"

namespace travune {

std::string write_flat_json(Module m, std::string_view entry, const CacheKeys& cache_keys,
                            ArgRewriter* rewriter) {
  FlatJsonText text(rewriter);
  Function f = flatten_into(m, entry, cache_keys, text);
  std::string key(entry);
  std::vector<std::string> header_comments = std::move(m.header_comments);
  m = Module();
  return std::move(text).assemble(header_comments, key, f);
}

}  // namespace travune
