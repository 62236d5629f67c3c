// Counts a test program's heap allocations by replacing its global allocation functions. Every
// form funnels into malloc and free, so AddressSanitizer still sees (and checks) each block
// through its malloc. The replacements are definitions: include this from one file of the
// program only.
//
// A program that would rather keep AddressSanitizer's own allocation functions (with their
// new/delete pairing checks) defines CORVANTHE_COUNT_ALLOCATIONS_UNLESS_ASAN before including;
// a sanitized build of it then counts nothing and says so in kCountsAllocations.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace qv::launcher::test {

inline std::atomic<long> allocations{0};

// The allocations made while the work runs, on any thread.
long allocationsDuring(auto&& work) {
    const long before = allocations.load(std::memory_order_relaxed);
    work();
    return allocations.load(std::memory_order_relaxed) - before;
}

} // namespace qv::launcher::test

#if defined(__SANITIZE_ADDRESS__) && defined(CORVANTHE_COUNT_ALLOCATIONS_UNLESS_ASAN)
namespace qv::launcher::test {
inline constexpr bool kCountsAllocations = false;
}
#else
namespace qv::launcher::test {
inline constexpr bool kCountsAllocations = true;
}

// GCC takes malloc-backed new with free-backed delete for a mismatch when it sees both at once.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    qv::launcher::test::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif
