// Turns any byte string into programs for the core: a total decoding, so
// every input the fuzzer tries is a valid sequence of runs.
//
// Layout (a byte read past the end is 0, which closes every open list):
//   input  := run*                              (at most kMaxRuns)
//   run    := flags:u8 list                     (bits: see RunFlags, in order)
//   list   := stmt* 0x00                        (at most kMaxListLength)
//   stmt   := 0xFF levels shape:u8 [expr if shape % 4 == 2] tag:u8 stmt-body
//                                               deep `if` nesting (once per input)
//           | tag:u8 (tag % 4 == 3) expr list list      `if`
//           | tag:u8 (otherwise)    ident expr          `let`
//   expr   := 0xFF levels shape:u8 op:u8 expr expr      deep chain (once per input)
//           | tag:u8 payload                    (kinds by tag % 16, see expr())
//   levels := n:u8 0x80..0x8F u16be             65 up to kMaxDeepLevels
//           | n:u8 otherwise                    n % 64 + 1
//   ident  := sel:u8 < 0x80                     one of 16 pooled identifiers
//           | sel:u8 with bit 6 set, u32be      U(n)
//           | sel:u8 otherwise, text            S(text)
//   text   := len:u8, len % 8 units of a class byte and its payload
// tools/gen_fuzz_seeds.py writes seeds in this layout; keep the two in step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velk/tree.hpp"

namespace velk::fuzz {

// Bounds that keep one input fast to run.
inline constexpr std::size_t kMaxRuns = 6;
inline constexpr std::size_t kMaxListLength = 12;
inline constexpr unsigned kMaxStatementDepth = 5;  // ordinary `if` nesting
inline constexpr unsigned kMaxExprDepth = 8;       // ordinary operand nesting
inline constexpr std::size_t kMaxNodes = 4096;     // ordinary nodes per input
// Deep forms nest a few thousand levels; one per input keeps the recursive
// checkers (reference model, tree dump) well inside the native stack.
inline constexpr unsigned kMaxDeepLevels = 4096;
inline constexpr unsigned kMaxDeepForms = 1;
static_assert(kMaxDeepLevels * kMaxDeepForms <= 8192,
              "the recursive checkers use about two frames per level");

// How one run is executed.
struct RunFlags {
    bool clone_list_after = false;       // run a clone_list() copy after the original
    bool clone_statements_before = false;  // run Statement::clone() copies first
    bool one_call_per_statement = false;   // one run call per top-level statement
};

struct Run {
    RunFlags flags;          // how to execute `program`
    StatementList program;   // the decoded statements
};

// Reads bytes front to back; past the end every read yields 0.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    bool done() const noexcept { return pos_ >= size_; }
    std::uint8_t u8() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() noexcept;
    std::uint32_t u32() noexcept;
    std::uint64_t u64() noexcept;

private:
    const std::uint8_t* data_;  // the fuzzer's input, not owned
    std::size_t size_;          // bytes at data_
    std::size_t pos_ = 0;       // next byte to read
};

// Decodes the whole input into runs.
std::vector<Run> decode_input(const std::uint8_t* data, std::size_t size);

}  // namespace velk::fuzz
