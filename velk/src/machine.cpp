// Variable lookup and the machine's debug text.
#include "velk/machine.hpp"

#include "velk/debug_text.hpp"
#include "velk/eval_error.hpp"

namespace velk {

ValueRef Machine::get(const Identifier& id) const {
    if (auto guard = vars._get(id)) return guard->value();
    // The shard's lock is already released here: a failed lookup leaves
    // the machine fully usable.
    throw EvalError("Value cannot be found: " + velk::debug_text(id), {kCoreSourceFile, 234, 30});
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
