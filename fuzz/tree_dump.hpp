// An exact, unambiguous serialisation of a statement list, for checking that
// a clone equals its source and stays unchanged while the source runs.
// Floats are written by their bits, texts with their length, so two lists
// dump alike exactly when they are structurally identical.
#pragma once

#include <string>

#include "velk/tree.hpp"

namespace velk::fuzz {

std::string dump(const StatementList& list);

}  // namespace velk::fuzz
