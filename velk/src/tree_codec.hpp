// A tree as bytes, and back: what pickling a tree writes.
//
// The form is a version header and the tree's distinct nodes in post-order,
// each child named by the index of a node written before it. A subtree that
// several parents share is written once and stays shared when read back, so
// a tree of 65 nodes that expands to 2^64 takes 65 records. Both directions
// use explicit stacks or none at all: any depth that fits in memory works.
// Literal values keep every bit (a float's exact pattern, a text's NUL).
//
//   header   'Z' 'T' version(1)
//   count    varint: the number of records
//   records  tag byte, then by tag:
//     0 null | 1 false | 2 true | 3 int: zigzag varint | 4 float: 8 bytes LE
//     5 text: varint length, UTF-8 bytes
//     6 variable, number name: varint | 7 variable, text name: varint length, bytes
//     8 binary op: operator byte (0 + 1 - 2 * 3 /), left, right
//     9 equals | 11 greater than | 12 less than: left, right | 10 not: operand
//     13 let: the name as a record 6 or 7 is written (tag included), expression
//     14 if: condition, varint n, n statements, varint m, m statements
//   Children are varints of earlier record indices. The last record is the
//   root. Nothing may follow it.
//
// zarn_text's to_source (python/zarn_text/_source.py) reads this form too,
// by the tags and version below, which zarn_runtime exports to it and which
// it checks when it is imported: a change of the form is a new version.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "velk/tree.hpp"

namespace velk {

inline constexpr char kTreeCodecMagic[2] = {'Z', 'T'};
inline constexpr std::uint8_t kTreeCodecVersion = 1;

// The first byte of each record.
namespace tree_tag {
enum Tag : std::uint8_t {
    kNull = 0,
    kFalse = 1,
    kTrue = 2,
    kInt = 3,
    kFloat = 4,
    kText = 5,
    kVariableU = 6,
    kVariableS = 7,
    kBinaryOp = 8,
    kEquals = 9,
    kNot = 10,
    kGreaterThan = 11,
    kLessThan = 12,
    kLet = 13,
    kIf = 14,
};
}  // namespace tree_tag

using Tree = std::variant<Expr, Statement>;

// The bytes of `tree`. Throws std::bad_alloc only.
std::string encode_tree(const Tree& tree);

// The tree in `bytes`, or nothing with `error` saying what is wrong with
// them (an unknown version, a record that names a later one, a cut-off
// varint...). Damaged bytes never crash and never read out of bounds.
// Throws std::bad_alloc only.
std::optional<Tree> decode_tree(std::string_view bytes, std::string& error);

}  // namespace velk
