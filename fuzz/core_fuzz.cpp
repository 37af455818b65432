// libFuzzer target for the language core.
//
// Each input decodes into up to six runs of statements on ONE machine.
// Every run call is mirrored by a plain reference interpreter, and after
// each call the target checks: the failure (if any) is one of the language's
// messages, raised at its documented position, and the same failure the
// reference predicts; the machine's printed form is well-formed and lists
// exactly the bindings the reference holds; every bound identifier can be
// looked up and holds the predicted value. Some runs also execute deep
// copies (clone / clone_list) of their statements, which must equal the
// source and stay untouched while the source runs. Any violation traps.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "program_decoder.hpp"
#include "reference_model.hpp"
#include "text_checks.hpp"
#include "tree_dump.hpp"
#include "velk/debug_text.hpp"
#include "velk/eval.hpp"
#include "velk/eval_error.hpp"
#include "failures.hpp"
#include "velk/machine.hpp"

namespace velk::fuzz {
namespace {

[[noreturn]] void violation(std::string_view what, std::string_view detail) {
    std::fprintf(stderr, "core_fuzz: %.*s\n  %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(detail.size()), detail.data());
    __builtin_trap();
}

void check_failure(const EvalError& e) {
    const std::string& m = e.message();
    if (!is_language_message(m)) violation("not a language message", m);
    if (std::string_view(e.where().file) != kCoreSourceFile) violation("wrong source file", e.where().file);
    const bool placed = std::any_of(std::begin(failures::kLanguage), std::end(failures::kLanguage), [&](const Failure& f) {
        return m.starts_with(f.message) && e.where().line == f.where.line && e.where().column == f.where.column;
    });
    if (!placed) {
        violation("message raised at an unexpected position",
                  m + " @" + std::to_string(e.where().line) + ":" + std::to_string(e.where().column));
    }
}

// VELK_FUZZ_TRACE=1 prints every call's outcome and the machine after it,
// for reading what a reproducer does.
bool trace_enabled() {
    static const bool enabled = [] {
        const char* v = std::getenv("VELK_FUZZ_TRACE");
        return v != nullptr && *v != '\0' && *v != '0';
    }();
    return enabled;
}

// A lookup failure names the missing identifier; read back independently
// of the core's printer when its text prints losslessly.
void check_names(std::string_view message, const Identifier& missing) {
    if (missing.is_s() && !is_valid_utf8(missing.as_s())) return;
    const std::string_view prefix = failures::kNotFound.message;
    const std::optional<Identifier> named = read_identifier_form(message.substr(prefix.size()));
    if (!named || !(*named == missing)) violation("the failure does not name the missing identifier", message);
}

class Session {
public:
    // Executes one decoded run; false once the input cannot be followed
    // further (the reference lost track, or a text would grow too large).
    bool run(Run r) {
        StatementList before;
        if (r.flags.clone_statements_before) {
            for (const Statement& s : r.program) before.push_back(s.clone());
            if (dump(before) != dump(r.program)) violation("Statement::clone differs from its source", "");
        }
        std::optional<StatementList> after;
        std::string after_dump;
        if (r.flags.clone_list_after) {
            after = clone_list(r.program);
            after_dump = dump(*after);
            if (after_dump != dump(r.program)) violation("clone_list differs from its source", "");
        }
        const bool split = r.flags.one_call_per_statement;
        if (r.flags.clone_statements_before && !execute(std::move(before), split)) return false;
        if (!execute(std::move(r.program), split)) return false;
        if (after) {
            if (dump(*after) != after_dump) violation("a copy changed while its source ran", "");
            if (!execute(std::move(*after), split)) return false;
        }
        return true;
    }

private:
    bool execute(StatementList program, bool split) {
        if (!split) return call(std::move(program));
        for (Statement& s : program) {
            StatementList one;
            one.push_back(std::move(s));
            if (!call(std::move(one))) return false;
        }
        return true;
    }

    // One run call, mirrored by the reference.
    bool call(StatementList program) {
        const ReferenceModel::Outcome expected = model_.run(program);
        if (expected.kind == ReferenceModel::Outcome::Kind::TooLarge) return false;
        std::optional<std::string> failure;
        try {
            velk::run(machine_, std::move(program));
        } catch (const EvalError& e) {
            check_failure(e);
            failure = e.message();
        }
        if (trace_enabled()) {
            std::fprintf(stderr, "run: %s\n  %s\n", failure ? failure->c_str() : "(completed)",
                         machine_.debug_text().c_str());
        }
        const bool predictable = !model_.uncertain();
        if (predictable) {
            const bool expected_failure = expected.kind == ReferenceModel::Outcome::Kind::Failed;
            if (failure.has_value() != expected_failure || (failure && *failure != expected.message)) {
                violation("outcome differs from the reference",
                          "core: " + failure.value_or("(completed)") +
                              "\n  reference: " + (expected_failure ? expected.message : "(completed)"));
            }
            if (expected.missing) check_names(*failure, *expected.missing);
        }
        check_machine(predictable);
        return predictable;
    }

    void check_machine(bool predictable) {
        const std::string text = machine_.debug_text();
        MachineText printed = read_machine_text(text);
        if (!printed.problem.empty()) violation("malformed machine text: " + printed.problem, text);

        std::size_t iterated = 0;
        machine_.each_variable([&](const Identifier&, const Value&) { ++iterated; });
        if (iterated != printed.entries.size()) {
            violation("printed entries differ from iterated entries",
                      std::to_string(printed.entries.size()) + " vs " + std::to_string(iterated));
        }
        if (!predictable) return;

        if (printed.entries.size() != model_.size()) {
            violation("printed entries differ from the bindings made",
                      std::to_string(printed.entries.size()) + " vs " + std::to_string(model_.size()) + "\n  " + text);
        }
        std::vector<std::string> expected;
        expected.reserve(model_.size());
        model_.for_each([&](const Identifier& id, const Value& v) {
            std::optional<ValueRef> got;
            try {
                got = machine_.get(id);
            } catch (const EvalError& e) {
                violation("a bound identifier cannot be looked up", e.message());
            }
            if (!same_value(**got, v)) {
                violation("bound value differs from the reference", debug_text(id) + ": " + debug_text(**got) +
                                                                        " vs " + debug_text(v));
            }
            expected.push_back(debug_text(id) + ": " + debug_text(v));
            check_shows(expected.back(), id, v);
        });
        std::sort(expected.begin(), expected.end());
        std::sort(printed.entries.begin(), printed.entries.end());
        if (expected != printed.entries) violation("printed entries differ from the reference", text);
    }

    // Whether `entry` shows exactly this binding, read back independently of
    // the core's printer. Only texts that are valid UTF-8 print losslessly;
    // for others the check is skipped.
    static void check_shows(const std::string& entry, const Identifier& id, const Value& v) {
        if ((id.is_s() && !is_valid_utf8(id.as_s())) || (v.is_string() && !is_valid_utf8(v.as_string()))) return;
        const std::optional<Binding> b = read_binding(entry);
        if (!b || !(b->id == id)) violation("printed identifier does not read back", entry);
        const bool nan = v.is_number() && v.as_number().is_float() && std::isnan(v.as_number().as_float());
        const bool same = nan ? b->value.is_number() && b->value.as_number().is_float() &&
                                    std::isnan(b->value.as_number().as_float())
                              : same_value(b->value, v);
        if (!same) violation("printed value does not read back to the bound value", entry);
    }

    Machine machine_;        // the one machine all runs of the input share
    ReferenceModel model_;   // what the machine should hold
};

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velk::fuzz::Session session;
    for (velk::fuzz::Run& r : velk::fuzz::decode_input(data, size)) {
        if (!session.run(std::move(r))) break;
    }
    return 0;
}
