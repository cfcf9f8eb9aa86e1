// An allocation-failure shim for the tests (preloaded with LD_PRELOAD): replaces the global
// operator new so that one chosen allocation fails, as when memory runs out at that point.
// fail_allocation(n): the n-th operator new from now on (0 the next one) fails, once;
// allocations_left() tells how many allocations are still to come before it (negative once
// it has failed, or when none is set: fail_allocation(-1)).
#include <cstdlib>
#include <new>

namespace {
long countdown = -1;

bool fails() { return countdown >= 0 && countdown-- == 0; }

void* allocate(std::size_t n) {
  if (fails()) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

extern "C" void fail_allocation(long n) { countdown = n; }
extern "C" long allocations_left() { return countdown; }

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return fails() ? nullptr : std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return fails() ? nullptr : std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
