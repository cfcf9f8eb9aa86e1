// The stack check: the room left is measured against the running thread's own stack, a walk
// deeper than its stack allows stops with a message instead of overflowing it, and code
// running on a stack that is not the thread's is never stopped.
#include <gtest/gtest.h>
#include <pthread.h>
#include <ucontext.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "travune/ast.hpp"
#include "travune/fatal.hpp"
#include "travune/stack.hpp"

namespace travune {
namespace {

// Runs `body` on a new thread whose stack takes `size` bytes.
void on_thread(std::size_t size, std::function<void()> body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, size), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// One level of a walk: a frame of some hundreds of bytes, checked on the way down.
std::size_t descend(std::size_t depth, std::size_t limit) {
  volatile char frame[256];
  frame[0] = 0;
  check_stack("test levels", depth);
  if (depth == limit) return depth;
  const std::size_t reached = descend(depth + 1, limit);
  frame[1] = frame[0];  // used after the call: no tail call
  return reached;
}

TEST(Stack, RoomIsMeasuredOnTheThreadsOwnStack) {
  constexpr std::size_t kSize = 256 << 10;
  std::size_t left = 0, deeper = 0;
  on_thread(kSize, [&] {
    left = stack_left();
    std::function<void()> inner = [&] {
      volatile char pad[4096];
      pad[0] = 1;
      deeper = stack_left() + static_cast<std::size_t>(pad[0] - 1);
    };
    inner();
  });
  EXPECT_GT(left, kSize / 2);
  EXPECT_LE(left, kSize);
  EXPECT_LT(deeper, left - 4096);
}

TEST(Stack, DeepWalkStopsWithAMessage) {
  std::string message;
  std::size_t reached = 0;
  on_thread(stack_reserve + (256 << 10), [&] {
    try {
      reached = descend(1, 1'000'000);
    } catch (const Fatal& f) {
      message = f.message;
    }
  });
  EXPECT_EQ(reached, 0u);
  const std::string head = "not enough stack for test levels nested ";
  const std::string tail = " levels deep; run it on a thread with a larger stack";
  ASSERT_TRUE(message.starts_with(head)) << message;
  ASSERT_TRUE(message.ends_with(tail)) << message;
  const std::size_t depth = std::stoul(message.substr(head.size()));
  EXPECT_GT(depth, 100u);    // 256 KiB beyond the reserve hold several hundred levels
  EXPECT_LT(depth, 1024u);   // of at least 256 bytes each
  // The same walk within the room goes through.
  on_thread(stack_reserve + (256 << 10), [&] { reached = descend(1, 50); });
  EXPECT_EQ(reached, 50u);
}

TEST(Stack, GaugeStopsWhereTheCheckDoes) {
  std::string message;
  on_thread(stack_reserve + (64 << 10), [&] {
    StackGauge gauge;
    std::function<void(std::size_t)> walk = [&](std::size_t depth) {
      volatile char frame[512];
      frame[0] = 0;
      gauge.check("gauged levels", depth);
      walk(depth + 1);
      frame[1] = frame[0];
    };
    try {
      walk(1);
    } catch (const Fatal& f) {
      message = f.message;
    }
  });
  EXPECT_TRUE(message.starts_with("not enough stack for gauged levels nested ")) << message;
}

// Code that runs on a stack of its own (a coroutine, an interpreter's alternate stack) has
// bounds the thread does not know: it is never stopped.
TEST(Stack, AnotherStackIsNeverStopped) {
  static std::size_t left;
  static bool passed;
  std::vector<char> other(64 << 10);
  ucontext_t main_context, other_context;
  ASSERT_EQ(getcontext(&other_context), 0);
  other_context.uc_stack.ss_sp = other.data();
  other_context.uc_stack.ss_size = other.size();
  other_context.uc_link = &main_context;
  makecontext(&other_context, [] {
    left = stack_left();
    check_stack("levels", 1, std::size_t{1} << 40);
    StackGauge().check("levels", 1);
    passed = true;
  }, 0);
  ASSERT_EQ(swapcontext(&main_context, &other_context), 0);
  EXPECT_EQ(left, std::numeric_limits<std::size_t>::max());
  EXPECT_TRUE(passed);
}

TEST(Stack, LiteralDepth) {
  auto list = [](std::vector<LiteralValue> items) { return LiteralValue{std::move(items)}; };
  LiteralValue deep{std::int64_t{1}};
  for (int i = 0; i < 5000; ++i) {
    LiteralList items;
    items.push_back(LiteralValue{2.5});
    items.push_back(std::move(deep));
    deep = LiteralValue{std::move(items)};
  }
  const std::vector<std::pair<LiteralValue, std::size_t>> cases = {
      {LiteralValue{std::int64_t{3}}, 0},
      {list({}), 1},
      {list({list({}), list({list({})}), LiteralValue{1.0}}), 3},
      {list({list({list({list({})})}), list({})}), 4},  // the deepest item first
      {list({LiteralValue{1.0}, list({}), list({list({list({})})})}), 4},  // and last
      {deep, 5000},
  };
  for (const auto& [value, depth] : cases) EXPECT_EQ(literal_depth(value), depth);
}

}  // namespace
}  // namespace travune
