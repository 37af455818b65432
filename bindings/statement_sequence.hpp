// A Python sequence of Statement objects, the one conversion behind every
// parameter that takes a statement list (Velk.run, Statement.if_).
#pragma once

#include "py_ref.hpp"

#include <optional>
#include <span>
#include <variant>

#include "velk/machine.hpp"
#include "velk/poll.hpp"
#include "velk/tree.hpp"

namespace zarn {

// The statement held by a Statement object (it lives as long as the
// object); null with the conversion error for "Statement" otherwise.
const velk::Statement* statement_of(PyObject* object);

// The statements of any sequence other than str, every item checked (in
// order) to be a Statement before any is used: the items of an exact list or
// tuple are read by index, those of any other sequence by iterating it once.
// The two functions differ only in what they keep.

// For a caller that uses the statements at once (Velk.run). An exact list or
// tuple stays where it is, its items borrowed: no Python code runs between
// the check and the run, nor in the run until its poll (a signal handler):
// from then on the run reads the list afresh (below). The statements of any other sequence are
// gathered (shared), which keeps them alive however the sequence made them.
class StatementSequence {
public:
    // Nothing, with the conversion error pending, when the object is not such
    // a sequence or an item is not a Statement (the first one, in order).
    static std::optional<StatementSequence> extract(PyObject* object);

    // Runs the statements in order as one run, where they lie. Throws
    // EvalError as velk::run does, and whatever `poll` throws. The poll may
    // run Python code, which may change a list: the statement being run
    // stays alive, and the run goes on with the list as it is then, or stops
    // with RuntimeError when its length changed (TypeError for an item that
    // is not a Statement), as PythonErrorPending.
    void run(const velk::Machine& machine, velk::Poll poll = {}) const;

private:
    // An exact list or tuple, borrowed: the caller holds it for the run.
    struct InPlace {
        PyObject* sequence;
    };

    explicit StatementSequence(InPlace items) noexcept : statements_(items) {}
    explicit StatementSequence(velk::StatementList gathered) noexcept : statements_(std::move(gathered)) {}

    std::variant<InPlace, velk::StatementList> statements_;
};

// For a builder that keeps the statements (Statement.if_): a list of their
// own (shared), the items of an exact list or tuple copied as they are checked.
std::optional<velk::StatementList> to_statement_list(PyObject* object);

}  // namespace zarn
