// Independent readers of the core's user-visible texts: the printed form of
// a machine and the failure messages. They accept exactly the documented
// shapes, say what is wrong otherwise, and can decode an entry back into the
// binding it shows.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velk/value.hpp"

namespace velk::fuzz {

// Appends the UTF-8 encoding of a code point (any value up to 0x10FFFF).
void append_utf8(std::string& out, char32_t cp);

// The result of reading a machine's printed form.
struct MachineText {
    std::string problem;               // empty when well-formed
    std::vector<std::string> entries;  // each "KEY: VALUE", in printed order
};

// Reads "Machine { vars: {K: V, ...} }": every key an identifier form,
// every value a value form, quoted texts properly escaped, the whole valid
// UTF-8 with no raw control character.
MachineText read_machine_text(std::string_view text);

// A binding decoded from its printed "KEY: VALUE" form.
struct Binding {
    Identifier id;  // escapes undone
    Value value;    // escapes undone; a Float as the double its text denotes
};
std::optional<Binding> read_binding(std::string_view entry);

// The identifier that U(n) (n a 32-bit number) or S("...") (a properly
// escaped body) shows, escapes undone; nothing for any other text.
std::optional<Identifier> read_identifier_form(std::string_view text);

// True for one of the language's failure messages.
bool is_language_message(std::string_view message);

// The double that a Number(Float(...)) body denotes, when it has one of the
// documented shapes: NaN, inf, -inf, plain decimal with a fractional digit
// for zero and magnitudes in [1e-4, 1e16), exponent form otherwise.
std::optional<double> read_float_text(std::string_view text);

// True when `text` is well-formed UTF-8 (what the printed form can show
// losslessly; other bytes print as replacement characters).
bool is_valid_utf8(std::string_view text);

}  // namespace velk::fuzz
