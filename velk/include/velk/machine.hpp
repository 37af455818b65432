// The machine: the whole run-time state of the language, one variable store.
#pragma once

#include <string>

#include "velk/hash_memo.hpp"
#include "velk/sharded_map.hpp"
#include "velk/value.hpp"

namespace velk {

class Machine {
public:
    // An empty store with the default shard count and a fresh hash key.
    Machine() = default;

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

    // "Machine { vars: {K: V, ...} }" in the store's iteration order.
    std::string debug_text() const;

    // Every variable of this machine, one flat space. Mutable because the
    // store locks internally: running a program needs only shared access.
    mutable ShardedMap vars;
};

}  // namespace velk
