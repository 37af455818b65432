// The machine: the whole run-time state of the language, one variable store.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "velk/limits.hpp"
#include "velk/sharded_map.hpp"
#include "velk/value.hpp"
#include "velk/var_key.hpp"

namespace velk {

// Every read and binding of a variable goes through the machine: the store
// is its own. The store locks internally (velk/sharded_map.hpp, Access), so
// a `const Machine&` binds variables as well as reads them: running a
// program needs only shared access, and threads may run on one machine at
// once. Keys are VarKeys; a tree's keys remember their hash and entry in
// their memos, which reads and bindings update.
class Machine {
public:
    // An empty store with the default shard count and a fresh hash key;
    // shared by any threads unless the caller vouches for one user at a
    // time.
    explicit Machine(Access access = Access::Shared) : vars_(access) {}

    // One more reference to the value bound to `key` (never a copy). Throws
    // EvalError failures::kNotFound (velk/src/failures.hpp).
    ValueRef get(VarKey key) const;

    // The value bound to `key`, for an evaluation that only reads it: a
    // string is held by one more reference, kept in `held`; any other value
    // is copied into `copy` while the shard is read-locked, which spares the
    // shared count two atomic updates. Fails like get().
    const Value& read(VarKey key, Value& copy, ValueRef& held) const {
        return read_unpacked(key.id, key.memo, copy, held);
    }

    // read() for a name that may be unbound: false, with nothing thrown,
    // when it is.
    bool try_read(VarKey key, Value& copy, ValueRef& held) const {
        return vars_.read(key.id, key.memo, copy, held);
    }

    // Binds `key` to `value` and hands back the value it replaces, to be
    // dropped by the caller once the store's lock is gone. A new variable's
    // name is copied into the store: the key's identifier stays with its
    // owner. Under max_bytes, a binding that would raise the bytes of text
    // the variables hold beyond it throws EvalError failures::kBytesLimit
    // and binds nothing; the count is exact with threads binding at once.
    std::optional<ValueRef> bind(VarKey key, ValueRef value) const {
        if (limits_.max_bytes == Limits::kUnlimited) [[likely]] {
            return vars_.bind(key.id, key.memo, std::move(value));
        }
        return bind_counted(key, std::move(value));
    }

    const Limits& limits() const noexcept { return limits_; }
    // Not while a run is going on on another thread. Setting max_bytes
    // counts the text the variables hold already.
    void set_limits(const Limits& limits);
    // Bytes of text the variables hold, as counted while max_bytes is set.
    std::uint64_t text_bytes() const noexcept { return text_bytes_.load(std::memory_order_relaxed); }

    // Empty again, as if new, but keeping the store's number, hash key and
    // the entries of the names it has met (ShardedMap::clear), so the memos
    // of a tree run on it again stay good: a machine reused from run to run
    // neither hashes nor looks up the names it has met. Not while any other
    // operation runs on the machine.
    void reset() noexcept {
        vars_.clear();
        text_bytes_.store(0, std::memory_order_relaxed);
    }

    // Calls visit(name, value) for every variable in the store's order
    // (velk/sharded_map.hpp, Iter). The variable's shard is read-locked
    // meanwhile: `visit` must not bind on this machine.
    template <class Visit>
    void each_variable(Visit&& visit) const {
        auto it = vars_.iter();
        while (auto entry = it.next()) visit(entry->key(), *entry->value());
    }

    // The shard `key` falls in: whether two names contend for one lock.
    std::size_t shard_of(VarKey key) const noexcept {
        return vars_.shard_index(vars_.hash_of(key.id, key.memo));
    }

    // "Machine { vars: {K: V, ...} }" in the store's iteration order.
    std::string debug_text() const;

private:
    // bind() under max_bytes: the text is counted in the binding's lookup.
    std::optional<ValueRef> bind_counted(VarKey key, ValueRef value) const;

    // read() with the key taken apart before the call: a key passed whole
    // into the flattened read reached the evaluator's loop as two more
    // stack slots.
    const Value& read_unpacked(const Identifier& id, const LookupMemo& memo, Value& copy, ValueRef& held) const;

    // Every variable of this machine, one flat space. Mutable because the
    // store locks internally: binding through a const machine is sound.
    mutable ShardedMap vars_;
    Limits limits_;                                     // unlimited until set
    mutable std::atomic<std::uint64_t> text_bytes_{0};  // counted only under max_bytes
};

}  // namespace velk
