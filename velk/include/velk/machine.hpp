// The machine: the whole run-time state of the language, one variable store.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "velk/hash_memo.hpp"
#include "velk/limits.hpp"
#include "velk/sharded_map.hpp"
#include "velk/value.hpp"

namespace velk {

class Machine {
public:
    // An empty store with the default shard count and a fresh hash key;
    // shared by any threads unless the caller vouches for one user at a
    // time (velk/sharded_map.hpp, Access).
    explicit Machine(Access access = Access::Shared) : vars(access) {}

    // One more reference to the value bound to `id` (never a copy). Throws
    // EvalError failures::kNotFound (velk/failures.hpp).
    ValueRef get(const Identifier& id) const;
    // The same for an identifier of a tree, whose hash `memo` remembers.
    ValueRef get(const Identifier& id, const HashMemo& memo) const;

    // The value bound to `id`, for an evaluation that only reads it: a
    // string is held by one more reference, kept in `held`; any other value
    // is copied into `copy` while the shard is read-locked, which spares the
    // shared count two atomic updates. Fails like get().
    const Value& read(const Identifier& id, Value& copy, ValueRef& held) const;
    const Value& read(const Identifier& id, const HashMemo& memo, Value& copy, ValueRef& held) const;

    // Binds `id` (a tree's identifier, whose hash `memo` remembers) to
    // `value` and hands back the value it replaces, to be dropped by the
    // caller once the store's lock is gone.
    std::optional<ValueRef> bind(const Identifier& id, const HashMemo& memo, ValueRef value) const {
        return vars.bind(id, memo, std::move(value));
    }
    // The same for a name that the store takes over (not a tree's).
    std::optional<ValueRef> bind(Identifier id, ValueRef value) const {
        return vars._insert(std::move(id), std::move(value));
    }
    // The same under max_bytes: a binding that would raise the bytes of text
    // the variables hold beyond it throws EvalError failures::kBytesLimit and
    // binds nothing. Exact when one thread binds at a time; threads binding
    // at once may together pass the bound by what each binds.
    std::optional<ValueRef> bind_within_limits(const Identifier& id, const HashMemo& memo, ValueRef value) const;

    const Limits& limits() const noexcept { return limits_; }
    // Not while a run is going on on another thread. Setting max_bytes
    // counts the text the variables hold already.
    void set_limits(const Limits& limits);
    // Bytes of text the variables hold, as counted while max_bytes is set.
    std::uint64_t text_bytes() const noexcept { return text_bytes_.load(std::memory_order_relaxed); }

    // "Machine { vars: {K: V, ...} }" in the store's iteration order.
    std::string debug_text() const;

    // Every variable of this machine, one flat space. Mutable because the
    // store locks internally: running a program needs only shared access.
    mutable ShardedMap vars;

private:
    Limits limits_;                                     // unlimited until set
    mutable std::atomic<std::uint64_t> text_bytes_{0};  // counted only under max_bytes
};

}  // namespace velk
