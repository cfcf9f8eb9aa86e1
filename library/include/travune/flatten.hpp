#pragma once
// The flattener as the extension calls it: one function from an entry, calls inlined, loops
// unrolled, caches as slots, written as module JSON.
#include <string>
#include <string_view>

#include "travune/ast.hpp"
#include "travune/hash.hpp"

namespace travune {

using CacheKeys = HashSet<std::string>;

// Rewrites arguments of the flattened entry's ops once flattening has gone through. The
// writer of the flattened JSON notes where each name argument beginning with prefix() lies
// in its output; when the whole entry is flattened (every stop of flattening has passed), it
// calls flattened() once, then rewrite() for each noted argument, in output order.
class ArgRewriter {
 public:
  virtual ~ArgRewriter() = default;
  virtual std::string_view prefix() const = 0;
  // May stop the call.
  virtual void flattened() = 0;
  // Writes the new text of argument `name` over `to` and returns true, or returns false to
  // keep the argument.
  virtual bool rewrite(std::string_view name, std::string& to) = 0;
};

// The module JSON of the entry flattened (a module of that one function; a cache op whose var
// is in `cache_keys` becomes a slot supplied by the caller), written as the ops are produced
// without holding them; `m` is released as soon as flattening is done, before `rewriter`
// (when given) rewrites the arguments it asks for.
std::string write_flat_json(Module m, std::string_view entry, const CacheKeys& cache_keys,
                            ArgRewriter* rewriter = nullptr);

}  // namespace travune
