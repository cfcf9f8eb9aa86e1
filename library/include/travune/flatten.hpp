#pragma once
// The flattener: one function from an entry, calls inlined, loops unrolled, caches as slots.
#include <cstddef>
#include <string>
#include <string_view>

#include "travune/ast.hpp"
#include "travune/hash.hpp"

namespace travune {

using CacheKeys = HashSet<std::string>;

// A module of one function, the expanded entry; a cache op whose var is in
// `cache_keys` becomes a slot supplied by the caller.
Module flatten(const Module& m, std::string_view entry, const CacheKeys& cache_keys);

// Where the flattener puts the ops of the entry as it produces them. The whole entry is
// expanded first: its ops arrive in order, and each cache op leaves a hole. Then each hole,
// in order, is announced by fill() and followed by the ops of its slot.
class FlatSink {
 public:
  virtual ~FlatSink() = default;
  virtual void op(Op&& op) = 0;
  virtual void hole() = 0;
  virtual void fill() = 0;
};

// Flattens the entry into `sink` and returns the entry's signature: its name, comments,
// and params and returns with the slots added (no ops). Stops as flatten() stops.
Function flatten_into(const Module& m, std::string_view entry, const CacheKeys& cache_keys,
                      FlatSink& sink);

// Rewrites arguments of the flattened entry's ops once flattening has gone through. The
// flattener notes where each name argument beginning with prefix() lies in its output; when
// the whole entry is flattened (every stop of flattening has passed), it calls flattened()
// once, then rewrite() for each noted argument, in output order.
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

// write_module_json(flatten(m, entry, cache_keys)), written as the ops are produced without
// holding them; `m` is released as soon as flattening is done, before `rewriter` (when given)
// rewrites the arguments it asks for.
std::string write_flat_json(Module m, std::string_view entry, const CacheKeys& cache_keys,
                            ArgRewriter* rewriter = nullptr);

}  // namespace travune
