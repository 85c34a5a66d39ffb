// Replaces the global allocation functions of the test program, so a test can
// make allocations fail.
#include "no_memory.h"

#include <cstdlib>
#include <new>

namespace {

bool armed = false;
std::size_t remaining = 0;

bool may_allocate() {
  if (!armed) return true;
  if (remaining == 0) return false;
  --remaining;
  return true;
}

void* allocate(std::size_t size, std::size_t align) noexcept {
  if (!may_allocate()) return nullptr;
  if (size == 0) size = 1;
  if (align <= alignof(std::max_align_t)) return std::malloc(size);
  return std::aligned_alloc(align, (size + align - 1) / align * align);
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
  void* p = allocate(size, align);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace vext::testing {

FailAllocations::FailAllocations(std::size_t allowed) {
  remaining = allowed;
  armed = true;
}

FailAllocations::~FailAllocations() { armed = false; }

}  // namespace vext::testing

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
