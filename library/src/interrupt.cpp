#include "travune/interrupt.hpp"

#include <atomic>

namespace travune {
namespace {

// Set once by the caller before any call, then only read.
std::atomic<InterruptCheck> g_check{nullptr};

}  // namespace

namespace detail {

std::atomic<std::int64_t> interrupt_budget{kInterruptInterval};

void interrupt_budget_spent() {
  interrupt_budget.store(kInterruptInterval, std::memory_order_relaxed);
  check_interrupt();
}

}  // namespace detail

void grow_text(std::string& text) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string larger;
  larger.reserve(2 * text.capacity());
  for (std::size_t at = 0; at < text.size(); at += kPiece) {
    larger.append(text, at, kPiece);
    poll_interrupt(kInterruptInterval / 8);
  }
  text.swap(larger);
}

void set_interrupt_check(InterruptCheck check) { g_check.store(check, std::memory_order_relaxed); }

void check_interrupt() {
  InterruptCheck check = g_check.load(std::memory_order_relaxed);
  if (check && check()) throw Interrupted{};
}

}  // namespace travune
