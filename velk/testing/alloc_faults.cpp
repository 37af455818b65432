// Replaced global operator new/delete with a countdown to one failure.
#include "alloc_faults.hpp"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "test_memory.hpp"

// The replaced operators pair malloc with free; GCC cannot see that.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<std::int64_t> g_countdown{0};  // allocations left before the failure; 0 = disarmed
std::atomic<std::int64_t> g_failed{0};     // 1 once the armed allocation failed
std::atomic<std::int64_t> g_live{0};       // blocks handed out and not yet freed

void* allocate(std::size_t n, std::size_t align) {
    std::int64_t left = g_countdown.load(std::memory_order_relaxed);
    while (left > 0) {
        if (g_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 1) {
                g_failed.store(1, std::memory_order_relaxed);
                return nullptr;
            }
            break;
        }
    }
    void* p = velk::test_memory::allocate(n, align);
    if (p) g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void release(void* p) noexcept {
    if (!p) return;
    g_live.fetch_sub(1, std::memory_order_relaxed);
    velk::test_memory::release(p);
}

void* allocate_or_throw(std::size_t n, std::size_t align) {
    if (void* p = allocate(n, align)) return p;
    throw std::bad_alloc();
}

}  // namespace

extern "C" {

void velk_fail_allocation_after(std::int64_t n) noexcept {
    g_failed.store(0, std::memory_order_relaxed);
    g_countdown.store(n > 0 ? n : 0, std::memory_order_relaxed);
}

std::int64_t velk_failed_allocations() noexcept { return g_failed.load(std::memory_order_relaxed); }

std::int64_t velk_live_allocations() noexcept { return g_live.load(std::memory_order_relaxed); }

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
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
