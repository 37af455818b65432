// A test-only replacement of the global allocation functions: it counts
// live allocations and can make the n-th allocation from now fail with
// std::bad_alloc. Linked only into test binaries and into the test build of
// the Python module, never into the library or the release module.
#pragma once

#include <cstdint>

extern "C" {

// Arms the hook: the n-th allocation from now (1 = the next one) fails.
// n <= 0 disarms it.
void velk_fail_allocation_after(std::int64_t n) noexcept;

// Allocations made so far that would have failed: 1 once the armed
// allocation has failed, 0 otherwise (reset by arming).
std::int64_t velk_failed_allocations() noexcept;

// Blocks allocated through the replaced functions and not yet freed.
std::int64_t velk_live_allocations() noexcept;

}
