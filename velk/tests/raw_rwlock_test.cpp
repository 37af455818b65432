// RawRwLock: state word, admission rules, parking and the reader limit.
// Threads are sequenced by watching the state word (a parked bit shows
// that a thread is about to sleep), so every assertion is deterministic.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "parking_lot.hpp"
#include "velk/eval_error.hpp"
#include "velk/raw_rwlock.hpp"
#include "wait_until.hpp"

namespace velk {
namespace {

using State = RawRwLock::State;
using test::wait_until;

constexpr State kReader = RawRwLock::kOneReader;
constexpr State kWriter = RawRwLock::kWriter;
constexpr State kReadersParked = RawRwLock::kReadersParked;
constexpr State kWritersParked = RawRwLock::kWritersParked;

bool has_bits(const RawRwLock& lock, State bits) { return (lock.state() & bits) == bits; }

TEST(RawRwLock, UncontendedStates) {
    RawRwLock lock;
    EXPECT_EQ(lock.state(), 0u);
    lock.lock_shared();
    lock.lock_shared();
    EXPECT_EQ(lock.state(), 2 * kReader);
    EXPECT_FALSE(lock.try_lock_exclusive());
    EXPECT_TRUE(lock.try_lock_shared());
    EXPECT_EQ(lock.state(), 3 * kReader);
    for (int i = 0; i < 3; ++i) lock.unlock_shared();
    EXPECT_EQ(lock.state(), 0u);

    lock.lock_exclusive();
    EXPECT_EQ(lock.state(), kWriter);
    EXPECT_FALSE(lock.try_lock_shared());
    EXPECT_FALSE(lock.try_lock_exclusive());
    lock.unlock_exclusive();
    EXPECT_EQ(lock.state(), 0u);
    EXPECT_TRUE(lock.try_lock_exclusive());
    lock.unlock_exclusive();
    EXPECT_EQ(lock.state(), 0u);
}

TEST(RawRwLock, ReaderLimit) {
    // One reader short of the limit: the last one fits, the next fails.
    const State almost_full = (RawRwLock::kMaxReaders - 1) * kReader;
    for (State parked : {State(0), kWritersParked}) {
        RawRwLock lock(almost_full | parked);
        lock.lock_shared();
        EXPECT_EQ(lock.state(), (RawRwLock::kMaxReaders * kReader) | parked);
        const State full = lock.state();
        try {
            lock.lock_shared();
            FAIL() << "a reader beyond the limit was admitted";
        } catch (const EvalError& e) {
            EXPECT_EQ(e.message(), "reader count overflowed");
            EXPECT_STREQ(e.where().file, kCoreSourceFile);
        }
        EXPECT_THROW((void)lock.try_lock_shared(), EvalError);
        EXPECT_EQ(lock.state(), full) << "a failed acquisition changed the state";
        lock.unlock_shared();
        EXPECT_EQ(lock.state(), almost_full | parked);
    }
}

TEST(RawRwLock, ReaderParksBehindWriterAndIsWoken) {
    RawRwLock lock;
    lock.lock_exclusive();
    std::atomic<bool> acquired{false};
    std::atomic<State> seen{0};
    std::thread reader([&] {
        lock.lock_shared();
        seen = lock.state();
        acquired = true;
        lock.unlock_shared();
    });
    ASSERT_TRUE(wait_until([&] { return has_bits(lock, kReadersParked); }));
    EXPECT_FALSE(acquired);
    EXPECT_EQ(lock.state(), kWriter | kReadersParked);
    lock.unlock_exclusive();
    reader.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(seen.load(), kReader) << "the release must clear the readers-parked bit";
    EXPECT_EQ(lock.state(), 0u);
}

TEST(RawRwLock, ReadersAdmittedWhileWriterWaits) {
    RawRwLock lock;
    lock.lock_shared();
    std::atomic<bool> writer_in{false};
    std::thread writer([&] {
        lock.lock_exclusive();
        writer_in = true;
        lock.unlock_exclusive();
    });
    ASSERT_TRUE(wait_until([&] { return has_bits(lock, kWritersParked); }));

    // No writer preference: a new reader gets in at once.
    std::atomic<State> seen{0};
    std::thread reader([&] {
        lock.lock_shared();
        seen = lock.state();
        lock.unlock_shared();
    });
    reader.join();
    EXPECT_EQ(seen.load(), 2 * kReader | kWritersParked);
    EXPECT_FALSE(writer_in) << "a writer got in while a reader held the lock";

    lock.unlock_shared();  // the last reader hands over to the parked writer
    writer.join();
    EXPECT_TRUE(writer_in);
    EXPECT_EQ(lock.state(), 0u);
}

TEST(RawRwLock, WriterReleaseWakesReadersAndKeepsWritersParked) {
    RawRwLock lock;
    lock.lock_exclusive();
    std::atomic<State> reader_saw{0};
    std::atomic<bool> writer_in{false};
    std::thread reader([&] {
        lock.lock_shared();
        reader_saw = lock.state();
        lock.unlock_shared();
    });
    ASSERT_TRUE(wait_until([&] { return has_bits(lock, kReadersParked); }));
    std::thread writer([&] {
        lock.lock_exclusive();
        writer_in = true;
        lock.unlock_exclusive();
    });
    // Asleep, not just announced: a writer that has set its bit but not yet
    // slept would take the lock itself when it is released now.
    ASSERT_TRUE(wait_until([&] { return velk::parking::parked_count(reinterpret_cast<std::uintptr_t>(&lock)) == 1; }));
    EXPECT_EQ(lock.state(), kWriter | kReadersParked | kWritersParked);

    lock.unlock_exclusive();
    reader.join();
    writer.join();
    // The reader went first, the writer's bit still set; its release woke
    // the writer.
    EXPECT_EQ(reader_saw.load(), kReader | kWritersParked);
    EXPECT_TRUE(writer_in);
    EXPECT_EQ(lock.state(), 0u);
}

TEST(RawRwLock, ParkedWritersAllGetTheirTurn) {
    RawRwLock lock;
    lock.lock_exclusive();
    constexpr int kWriters = 4;
    std::atomic<int> done{0};
    int protected_count = 0;  // guarded by the lock
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.emplace_back([&] {
            lock.lock_exclusive();
            ++protected_count;
            lock.unlock_exclusive();
            ++done;
        });
    }
    // Every writer asleep, none through.
    ASSERT_TRUE(wait_until([&] { return velk::parking::parked_count(reinterpret_cast<std::uintptr_t>(&lock)) == kWriters; }));
    EXPECT_EQ(done.load(), 0);
    lock.unlock_exclusive();
    // Each release wakes only one writer; a lost wake-up strands the rest.
    ASSERT_TRUE(wait_until([&] { return done == kWriters; }));
    for (auto& t : writers) t.join();
    EXPECT_EQ(protected_count, kWriters);
    EXPECT_EQ(lock.state(), 0u);
}

// Readers check that two guarded fields stay equal, writers change both;
// run under ThreadSanitizer this also checks the lock's memory ordering.
TEST(RawRwLock, MutualExclusionUnderContention) {
    RawRwLock lock;
    long a = 0, b = 0;  // guarded by the lock; always equal outside a writer
    std::atomic<long> torn{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 4 == 0) {
                    lock.lock_exclusive();
                    ++a;
                    ++b;
                    lock.unlock_exclusive();
                } else {
                    lock.lock_shared();
                    if (a != b) ++torn;
                    lock.unlock_shared();
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(a, long(kThreads) * kRounds / 4);
    EXPECT_EQ(lock.state(), 0u);
}

}  // namespace
}  // namespace velk
