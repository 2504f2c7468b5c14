#include "allocation_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
}

namespace {

std::atomic<uint64_t> g_allocations{0};

void CountOne() { g_allocations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

namespace kelto::bench {

uint64_t AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace kelto::bench

// The executable's definitions take precedence over the C library's for
// every shared object in the process, libkelto.so and libstdc++ included.
extern "C" {

void* malloc(size_t size) noexcept {
  CountOne();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
  CountOne();
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) noexcept {
  CountOne();
  return __libc_realloc(block, size);
}

}  // extern "C"

// operator new comes through malloc above; replacing it here as well makes
// sure of that whatever the standard library was built with.
void* operator new(size_t size) {
  void* block = std::malloc(size != 0 ? size : 1);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
