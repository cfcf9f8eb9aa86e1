#pragma once
// The running thread's stack. Nested input (literal lists, chains of calls, JSON arrays and
// objects, TOML tables) is walked by recursion, and a thread's stack may be much smaller than
// the main thread's 8 MiB: Python starts threads with as little as 32 KiB. Where a walk goes
// one level deeper it checks the room left below it, and the call stops with a message
// ("not enough stack for a literal list nested 700 levels deep; run it on a thread with a
// larger stack") instead of overflowing the stack.
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string_view>

namespace travune {

// Whether this is the address sanitizer's build, whose frames take several times ours.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool stack_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool stack_sanitized = true;
#else
inline constexpr bool stack_sanitized = false;
#endif
#else
inline constexpr bool stack_sanitized = false;
#endif

// A number of stack bytes, measured on the ordinary build and on the sanitizer build.
constexpr std::size_t stack_bytes(std::size_t plain, std::size_t sanitized) {
  return stack_sanitized ? sanitized : plain;
}

// The room every check keeps free below the caller: the next level of the walk (at most
// 1.5 KiB, 7 KiB with the sanitizer: a level of calls in the flattener), the work done at
// the deepest level before any further check (reading a number, writing an op), and the stop
// itself (throwing and unwinding take 3.5 KiB, 5 KiB with the sanitizer). Four times the
// least reserve with which no input at the bounds crashed, on thread stacks from 32 KiB up
// in steps of 4 KiB (12 KiB with the sanitizer): 4 KiB, 16 KiB with the sanitizer.
inline constexpr std::size_t stack_reserve = stack_bytes(16 << 10, 64 << 10);

// The stack of the running thread: [base, high) is the memory it lies in, [low, high) the part
// the checks let it use. Looked up on the thread's first use and kept for its life, except on
// the main thread, whose stack grows on demand while the whole of it stays within RLIMIT_STACK
// as the limit is at that moment (and Python code may change the limit at any time). There low
// starts each call at the part of the stack already in place, which no limit takes back, and
// moves to what the limit allows the first time a walk of the call needs more; below it, down
// to base, lies what a lowered limit no longer lets the thread reach. All are 0 when the system
// does not tell.
struct StackBounds {
  std::uintptr_t base = 0;
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};
const StackBounds& thread_stack();

// The start of a call: the main thread forgets the limit read during an earlier call and
// measures against the stack already in place until a walk needs more. No system call; on
// other threads, whose stacks cannot change, nothing.
void refresh_thread_stack();

// The bytes of stack left below the caller's frame (0 below low); SIZE_MAX when the bounds are
// unknown or the caller runs on some other stack.
std::size_t stack_left();

// Where a check finds less than stack_reserve + need bytes left: the main thread, the first
// time in a call, reads RLIMIT_STACK (a system call) and goes on when the room the limit
// allows is enough. Otherwise the call stops: "not enough stack for {what} nested {depth}
// levels deep; run it on a thread with a larger stack".
[[gnu::cold]] void stack_short(std::string_view what, std::size_t depth, std::size_t need,
                               std::source_location where);

// Stops the call unless `need` bytes are left beyond stack_reserve.
inline void check_stack(std::string_view what, std::size_t depth, std::size_t need = 0,
                        std::source_location where = std::source_location::current()) {
  if (stack_left() < stack_reserve + need) [[unlikely]]
    stack_short(what, depth, need, where);
}

// The same check for a walk that goes up and down many times (a reader entering every array
// and object of a document): the bounds are taken when the walk starts, and again when the
// main thread reads its limit.
class StackGauge {
 public:
  StackGauge() { measure(); }
  void check(std::string_view what, std::size_t depth,
             std::source_location where = std::source_location::current()) {
    // Short within [base, low + reserve). Below base_ is some other stack: the difference
    // wraps and passes.
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here - base_ < room_) [[unlikely]] {
      stack_short(what, depth, 0, where);
      measure();
    }
  }

 private:
  void measure() {
    const StackBounds& b = thread_stack();
    base_ = b.base;
    room_ = b.high > b.base ? b.low - b.base + stack_reserve : 0;
  }
  std::uintptr_t base_ = 0;
  std::size_t room_ = 0;
};

}  // namespace travune
