// The replacement operator new behind fail_allocation. In its own file, so the
// compiler never sees a replaced new and delete paired with malloc and free.
#include "alloc_failure.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> allocations_until_failure{0};
}  // namespace

void qxtest::fail_allocation(long n) { allocations_until_failure.store(n); }

void* operator new(std::size_t size) {
  if (allocations_until_failure.load(std::memory_order_relaxed) > 0 &&
      allocations_until_failure.fetch_sub(1) == 1) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
