#include "travune/stack.hpp"

#include <pthread.h>

#include <limits>
#include <string>

#include "travune/fatal.hpp"

namespace travune {
namespace {

StackBounds look_up_bounds() {
  StackBounds b;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
  void* addr = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
    b.low = reinterpret_cast<std::uintptr_t>(addr);
    b.high = b.low + size;
  }
  pthread_attr_destroy(&attr);
  return b;
}

}  // namespace

const StackBounds& thread_stack() {
  // Looked up on the thread's first check (for the main thread the system reads
  // /proc/self/maps), then kept.
  thread_local const StackBounds bounds = look_up_bounds();
  return bounds;
}

std::size_t stack_left() {
  const StackBounds& b = thread_stack();
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here <= b.low || here >= b.high) return std::numeric_limits<std::size_t>::max();
  return here - b.low;
}

void stack_exhausted(std::string_view what, std::size_t depth, std::source_location where) {
  std::string message = "not enough stack for ";
  message.append(what);
  message += " nested " + std::to_string(depth) +
             " levels deep; run it on a thread with a larger stack";
  fatal(std::move(message), where);
}

}  // namespace travune
