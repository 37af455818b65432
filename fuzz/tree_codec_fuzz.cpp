// libFuzzer target for the tree reader: any bytes either fail with a reason
// or give a tree whose bytes read back to the same bytes (after one round,
// which drops records the root does not reach). A tree read is also run on a
// machine whose step limit bounds any sharing the bytes ask for.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "velk/eval.hpp"
#include "velk/eval_error.hpp"
#include "tree_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto tree = velk::decode_tree({reinterpret_cast<const char*>(data), size}, error);
    if (!tree) {
        if (error.empty()) std::abort();
        return 0;
    }
    const std::string bytes = velk::encode_tree(*tree);
    auto again = velk::decode_tree(bytes, error);
    if (!again || velk::encode_tree(*again) != bytes) std::abort();

    velk::Machine machine;
    machine.set_limits(velk::Limits{.max_text = 1 << 16, .max_bytes = 1 << 20, .max_steps = 10'000});
    try {
        if (const auto* s = std::get_if<velk::Statement>(&*tree)) {
            velk::run(machine, *s);
        } else {
            (void)velk::evaluate(machine, std::get<velk::Expr>(*tree));
        }
    } catch (const velk::EvalError&) {
        // Failures of the program are fine; crashes are not.
    }
    return 0;
}
