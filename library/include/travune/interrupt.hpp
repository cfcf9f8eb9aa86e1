#pragma once
// Stopping a long call from outside. The caller installs one check, once, before any call
// (the Python extension's runs the interpreter's pending signal handlers); long loops report
// the work they do with poll_interrupt(), which runs the check every kInterruptInterval units
// of work, and a system call cut short by a signal runs it at once. When the check asks to
// stop, the call throws Interrupted, which nothing in the library catches: the call ends,
// freeing what it built, and the caller finds what its check left behind.
#include <atomic>
#include <cstdint>

namespace travune {

// Thrown when the check asks the call to stop. Not a Fatal: there is no message to report.
struct Interrupted {};

// Returns true when the call must stop.
using InterruptCheck = bool (*)();

// Installs the check (null for none, the default: nothing then stops a call).
void set_interrupt_check(InterruptCheck check);

// Runs the check now; throws Interrupted when it asks to stop.
void check_interrupt();

// The units of work between two checks. A unit is about a byte of text read, tokenized or
// written; an op read, checked, expanded or written counts kOpUnits. At the speed of the
// slowest stage (some tens of MB/s) this is a check every few milliseconds.
inline constexpr std::int64_t kInterruptInterval = std::int64_t{1} << 17;
inline constexpr std::int64_t kOpUnits = 128;

namespace detail {
// The units left before the next check. One counter for the process: calls run one at a
// time (the caller's lock), and the counter only says when to look, so relaxed loads and
// stores, without a read-modify-write, are all it needs (a lost update moves a check a little).
[[gnu::visibility("hidden")]] extern std::atomic<std::int64_t> interrupt_budget;
[[gnu::cold, gnu::noinline]] void interrupt_budget_spent();
}  // namespace detail

// Counts `units` of work; runs the check when kInterruptInterval units have passed since the
// last one. A subtraction and a test on the hot path; no clock is read.
inline void poll_interrupt(std::int64_t units) {
  const std::int64_t left = detail::interrupt_budget.load(std::memory_order_relaxed) - units;
  detail::interrupt_budget.store(left, std::memory_order_relaxed);
  if (left < 0) [[unlikely]]
    detail::interrupt_budget_spent();
}

}  // namespace travune
