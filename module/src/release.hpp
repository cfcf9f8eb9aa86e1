#pragma once
// Releasing a large module off the caller's path. Returning the memory of a module with
// hundreds of thousands of ops to the allocator takes a good part of a call (many small
// blocks, each coalesced with its neighbours); the answer does not depend on it, so a large
// module is handed to a thread of its own to be destroyed while the call returns.
#include <cstddef>
#include <system_error>
#include <thread>
#include <utility>

#include "travune/ast.hpp"

namespace travune {

// Below this many ops, destroying in place is cheaper than starting a thread.
inline constexpr std::size_t kBackgroundReleaseOps = 20000;

inline std::size_t op_count(const Module& m) {
  std::size_t n = 0;
  for (const auto& [key, f] : m.functions) n += f.ops.size();
  return n;
}

// Destroys `m`, on a detached thread when it is large. The thread owns the module alone
// and touches nothing else; when no thread can be started the module is destroyed here.
inline void release(Module&& m) {
  if (op_count(m) < kBackgroundReleaseOps) {
    Module discard = std::move(m);
    return;
  }
  try {
    std::thread([owned = std::move(m)]() mutable { Module discard = std::move(owned); }).detach();
  } catch (const std::system_error&) {
    // no thread: the module is destroyed with the unstarted task, here
  }
}

}  // namespace travune
