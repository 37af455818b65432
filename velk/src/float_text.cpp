// The shortest round-trip text of a double in the debug form.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>

#include "velk/debug_text.hpp"

namespace velk {
namespace {

// Appends `digits` (no sign, no point) read as d.ddd × 10^exponent.
void append_plain_decimal(std::string& out, std::string_view digits, int exponent) {
    const int integer_digits = exponent + 1;
    const int n = static_cast<int>(digits.size());
    if (integer_digits <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-integer_digits), '0');
        out += digits;
    } else if (integer_digits >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(integer_digits - n), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(integer_digits));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(integer_digits));
    }
}

// Bounds of the magnitudes that print in plain decimal: [1e-4, 1e16).
constexpr double kPlainMin = 1e-4;
constexpr double kPlainLimit = 1e16;

// "-1.7976931348623157e+308" is the longest shortest-form scientific text.
constexpr std::size_t kScientificBuffer = 32;
static_assert(kScientificBuffer > sizeof "-1.7976931348623157e+308", "room for any double");

}  // namespace

void append_float(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::signbit(x)) out += '-';
    const double magnitude = std::fabs(x);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude == 0.0) {
        out += "0.0";
        return;
    }

    // Shortest round-trip digits, as d[.ddd]e±XX.
    char buf[kScientificBuffer];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    (void)ec;  // the buffer holds any double (static_assert above)
    const std::string_view text(buf, static_cast<std::size_t>(end - buf));
    const std::size_t e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos))
        if (c != '.') digits += c;
    std::string_view exp_text = text.substr(e_pos + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    if (magnitude >= kPlainMin && magnitude < kPlainLimit) {
        append_plain_decimal(out, digits, exponent);
        return;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out.append(digits, 1);
    }
    out += 'e';
    char exp_buf[8];  // "-324" at most
    const auto exp_end = std::to_chars(exp_buf, exp_buf + sizeof exp_buf, exponent).ptr;
    out.append(exp_buf, exp_end);
}

}  // namespace velk
