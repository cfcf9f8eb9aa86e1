#include "travune/stack.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <string>

#include "travune/fatal.hpp"

namespace travune {
namespace {

// A thread's stack as the checks see it, and on the main thread what its low bound follows.
struct ThreadStack {
  StackBounds bounds;
  // The main thread's stack mapping ends at `top` (between high and top lie the program's
  // arguments and environment, which count against the limit too), reached down to `mapped`
  // when it was looked up, and never grows below `floor`. `limit_read`: the low bound follows
  // the limit as read during this call.
  bool follows_limit = false;
  bool limit_read = false;
  std::uintptr_t top = 0;
  std::uintptr_t mapped = 0;
  std::uintptr_t floor = 0;
};

// The gap the kernel keeps between a stack it grows and the mapping below (its
// stack_guard_gap: 256 pages unless the boot line says otherwise).
constexpr std::uintptr_t kGuardPages = 256;

StackBounds system_bounds() {
  StackBounds b;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
  void* addr = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
    b.base = b.low = reinterpret_cast<std::uintptr_t>(addr);
    b.high = b.low + size;
  }
  pthread_attr_destroy(&attr);
  return b;
}

// The kernel grows the main thread's stack while the whole mapping stays within RLIMIT_STACK
// as it is at that moment (in whole pages) and the gap to the mapping below stays free:
// RLIM_INFINITY leaves the floor as the only bound. The pages already in place stay usable
// under any limit.
void follow_limit(ThreadStack& s) {
  s.limit_read = true;
  rlimit limit{};
  if (getrlimit(RLIMIT_STACK, &limit) != 0) return;
  const auto page = static_cast<std::uintptr_t>(getpagesize());
  const std::uintptr_t size =
      std::min<std::uintptr_t>(limit.rlim_cur & ~(page - 1), s.top - s.floor);
  s.bounds.low = std::min(s.mapped, s.top - size);
}

// On the main thread, [low, high) from the system covers only the room the limit allowed when
// it was asked: the bounds come from the "[stack]" mapping of /proc/self/maps instead. A thread
// that only shares the process's id (the child of a fork made on another thread) runs on a
// stack of fixed size, and keeps the system's bounds.
void follow_main_stack(ThreadStack& s) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  std::uintptr_t below = 0;  // the end of the mapping before this one
  while (std::getline(maps, line)) {
    std::uintptr_t from = 0, to = 0;
    const char* end = line.data() + line.size();
    auto [dash, e1] = std::from_chars(line.data(), end, from, 16);
    if (e1 != std::errc{} || dash == end || *dash != '-') return;
    if (std::from_chars(dash + 1, end, to, 16).ec != std::errc{}) return;
    if (from < s.bounds.high && s.bounds.high <= to) {
      if (!line.ends_with("[stack]")) return;
      const auto page = static_cast<std::uintptr_t>(getpagesize());
      s.follows_limit = true;
      s.top = to;
      s.mapped = from;
      s.floor = std::min(below + kGuardPages * page, from);
      s.bounds.base = below;
      s.bounds.low = from;
      return;
    }
    below = to;
  }
}

ThreadStack look_up() {
  ThreadStack s;
  s.bounds = system_bounds();
  if (s.bounds.high != 0 && gettid() == getpid()) follow_main_stack(s);
  return s;
}

ThreadStack& this_thread_stack() {
  // Looked up on the thread's first use (for the main thread the system and the lookup above
  // read /proc/self/maps), then kept.
  thread_local ThreadStack stack = look_up();
  return stack;
}

}  // namespace

const StackBounds& thread_stack() { return this_thread_stack().bounds; }

void refresh_thread_stack() {
  ThreadStack& s = this_thread_stack();
  if (s.follows_limit) {
    s.limit_read = false;
    s.bounds.low = s.mapped;
  }
}

std::size_t stack_left() {
  const StackBounds& b = thread_stack();
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here < b.base || here >= b.high) return std::numeric_limits<std::size_t>::max();
  return here > b.low ? here - b.low : 0;
}

void stack_short(std::string_view what, std::size_t depth, std::size_t need,
                 std::source_location where) {
  ThreadStack& s = this_thread_stack();
  if (s.follows_limit && !s.limit_read) {
    follow_limit(s);
    if (stack_left() >= stack_reserve + need) return;
  }
  std::string message = "not enough stack for ";
  message.append(what);
  message += " nested " + std::to_string(depth) +
             " levels deep; run it on a thread with a larger stack";
  fatal(std::move(message), where);
}

}  // namespace travune
