// The poll that lets a run see signals, for every run the module starts
// (Velk.run, Program.evaluate).
#pragma once

#include <Python.h>

#include "fault_boundary.hpp"
#include "velk/poll.hpp"

namespace zarn {

// Every few thousand steps a run lets Python run the handlers of the
// signals that came, and a handler that raises stops it with that
// exception. Python runs handlers only in the main thread of the main
// interpreter (PyErr_CheckSignals does nothing elsewhere), so a run in a
// subinterpreter is not polled at all.
inline velk::Poll signal_poll() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return {};
    return {[](void*) {
                if (PyErr_CheckSignals() < 0) throw PythonErrorPending{};
            },
            nullptr};
}

}  // namespace zarn
