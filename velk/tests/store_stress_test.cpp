// Several threads insert, replace, read and iterate overlapping keys of one
// store. Afterwards no entry is lost or doubled, every value read was one
// that was stored under that key, and every reference is accounted for.
// Meant to run under ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "inspect.hpp"
#include "velk/sharded_map.hpp"

namespace velk {
namespace {

constexpr int kWriters = 4;
constexpr int kKeys = 300;
constexpr int kOpsPerThread = 20000;
constexpr SipKey kKey{0x0123456789abcdefULL, 0x55aa55aa55aa55aaULL};

// A stored value says who stored it, for which key and when.
constexpr unsigned kSeqBits = 32;
constexpr unsigned kThreadBits = 8;
static_assert(kOpsPerThread < (std::int64_t(1) << kSeqBits) && kWriters < (1 << kThreadBits));

std::int64_t encode(int key, int thread, int seq) {
    return (std::int64_t(key) << (kSeqBits + kThreadBits)) | (std::int64_t(thread) << kSeqBits) | seq;
}
int key_of(std::int64_t v) { return static_cast<int>(v >> (kSeqBits + kThreadBits)); }
int thread_of(std::int64_t v) { return static_cast<int>((v >> kSeqBits) & ((1 << kThreadBits) - 1)); }

Identifier key_name(int k) {
    return k % 3 == 0 ? Identifier::u(static_cast<std::uint32_t>(k)) : Identifier::s("k" + std::to_string(k));
}

std::int64_t int_of(const ValueRef& v) { return v->as_number().as_int(); }

struct WriterLog {
    std::vector<ValueRef> created;          // one reference to every value this thread made
    std::vector<std::int64_t> last_write;   // per key, the last value this thread bound (or -1)
    long fresh_inserts = 0;                 // insert calls that found no previous value
    long bad_reads = 0;                     // values seen that were not stored under that key
};

TEST(StoreStress, ConcurrentInsertReplaceReadIterate) {
    std::vector<WriterLog> logs(kWriters);
    {
        ShardedMap map(4, kKey);
        std::atomic<bool> writers_done{false};
        std::atomic<long> bad_iterations{0};

        std::vector<std::thread> threads;
        for (int t = 0; t < kWriters; ++t) {
            threads.emplace_back([&, t] {
                WriterLog& log = logs[t];
                log.last_write.assign(kKeys, -1);
                std::uint32_t rng = 2463534242u + 77u * static_cast<std::uint32_t>(t);
                for (int seq = 0; seq < kOpsPerThread; ++seq) {
                    rng ^= rng << 13;
                    rng ^= rng >> 17;
                    rng ^= rng << 5;
                    const int k = static_cast<int>(rng % kKeys);
                    if ((rng >> 16) % 2 == 0) {
                        const std::int64_t v = encode(k, t, seq);
                        log.created.push_back(ValueRef::make(Value::number(Number::from_int(v))));
                        std::optional<ValueRef> previous = map.insert(key_name(k), log.created.back());
                        log.last_write[k] = v;
                        if (!previous) {
                            ++log.fresh_inserts;
                        } else if (key_of(int_of(*previous)) != k) {
                            ++log.bad_reads;
                        }
                    } else {
                        ValueRef seen;  // as the machine reads: one more reference, then unlock
                        if (const auto guard = map.find(key_name(k))) seen = guard->value();
                        if (seen && (key_of(int_of(seen)) != k || thread_of(int_of(seen)) >= kWriters)) {
                            ++log.bad_reads;
                        }
                    }
                }
            });
        }
        threads.emplace_back([&] {
            do {
                std::vector<int> visits(kKeys, 0);
                auto it = map.iter();
                while (auto view = it.next()) {
                    const int k = key_of(int_of(view->value()));
                    if (k >= kKeys || !(view->key() == key_name(k)) || ++visits[k] > 1) ++bad_iterations;
                }
            } while (!writers_done);
        });
        for (int t = 0; t < kWriters; ++t) threads[t].join();
        writers_done = true;
        threads.back().join();
        EXPECT_EQ(bad_iterations.load(), 0);

        long fresh = 0;
        for (const auto& log : logs) {
            EXPECT_EQ(log.bad_reads, 0);
            fresh += log.fresh_inserts;
        }
        // Exactly one insert per key found it absent.
        std::vector<bool> written(kKeys, false);
        for (const auto& log : logs) {
            for (int k = 0; k < kKeys; ++k) written[k] = written[k] || log.last_write[k] >= 0;
        }
        const long written_keys = std::count(written.begin(), written.end(), true);
        EXPECT_EQ(fresh, written_keys);

        // Each key holds the last value some thread bound to it.
        long entries = 0;
        for (auto it = map.iter(); it.next();) ++entries;
        EXPECT_EQ(entries, written_keys);
        for (int k = 0; k < kKeys; ++k) {
            const auto hit = map.find(key_name(k));
            ASSERT_EQ(hit.has_value(), bool(written[k])) << k;
            if (!hit) continue;
            const std::int64_t v = int_of(hit->value());
            bool is_a_last_write = false;
            for (const auto& log : logs) is_a_last_write = is_a_last_write || log.last_write[k] == v;
            EXPECT_TRUE(is_a_last_write) << "key " << k << " holds a stale or foreign value";
        }

        // References: ours plus one for each stored value, nothing else.
        long stored = 0;
        for (const auto& log : logs) {
            for (const ValueRef& v : log.created) {
                const auto count = inspect::use_count(v);
                EXPECT_TRUE(count == 1 || count == 2) << count;
                stored += static_cast<long>(count) - 1;
            }
        }
        EXPECT_EQ(stored, written_keys);
    }
    for (const auto& log : logs) {
        for (const ValueRef& v : log.created) ASSERT_EQ(inspect::use_count(v), 1u) << "the store leaked a reference";
    }
}

}  // namespace
}  // namespace velk
