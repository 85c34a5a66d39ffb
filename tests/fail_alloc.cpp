// Replaces the C++ allocation functions, so a test can make the k-th
// allocation after arming fail, once.
#include "fail_alloc.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

long countdown = -1;  // allocations left before the failing one; -1 disarmed
bool failed = false;

bool fail_now() {
  if (countdown < 0) return false;
  if (countdown-- > 0) return false;
  failed = true;
  return true;
}

void* allocate(std::size_t size, std::size_t align) noexcept {
  if (fail_now()) return nullptr;
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

extern "C" {
void vext_fail_allocation(long k) {
  countdown = k;
  failed = false;
}
int vext_allocation_failed() { return failed; }
}

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
