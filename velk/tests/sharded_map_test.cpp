// ShardedMap: creation, shard choice, lookup and binding, growth,
// iteration and the per-thread keys; the shard table's load limit; the
// shard count and the cgroup quota parsing behind it.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cpu_quota.hpp"
#include "parking_lot.hpp"
#include "shard_table.hpp"
#include "inspect.hpp"
#include "velk/eval_error.hpp"
#include "velk/sharded_map.hpp"
#include "wait_until.hpp"

namespace velk {
namespace {

using test::wait_until;
constexpr std::size_t W = sizeof(std::size_t) * CHAR_BIT;
constexpr SipKey kKey{0x9e3779b97f4a7c15ULL, 0xbf58476d1ce4e5b9ULL};

ValueRef int_value(std::int64_t i) { return ValueRef::make(Value::number(Number::from_int(i))); }

std::int64_t int_of(const ValueRef& v) { return v->as_number().as_int(); }

// Half numbers, half texts, none equal.
Identifier nth_key(int i) {
    return i % 2 == 0 ? Identifier::u(static_cast<std::uint32_t>(i)) : Identifier::s("var_" + std::to_string(i));
}

TEST(ShardCount, FourPerProcessorRoundedUpToAPowerOfTwo) {
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 4}, {1, 4}, {2, 8}, {3, 16}, {6, 32}, {8, 32}, {12, 64}, {16, 64}, {17, 128},
        {std::size_t(1) << (W - 3), std::size_t(1) << (W - 1)},
        {SIZE_MAX, std::size_t(1) << (W - 1)},
    };
    for (auto [processors, shards] : cases) EXPECT_EQ(shard_count_for(processors), shards) << processors;
}

TEST(ShardCount, DefaultIsFixedAndUsable) {
    const std::size_t shards = default_shard_count();
    EXPECT_EQ(shards, shard_count_for(shards / 4)) << "not of the form shard_count_for(p)";
    std::size_t other_thread = 0;
    std::thread([&] { other_thread = default_shard_count(); }).join();
    EXPECT_EQ(other_thread, shards);
    EXPECT_LE(shards, shard_count_for(std::max(1u, std::thread::hardware_concurrency())));
    EXPECT_EQ(ShardedMap().shard_count(), shards);
}

TEST(ShardCount, TrailingZeroBitsAreTheLog2OfAPowerOfTwo) {
    EXPECT_EQ(trailing_zero_bits(0), W);
    EXPECT_EQ(trailing_zero_bits(1), 0u);
    EXPECT_EQ(trailing_zero_bits(32), 5u);
    EXPECT_EQ(trailing_zero_bits(12), 2u);
    EXPECT_EQ(trailing_zero_bits(std::size_t(1) << (W - 1)), W - 1);
}

TEST(CpuQuota, CgroupV1) {
    using cpu_quota::from_cgroup_v1;
    EXPECT_EQ(from_cgroup_v1("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(from_cgroup_v1("400000\n", "100000\n"), 4u);
    EXPECT_EQ(from_cgroup_v1("150000", "100000"), 1u);  // rounded down
    EXPECT_EQ(from_cgroup_v1("50000", "100000"), 1u);   // at least 1
    EXPECT_EQ(from_cgroup_v1("", "100000"), std::nullopt);
    EXPECT_EQ(from_cgroup_v1("12x", "100000"), std::nullopt);
    EXPECT_EQ(from_cgroup_v1("100000", "0"), std::nullopt);
}

TEST(CpuQuota, CgroupV2) {
    using cpu_quota::from_cgroup_v2;
    EXPECT_EQ(from_cgroup_v2("max 100000\n"), std::nullopt);
    EXPECT_EQ(from_cgroup_v2("max"), std::nullopt);
    EXPECT_EQ(from_cgroup_v2("200000 100000\n"), 2u);
    EXPECT_EQ(from_cgroup_v2("250000 100000"), 2u);
    EXPECT_EQ(from_cgroup_v2("50000 100000"), 1u);
    EXPECT_EQ(from_cgroup_v2("300000"), 3u);  // the period defaults to 100000
    EXPECT_EQ(from_cgroup_v2("lots 100000"), std::nullopt);
    EXPECT_EQ(from_cgroup_v2(""), std::nullopt);
}

TEST(CpuQuota, Limit) {
    EXPECT_EQ(cpu_quota::limit(8, 2), 2u);
    EXPECT_EQ(cpu_quota::limit(2, 8), 2u);
    EXPECT_EQ(cpu_quota::limit(6, std::nullopt), 6u);
    EXPECT_EQ(cpu_quota::limit(0, std::nullopt), 1u);
}

TEST(CpuQuota, FindsTheControllerDirectories) {
    const std::string v1_mounts =
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
    auto dirs = cpu_quota::find_cgroup_dirs("4:memory:/a\n2:cpu,cpuacct:/docker/abc\n", v1_mounts);
    EXPECT_EQ(dirs.v1, "/sys/fs/cgroup/cpu,cpuacct/docker/abc");
    EXPECT_EQ(dirs.v2, std::nullopt);

    // A container's view: the mount's root is the container's own cgroup.
    const std::string nested = "40 31 0:29 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";
    dirs = cpu_quota::find_cgroup_dirs("2:cpu:/docker/abc/worker\n", nested);
    EXPECT_EQ(dirs.v1, "/sys/fs/cgroup/cpu/worker");

    const std::string v2_mounts = "29 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
    dirs = cpu_quota::find_cgroup_dirs("0::/user.slice/session-1.scope\n", v2_mounts);
    EXPECT_EQ(dirs.v2, "/sys/fs/cgroup/user.slice/session-1.scope");
    EXPECT_EQ(dirs.v1, std::nullopt);
    dirs = cpu_quota::find_cgroup_dirs("0::/\n", v2_mounts);
    EXPECT_EQ(dirs.v2, "/sys/fs/cgroup");

    // Escaped blanks in a mount point.
    const std::string escaped = "29 23 0:26 / /mnt/my\\040cgroup rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(cpu_quota::find_cgroup_dirs("0::/x\n", escaped).v2, "/mnt/my cgroup/x");

    // No cpu controller anywhere.
    dirs = cpu_quota::find_cgroup_dirs("4:memory:/a\n", v1_mounts);
    EXPECT_EQ(dirs.v1, std::nullopt);
    EXPECT_EQ(dirs.v2, std::nullopt);
}

TEST(ShardedMap, CreationChecks) {
    const std::pair<std::size_t, const char*> bad[] = {
        {0, "assertion failed: shard_amount > 1"},
        {1, "assertion failed: shard_amount > 1"},
        {3, "assertion failed: shard_amount.is_power_of_two()"},
        {12, "assertion failed: shard_amount.is_power_of_two()"},
    };
    for (auto [shards, message] : bad) {
        try {
            ShardedMap map(shards, kKey);
            ADD_FAILURE() << shards << " shards accepted";
        } catch (const EvalError& e) {
            EXPECT_EQ(e.message(), message);
        }
    }
    for (std::size_t shards : {2u, 4u, 64u}) EXPECT_EQ(ShardedMap(shards, kKey).shard_count(), shards);
}

TEST(ShardedMap, ShardIndexTakesTheBitsBelowTheTag) {
    const ShardedMap map(32, kKey);  // five index bits: W-12 .. W-8
    const auto bit = [](std::size_t i) { return std::uint64_t(1) << i; };
    EXPECT_EQ(map.shard_index(bit(W - 8)), 16u);
    EXPECT_EQ(map.shard_index(bit(W - 12)), 1u);
    EXPECT_EQ(map.shard_index(bit(W - 13)), 0u);  // below the index bits
    EXPECT_EQ(map.shard_index(bit(W - 7)), 0u);   // a tag bit
    EXPECT_EQ(map.shard_index(~std::uint64_t(0)), 31u);
}

TEST(ShardedMap, StoresOnOneThreadGetConsecutiveKeys) {
    const ShardedMap first;
    const ShardedMap second;
    EXPECT_EQ(second.hasher().k0, first.hasher().k0 + 1);
    EXPECT_EQ(second.hasher().k1, first.hasher().k1);
    SipKey elsewhere{};
    std::thread([&] { elsewhere = ShardedMap().hasher(); }).join();
    EXPECT_NE(elsewhere.k1, first.hasher().k1) << "another thread drew the same random key";
}

TEST(ShardedMap, InsertReplaceGet) {
    ShardedMap map(4, kKey);
    const Identifier x = Identifier::s("x");
    EXPECT_FALSE(map.find(x).has_value());

    const ValueRef first = int_value(1);
    EXPECT_FALSE(map.insert(x, first).has_value());
    EXPECT_EQ(inspect::use_count(first), 2u);
    {
        const auto hit = map.find(x);
        ASSERT_TRUE(hit.has_value());
        EXPECT_EQ(inspect::identity(hit->value()), inspect::identity(first)) << "a lookup must not copy the value";
        EXPECT_EQ(hit->key(), x);
    }

    const ValueRef second = int_value(2);
    const std::optional<ValueRef> previous = map.insert(x, second);
    ASSERT_TRUE(previous.has_value());
    EXPECT_EQ(inspect::identity(*previous), inspect::identity(first));
    EXPECT_EQ(inspect::identity(map.find(x)->value()), inspect::identity(second));

    std::size_t entries = 0;
    for (auto it = map.iter(); it.next();) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(ShardedMap, NumberAndTextWithTheSameDigitsAreDistinct) {
    ShardedMap map(2, kKey);
    map.insert(Identifier::s("1"), int_value(10));
    EXPECT_FALSE(map.find(Identifier::u(1)).has_value());
    map.insert(Identifier::u(1), int_value(20));
    EXPECT_EQ(int_of(map.find(Identifier::s("1"))->value()), 10);
    EXPECT_EQ(int_of(map.find(Identifier::u(1))->value()), 20);
}

TEST(ShardedMap, LocksAreReleased) {
    ShardedMap map(2, kKey);
    const Identifier k = Identifier::u(7);
    std::atomic<bool> inserted{false};
    // A miss must leave no lock behind: the insert would wait for it forever.
    EXPECT_FALSE(map.find(k).has_value());
    std::thread([&] {
        map.insert(k, int_value(1));
        inserted = true;
    }).join();
    EXPECT_TRUE(inserted);

    // A hit holds the shard until the guard goes.
    inserted = false;
    std::optional<ShardedMap::ReadGuard> guard = map.find(k);
    ASSERT_TRUE(guard.has_value());
    std::thread writer([&] {
        map.insert(k, int_value(2));
        inserted = true;
    });
    // The writer asleep on the shard's lock, not merely late.
    ASSERT_TRUE(wait_until([] { return parking::parked_total() == 1; }));
    EXPECT_FALSE(inserted) << "a binding went through under a read guard";
    EXPECT_EQ(int_of(guard->value()), 1);
    guard.reset();
    EXPECT_TRUE(wait_until([&] { return inserted.load(); }));
    writer.join();
    EXPECT_EQ(int_of(map.find(k)->value()), 2);
}

TEST(ShardedMap, ManyReadersHoldOneKeyAtOnce) {
    ShardedMap map(4, kKey);
    const Identifier k = Identifier::s("shared");
    map.insert(k, int_value(5));
    constexpr int kReaders = 6;
    std::atomic<int> holding{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&] {
            const auto guard = map.find(k);
            ++holding;
            while (!release) std::this_thread::yield();
            EXPECT_EQ(int_of(guard->value()), 5);
        });
    }
    EXPECT_TRUE(wait_until([&] { return holding == kReaders; })) << "readers waited for each other";
    release = true;
    for (auto& t : readers) t.join();
}

TEST(ShardedMap, GrowthKeepsEveryEntry) {
    ShardedMap map(4, kKey);
    constexpr int kKeys = 5000;
    for (int i = 0; i < kKeys; ++i) ASSERT_FALSE(map.insert(nth_key(i), int_value(i)).has_value()) << i;
    for (int i = 0; i < kKeys; ++i) {
        const auto hit = map.find(nth_key(i));
        ASSERT_TRUE(hit.has_value()) << i;
        EXPECT_EQ(int_of(hit->value()), i);
    }
    for (int i = 0; i < kKeys; ++i) {
        const auto previous = map.insert(nth_key(i), int_value(-i));
        ASSERT_TRUE(previous.has_value()) << i;
        EXPECT_EQ(int_of(*previous), i);
    }
    EXPECT_FALSE(map.find(nth_key(kKeys)).has_value());
    EXPECT_FALSE(map.find(Identifier::s("var_0")).has_value());
}

TEST(ShardedMap, IterationVisitsEveryEntryOnceInShardOrder) {
    ShardedMap map(8, kKey);
    {
        auto empty = map.iter();
        EXPECT_FALSE(empty.next().has_value());
    }
    constexpr int kKeys = 1000;
    for (int i = 0; i < kKeys; ++i) map.insert(nth_key(i), int_value(i));

    std::map<std::int64_t, int> seen;  // value -> visits
    std::size_t last_shard = 0;
    auto it = map.iter();
    while (auto view = it.next()) {
        const std::int64_t v = int_of(view->value());
        ++seen[v];
        EXPECT_EQ(view->key(), nth_key(static_cast<int>(v)));
        const std::size_t shard = map.shard_index(hash_identifier(map.hasher(), view->key()));
        EXPECT_GE(shard, last_shard) << "shards visited out of order";
        last_shard = shard;
    }
    EXPECT_FALSE(it.next().has_value());
    ASSERT_EQ(seen.size(), std::size_t(kKeys));
    for (const auto& [v, visits] : seen) EXPECT_EQ(visits, 1) << v;
}

TEST(ShardedMap, IterationReleasesItsLocks) {
    ShardedMap map(4, kKey);
    for (int i = 0; i < 100; ++i) map.insert(nth_key(i), int_value(i));
    std::optional<ShardedMap::EntryView> kept;
    {
        auto it = map.iter();
        kept = it.next();
        while (it.next()) {
        }
    }
    // The kept view still read-locks its shard; every other shard is free.
    std::atomic<bool> inserted{false};
    const Identifier blocked = kept->key();
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i) map.insert(nth_key(i), int_value(i + 1000));  // some hit every shard
        inserted = true;
    });
    ASSERT_TRUE(wait_until([] { return parking::parked_total() == 1; })) << "the kept view's shard was not locked";
    EXPECT_FALSE(inserted);
    kept.reset();
    EXPECT_TRUE(wait_until([&] { return inserted.load(); }));
    writer.join();
    EXPECT_GE(int_of(map.find(blocked)->value()), 1000);
}

TEST(ShardedMap, ReferencesBalance) {
    std::vector<ValueRef> values;
    for (int i = 0; i < 200; ++i) values.push_back(int_value(i));
    {
        ShardedMap map(2, kKey);
        for (int i = 0; i < 200; ++i) map.insert(nth_key(i), values[i]);
        for (const auto& v : values) EXPECT_EQ(inspect::use_count(v), 2u);
        for (int i = 0; i < 100; ++i) {
            // The replaced reference comes back to us, not dropped.
            const auto previous = map.insert(nth_key(i), values[199 - i]);
            EXPECT_EQ(inspect::use_count(*previous), 2u);
        }
        EXPECT_EQ(inspect::use_count(values[0]), 1u);
        EXPECT_EQ(inspect::use_count(values[199]), 3u);
    }
    for (const auto& v : values) EXPECT_EQ(inspect::use_count(v), 1u) << "the map kept or lost a reference";
}

TEST(ShardTable, LoadLimitAndGrowthSteps) {
    detail::ShardTable table;
    EXPECT_EQ(table.capacity(), 0u);
    for (int n = 1; n <= 3000; ++n) {
        Identifier key = nth_key(n);
        const std::size_t hash = static_cast<std::size_t>(hash_identifier(kKey, key));
        table.insert(std::move(key), int_value(n), hash, kKey);
        std::size_t expected = 4;
        while (detail::max_load(expected) < std::size_t(n)) expected *= 2;
        ASSERT_EQ(table.capacity(), expected) << n << " entries";
        ASSERT_EQ(table.size(), std::size_t(n));
    }
}

// Clearing and destruction walk the occupied slots a group of control bytes
// at a time: every stored value is released exactly once, whether its table
// is smaller than a group, one group or several (names bare, then through
// a never-remembering memo, as zarn_runtime.bind binds them).
TEST(ShardedMapRelease, ReleasesEveryValueOnceAtEveryTableSize) {
    using inspect::identity;
    using inspect::use_count;
    for (const std::size_t names : std::vector<std::size_t>{1, 3, 7, 14, 15, 16, 17, 40, 130, 1000}) {
        std::vector<ValueRef> held;
        {
            ShardedMap map(2, kKey, Access::Exclusive);
            for (int round = 0; round < 2; ++round) {
                held.clear();
                for (std::size_t i = 0; i < names; ++i) {
                    held.push_back(int_value(static_cast<std::int64_t>(i)));
                    const Identifier id = Identifier::s("n" + std::to_string(i));
                    if (i % 2 == 0) {
                        EXPECT_FALSE(map.insert(id, held.back()).has_value());
                    } else {
                        EXPECT_FALSE(map.bind(id, kNoMemo, held.back()).has_value());
                    }
                }
                for (const ValueRef& v : held) ASSERT_EQ(use_count(v), 2u) << names;
                map.clear();  // keeps up to 64 names a shard, empties a shard of more
                for (const ValueRef& v : held) ASSERT_EQ(use_count(v), 1u) << names;
            }
            // Bound again after the clear: the destruction releases them.
            for (std::size_t i = 0; i < names; ++i) {
                const auto previous = map.bind(Identifier::s("n" + std::to_string(i)), kNoMemo, held[i]);
                EXPECT_FALSE(previous.has_value()) << names << " " << i;
            }
            // A rebinding hands the value it replaces back.
            const auto previous = map.bind(Identifier::s("n0"), kNoMemo, int_value(-1));
            ASSERT_TRUE(previous.has_value());
            EXPECT_EQ(identity(*previous), identity(held[0]));
        }
        for (std::size_t i = 1; i < names; ++i) ASSERT_EQ(use_count(held[i]), 1u) << names << " " << i;
        EXPECT_EQ(use_count(held[0]), 1u);
    }
}

// An exclusive map keeps the hashes of the last names it hashed: whatever
// it recalls is the hash under its key, and every lookup finds its name,
// with names coming back after others pushed them out and long names that
// are never kept among them.
TEST(ShardedMapRecentHashes, GiveTheHashUnderTheMapsKey) {
    for (const Access access : {Access::Exclusive, Access::Shared}) {
        ShardedMap map(4, kKey, access);
        std::vector<Identifier> names;
        for (int i = 0; i < 24; ++i) {
            names.push_back(i % 5 == 4 ? Identifier::s("a name too long to be kept " + std::to_string(i))
                                       : i % 3 == 0 ? Identifier::u(static_cast<std::uint32_t>(i))
                                                    : Identifier::s("n" + std::to_string(i)));
        }
        // Rounds over ever more names, each round binding and reading them
        // twice, in turns that push the kept ones out and bring them back.
        for (std::size_t round = 1; round <= names.size(); ++round) {
            for (int pass = 0; pass < 2; ++pass) {
                for (std::size_t i = 0; i < round; ++i) {
                    const Identifier& id = names[(i * 7 + round) % round];
                    const std::uint64_t hash = hash_identifier(kKey, id);
                    ASSERT_EQ(map.hash_of(id, kNoMemo), hash);
                    EXPECT_EQ(map.shard_index(map.hash_of(id, kNoMemo)), map.shard_index(hash));
                    (void)map.bind(id, kNoMemo, int_value(static_cast<std::int64_t>(i)));
                    ASSERT_TRUE(map.find(id).has_value());
                }
            }
        }
        std::size_t seen = 0;
        for (auto it = map.iter(); auto entry = it.next();) ++seen;
        EXPECT_EQ(seen, names.size());
    }
}

}  // namespace
}  // namespace velk
