// Variable lookup and the machine's debug text.
#include "velk/machine.hpp"

#include "velk/debug_text.hpp"
#include "velk/failures.hpp"

namespace velk {

namespace {

// The shard's lock is already released when this runs: a failed lookup
// leaves the machine fully usable.
[[noreturn]] void not_found(const Identifier& id) {
    raise(failures::kNotFound, velk::debug_text(id));
}

}  // namespace

ValueRef Machine::get(const Identifier& id) const {
    if (auto guard = vars._get(id)) return guard->value();
    not_found(id);
}

ValueRef Machine::get(const Identifier& id, const HashMemo& memo) const {
    if (auto guard = vars._get(id, vars.hash_of(id, memo))) return guard->value();
    not_found(id);
}

const Value& Machine::read(const Identifier& id, Value& copy, ValueRef& held) const {
    if (!vars.read(id, vars.hash_of(id), copy, held)) not_found(id);
    return held ? *held : copy;
}

// Flattened: every operand read of a run comes here, and the store's read
// inlined into it saves a call and its register traffic per variable.
[[gnu::flatten]] const Value& Machine::read(const Identifier& id, const HashMemo& memo, Value& copy,
                                            ValueRef& held) const {
    if (!vars.read(id, memo, copy, held)) not_found(id);
    return held ? *held : copy;
}

namespace {

std::uint64_t text_size(const Value& v) noexcept { return v.is_string() ? v.as_string().size() : 0; }

std::uint64_t text_held(const ShardedMap& vars) {
    std::uint64_t total = 0;
    auto it = vars.iter();
    while (auto entry = it.next()) total += text_size(*entry->value());
    return total;
}

}  // namespace

std::optional<ValueRef> Machine::bind_within_limits(const Identifier& id, const HashMemo& memo,
                                                    ValueRef value) const {
    const std::uint64_t added = text_size(*value);
    if (added != 0) {
        // Only a growth can pass the bound: the text the variable holds now
        // is given back by the binding.
        std::uint64_t replaced = 0;
        Value copy;
        ValueRef held;
        if (vars.read(id, memo, copy, held) && held) replaced = text_size(*held);
        if (added > replaced) {
            const std::uint64_t total = text_bytes();
            const std::uint64_t room = total >= limits_.max_bytes ? 0 : limits_.max_bytes - total;
            if (added - replaced > room) raise(failures::kBytesLimit, std::to_string(limits_.max_bytes));
        }
    }
    std::optional<ValueRef> previous = vars.bind(id, memo, std::move(value));
    const std::uint64_t removed = previous ? text_size(**previous) : 0;
    // Wrapping arithmetic: a shrinking binding subtracts. Most bindings
    // hold no text on either side and skip the atomic update.
    if (added != removed) text_bytes_.fetch_add(added - removed, std::memory_order_relaxed);
    return previous;
}

void Machine::set_limits(const Limits& limits) {
    if (limits.max_bytes == Limits::kUnlimited) {
        text_bytes_.store(0, std::memory_order_relaxed);
    } else if (limits_.max_bytes == Limits::kUnlimited) {
        text_bytes_.store(text_held(vars), std::memory_order_relaxed);
    }
    limits_ = limits;
}

std::string Machine::debug_text() const {
    std::string out = "Machine { vars: {";
    auto it = vars.iter();
    bool first = true;
    while (auto entry = it.next()) {
        if (!first) out += ", ";
        first = false;
        append_debug(out, entry->key());
        out += ": ";
        append_debug(out, *entry->value());
    }
    out += "} }";
    return out;
}

}  // namespace velk
