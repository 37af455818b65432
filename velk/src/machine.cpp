// Variable lookup and the machine's debug text.
#include "velk/machine.hpp"

#include "velk/debug_text.hpp"
#include "failures.hpp"

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
[[gnu::flatten]] const Value& Machine::read_unpacked(const Identifier& id, const LookupMemo& memo, Value& copy,
                                                     ValueRef& held) const {
    if (!vars_.read(id, memo, copy, held)) not_found(id);
    return held ? *held : copy;
}

namespace {

// Charges the text one binding adds to a machine's count, or refuses the
// binding when the count would pass max_bytes. Asked under the shard's write
// lock, so `replaced` is the value the binding gives back; the count itself
// is shared by all shards and moves by compare-and-swap.
class TextCharge final : public ShardedMap::Admission {
public:
    TextCharge(std::atomic<std::uint64_t>& bytes, std::uint64_t max_bytes, std::uint64_t added) noexcept
        : bytes_(bytes), max_bytes_(max_bytes), added_(added) {}

    void admit(const Value* replaced) override {
        const std::uint64_t removed = replaced != nullptr ? text_size(*replaced) : 0;
        // Wrapping arithmetic: a shrinking binding subtracts, and is always
        // allowed.
        change_ = added_ - removed;
        if (added_ > removed) {
            std::uint64_t total = bytes_.load(std::memory_order_relaxed);
            do {
                if (total > max_bytes_ || change_ > max_bytes_ - total) {
                    change_ = 0;
                    raise(failures::kBytesLimit, std::to_string(max_bytes_));
                }
            } while (!bytes_.compare_exchange_weak(total, total + change_, std::memory_order_relaxed));
        } else if (change_ != 0) {
            bytes_.fetch_add(change_, std::memory_order_relaxed);
        }
    }

    // The binding failed after it was admitted (its store ran out of
    // memory): nothing changed hands.
    void give_back() noexcept {
        bytes_.fetch_sub(change_, std::memory_order_relaxed);
        change_ = 0;
    }

private:
    std::atomic<std::uint64_t>& bytes_;
    const std::uint64_t max_bytes_;
    const std::uint64_t added_;   // by the bound value
    std::uint64_t change_ = 0;    // applied to the count so far
};

}  // namespace

std::optional<ValueRef> Machine::bind_counted(VarKey key, ValueRef value) const {
    TextCharge charge(text_bytes_, limits_.max_bytes, text_size(*value));
    try {
        return vars_.bind(key.id, key.memo, std::move(value), &charge);
    } catch (...) {
        charge.give_back();
        throw;
    }
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
