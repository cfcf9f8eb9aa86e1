#pragma once
// The flattener: one function from an entry, calls inlined, loops unrolled, caches as slots.
#include <string>
#include <string_view>
#include <unordered_set>

#include "travune/ast.hpp"

namespace travune {

using CacheKeys = std::unordered_set<std::string>;

// A module of one function, the expanded entry; a cache op whose var is in
// `cache_keys` becomes a slot supplied by the caller.
Module flatten(const Module& m, std::string_view entry, const CacheKeys& cache_keys);

}  // namespace travune
