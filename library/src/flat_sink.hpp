#pragma once
// The flattener as the rest of the library uses it: the entry's ops handed to a sink as they
// are produced (flatten_into), or collected into a module of one function (flatten).
#include <string_view>

#include "travune/ast.hpp"
#include "travune/flatten.hpp"

namespace travune {

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

// A module of one function, the expanded entry; a cache op whose var is in
// `cache_keys` becomes a slot supplied by the caller.
Module flatten(const Module& m, std::string_view entry, const CacheKeys& cache_keys);

}  // namespace travune
