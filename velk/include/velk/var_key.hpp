// The key a machine's variables are read and bound by: an identifier with
// the memo of its hash and entry in the store.
//
// A tree's identifier node and `let` statement own both and hand out
// their key (Expr::Ident::key, Statement::Let::key); the memo then saves
// the hash, and often the search, on the next run over the same store. A
// name that is not a tree's, such as one from the embedding program, is
// keyed by itself alone: its memo is kNoMemo, which remembers nothing.
//
// A key refers to the two and owns neither: make it in the call that uses
// it, while the identifier it was made from is alive. Two references passed
// by value, so a call through a key costs what a call with the two
// references costs.
#pragma once

#include "velk/lookup_memo.hpp"
#include "velk/value.hpp"

namespace velk {

struct VarKey {
    // A name that is not a tree's (no memo given): nothing about it is
    // remembered.
    VarKey(const Identifier& id, const LookupMemo& memo = kNoMemo) noexcept : id(id), memo(memo) {}

    const Identifier& id;
    // Written by lookups through a const key: the memo is internally
    // synchronised (velk/lookup_memo.hpp).
    const LookupMemo& memo;
};

}  // namespace velk
