// What each atomic read-modify-write left on a statement's path costs here,
// uncontended, on one thread: `x = x + 1` does four (the read lock and
// unlock around the read of x, the write lock and unlock around the
// binding); the replaced value, whose count is one, is freed after a plain
// load. Compare the rows with one run of the statement (profile_run.py).
//
//   build/bench/bench/atomics_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

#include "velk/raw_rwlock.hpp"

namespace {

void FetchAdd(benchmark::State& state) {
    std::atomic<std::uint64_t> word{0};
    for (auto _ : state) benchmark::DoNotOptimize(word.fetch_add(1, std::memory_order_relaxed));
}
BENCHMARK(FetchAdd);

void CompareExchange(benchmark::State& state) {
    std::atomic<std::uint64_t> word{0};
    std::uint64_t expected = 0;
    for (auto _ : state) {
        word.compare_exchange_strong(expected, expected + 1, std::memory_order_acquire);
        benchmark::DoNotOptimize(expected);
    }
}
BENCHMARK(CompareExchange);

// The check that spares a count of one its decrement.
void LoadAcquire(benchmark::State& state) {
    std::atomic<std::uint64_t> word{1};
    for (auto _ : state) benchmark::DoNotOptimize(word.load(std::memory_order_acquire));
}
BENCHMARK(LoadAcquire);

void ReadLockAndUnlock(benchmark::State& state) {
    velk::RawRwLock lock;
    for (auto _ : state) {
        lock.lock_shared();
        lock.unlock_shared();
    }
}
BENCHMARK(ReadLockAndUnlock);

void WriteLockAndUnlock(benchmark::State& state) {
    velk::RawRwLock lock;
    for (auto _ : state) {
        lock.lock_exclusive();
        lock.unlock_exclusive();
    }
}
BENCHMARK(WriteLockAndUnlock);

}  // namespace

BENCHMARK_MAIN();
