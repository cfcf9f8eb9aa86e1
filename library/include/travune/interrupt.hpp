#pragma once
// Stopping a long call from outside. The caller installs one check, once, before any call
// (the Python extension's runs the interpreter's pending signal handlers); long loops report
// the work they do with poll_interrupt(), which runs the check every kInterruptInterval units
// of work, and a system call cut short by a signal runs it at once. When the check asks to
// stop, the call throws Interrupted, which nothing in the library catches: the call ends,
// freeing what it built, and the caller finds what its check left behind.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

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
// written; an op read, checked, expanded or written counts kOpUnits, and each element of a
// list inside an op or a function (an argument, an output or its type, a comment, a literal's
// element, a dimension, a parameter, an axis) kElementUnits, so that an op holding millions of
// them is polled inside as it is worked on. At the speed of the slowest stage
// (some tens of MB/s) this is a check every few milliseconds.
inline constexpr std::int64_t kInterruptInterval = std::int64_t{1} << 17;
inline constexpr std::int64_t kOpUnits = 128;
inline constexpr std::int64_t kElementUnits = 16;
// The elements of a list worked on between two polls (see for_each_polled): a batch counts
// at most an eighth of the interval, and takes about a millisecond at a microsecond an element.
inline constexpr std::size_t kPollBatch = 1024;

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

// Calls f(i) for each i in [0, n), counting `units` for each: one poll after each batch of
// kPollBatch, and one for the rest, so that a short list costs one poll and a long one polls
// as it goes. Nothing is counted for an empty list.
template <class F>
void for_index_polled(std::size_t n, F&& f, std::int64_t units = kElementUnits) {
  std::size_t i = 0;
  while (i < n) {
    const std::size_t from = i;
    const std::size_t end = n - i > kPollBatch ? i + kPollBatch : n;
    for (; i < end; ++i) f(i);
    poll_interrupt(static_cast<std::int64_t>(end - from) * units);
  }
}

// The same over the elements of a range (a vector, a map), in order.
template <class Range, class F>
void for_each_polled(Range&& items, F&& f, std::int64_t units = kElementUnits) {
  auto it = std::begin(items);
  const auto end = std::end(items);
  while (it != end) {
    std::int64_t k = 0;
    for (; it != end && k < static_cast<std::int64_t>(kPollBatch); ++it, ++k) f(*it);
    poll_interrupt(k * units);
  }
}

// For a loop written out (a recursive walk, where the frames of for_index_polled would take
// stack at every level): counts element i of a list, polling after each batch; then
// poll_rest(n) counts the rest of a list of n.
inline void poll_element(std::size_t i, std::int64_t units = kElementUnits) {
  if ((i + 1) % kPollBatch == 0) poll_interrupt(static_cast<std::int64_t>(kPollBatch) * units);
}
inline void poll_rest(std::size_t n, std::int64_t units = kElementUnits) {
  poll_interrupt(static_cast<std::int64_t>(n % kPollBatch) * units);
}

// The helpers below copy, move, drop and grow lists. A short list (kPollBatch elements at
// most) takes the vector's own way, inline, and counts nothing: the work on it is counted by
// the caller, with the op or the element it belongs to. A long one goes out of line and
// polls after each batch; what it adds, copies or assigns, it touches a batch at a time too,
// so that room reserved at once is mapped as it is written.
namespace detail {

template <class T, class It>
[[gnu::cold, gnu::noinline]] void append_long(std::vector<T>& to, It first, std::size_t n, std::int64_t units) {
  to.reserve(to.size() + n);
  for_index_polled(n, [&](std::size_t) { to.emplace_back(*first++); }, units);
}

template <class T>
[[gnu::cold, gnu::noinline]] void truncate_long(std::vector<T>& v, std::size_t size, std::int64_t units) {
  while (v.size() - size > kPollBatch) {
    v.erase(v.end() - static_cast<std::ptrdiff_t>(kPollBatch), v.end());
    poll_interrupt(static_cast<std::int64_t>(kPollBatch) * units);
  }
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(size), v.end());
}

template <class T>
[[gnu::cold, gnu::noinline]] void assign_long(std::vector<T>& to, const std::vector<T>& from,
                                   std::int64_t units) {
  if (to.size() > from.size()) truncate_long(to, from.size(), units);
  const std::size_t kept = to.size();
  for_index_polled(kept, [&](std::size_t i) { to[i] = from[i]; }, units);
  append_long(to, from.begin() + static_cast<std::ptrdiff_t>(kept), from.size() - kept, units);
}

template <class T>
[[gnu::cold, gnu::noinline]] void grow_long(std::vector<T>& v) {
  std::vector<T> larger;
  larger.reserve(2 * v.size());
  append_long(larger, std::make_move_iterator(v.begin()), v.size(), kElementUnits);
  truncate_long(v, 0, kElementUnits);
  v.swap(larger);
}

}  // namespace detail

// Appends the elements of [first, last), moved (a move iterator) or copied.
template <class T, class It>
void append_polled(std::vector<T>& to, It first, It last, std::int64_t units = kElementUnits) {
  const auto n = static_cast<std::size_t>(std::distance(first, last));
  if (n > kPollBatch) [[unlikely]] return detail::append_long(to, first, n, units);
  to.insert(to.end(), first, last);
}

// Shrinks `v` to its first `size` elements.
template <class T>
void truncate_polled(std::vector<T>& v, std::size_t size, std::int64_t units = kElementUnits) {
  if (v.size() - size > kPollBatch) [[unlikely]] return detail::truncate_long(v, size, units);
  while (v.size() > size) v.pop_back();
}

// `to` made equal to `from` (the elements `to` holds are assigned to, reusing their storage).
template <class T>
void assign_polled(std::vector<T>& to, const std::vector<T>& from,
                   std::int64_t units = kElementUnits) {
  if (from.size() > kPollBatch) [[unlikely]] return detail::assign_long(to, from, units);
  to = from;
}

// A copy of `from`, made as assign_polled makes it.
template <class T>
std::vector<T> copy_polled(const std::vector<T>& from, std::int64_t units = kElementUnits) {
  std::vector<T> to;
  assign_polled(to, from, units);
  return to;
}

// A vector grows by moving all its elements into a larger block at once: for one of millions,
// moving them and touching the new memory takes tens of milliseconds. Past kLongList
// elements, emplace_polled makes the room itself, moving the elements a batch at a time;
// the lists that may grow that long in one op or one function are filled through it.
inline constexpr std::size_t kLongList = std::size_t{1} << 16;

template <class T, class... Args>
T& emplace_polled(std::vector<T>& v, Args&&... args) {
  if (v.size() == v.capacity() && v.size() >= kLongList) [[unlikely]] detail::grow_long(v);
  return v.emplace_back(std::forward<Args>(args)...);
}

// A text grows the same way. The writers call keep_room before each element they append:
// once the text is past kLongText bytes and has less than kTextRoom left, it is moved into
// twice the room a MiB at a time (grow_text), before it would grow by itself.
inline constexpr std::size_t kLongText = std::size_t{1} << 22;
inline constexpr std::size_t kTextRoom = std::size_t{1} << 20;
[[gnu::cold, gnu::noinline]] void grow_text(std::string& text);

inline void keep_room(std::string& text) {
  if (text.capacity() - text.size() < kTextRoom && text.size() >= kLongText) [[unlikely]]
    grow_text(text);
}

// poll_element for a loop written out that appends to `text`: keeps room after each batch.
inline void poll_element(std::size_t i, std::string& text) {
  if ((i + 1) % kPollBatch == 0) {
    poll_interrupt(static_cast<std::int64_t>(kPollBatch) * kElementUnits);
    keep_room(text);
  }
}

}  // namespace travune
