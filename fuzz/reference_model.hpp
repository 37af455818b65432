// A second, deliberately plain interpreter of the language that the fuzz
// target runs beside the core: direct recursion, values copied, a std::map
// for the variables. Whatever the core does differently is a finding.
//
// It only reads the trees it is given, like the core.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace velk::fuzz {

// True when both values are of the same kind with the same content; floats
// must match bit for bit (NaN payload and sign included).
bool same_value(const Value& a, const Value& b) noexcept;

class ReferenceModel {
public:
    // Joined texts longer than this end the model's run: the fuzz target
    // then skips the program instead of running out of memory on it.
    static constexpr std::size_t kMaxTextBytes = std::size_t{1} << 16;

    struct Outcome {
        enum class Kind { Completed, Failed, TooLarge } kind;  // how the run ended
        std::string message;  // the language's failure message when Failed
        std::optional<Identifier> missing;  // the unbound identifier of a failed lookup
    };

    // Runs `program` against the model's variables.
    Outcome run(const StatementList& program);

    // The value bound to `id`, or null when unbound.
    const Value* find(const Identifier& id) const;

    // Every binding, in no particular order.
    template <class F>
    void for_each(F f) const {
        for (const auto& [key, entry] : vars_) f(entry.first, entry.second);
    }
    std::size_t size() const noexcept { return vars_.size(); }

    // Set once two NaNs of different bits met in float arithmetic: which of
    // them the floating-point unit passes on depends on operand order in
    // the machine code, so from then on the model cannot predict values.
    bool uncertain() const noexcept { return uncertain_; }

private:
    // Identifier kind (false U, true S) and payload, ordered.
    using Key = std::pair<bool, std::string>;
    static Key key_of(const Identifier& id);

    Value eval(const Expr& e);
    // `left > right` (greater) or `left < right`.
    Value ordered(const Expr& left, const Expr& right, bool greater);
    Value arithmetic(BinaryOperator op, const Number& l, const Number& r);
    void exec(const StatementList& list);

    std::map<Key, std::pair<Identifier, Value>> vars_;  // the model's store
    bool uncertain_ = false;                            // see uncertain()
};

}  // namespace velk::fuzz
