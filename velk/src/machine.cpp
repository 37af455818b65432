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

std::uint64_t text_size(const Value& v) noexcept { return v.is_string() ? v.as_string().size() : 0; }

}  // namespace

ValueRef Machine::get(VarKey key) const {
    if (auto guard = vars_.find(key.id, vars_.hash_of(key.id, key.memo))) return guard->value();
    not_found(key.id);
}

// Flattened: every operand read of a run comes here, and the store's read
// inlined into it saves a call and its register traffic per variable.
[[gnu::flatten]] const Value& Machine::read_unpacked(const Identifier& id, const HashMemo& memo, Value& copy,
                                                     ValueRef& held) const {
    if (!vars_.read(id, memo, copy, held)) not_found(id);
    return held ? *held : copy;
}

std::optional<ValueRef> Machine::bind_within_limits(VarKey key, ValueRef value) const {
    const std::uint64_t added = text_size(*value);
    if (added != 0) {
        // Only a growth can pass the bound: the text the variable holds now
        // is given back by the binding.
        std::uint64_t replaced = 0;
        Value copy;
        ValueRef held;
        if (vars_.read(key.id, key.memo, copy, held) && held) replaced = text_size(*held);
        if (added > replaced) {
            const std::uint64_t total = text_bytes();
            const std::uint64_t room = total >= limits_.max_bytes ? 0 : limits_.max_bytes - total;
            if (added - replaced > room) raise(failures::kBytesLimit, std::to_string(limits_.max_bytes));
        }
    }
    std::optional<ValueRef> previous = bind(key, std::move(value));
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
        std::uint64_t held = 0;
        each_variable([&](const Identifier&, const Value& value) { held += text_size(value); });
        text_bytes_.store(held, std::memory_order_relaxed);
    }
    limits_ = limits;
}

std::string Machine::debug_text() const {
    std::string out = "Machine { vars: {";
    bool first = true;
    each_variable([&](const Identifier& name, const Value& value) {
        if (!first) out += ", ";
        first = false;
        append_debug(out, name);
        out += ": ";
        append_debug(out, value);
    });
    out += "} }";
    return out;
}

}  // namespace velk
