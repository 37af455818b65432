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
    if (!vars.read(id, vars.hash_of(id, memo), copy, held)) not_found(id);
    return held ? *held : copy;
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
