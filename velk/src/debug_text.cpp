// The debug text form of identifiers and values.
#include "velk/debug_text.hpp"

#include <string>

namespace velk {

void append_debug(std::string& out, const Identifier& id) {
    if (id.is_u()) {
        out += "U(";
        out += std::to_string(id.as_u());
    } else {
        out += "S(\"";
        append_escaped(out, id.as_s());
        out += '"';
    }
    out += ')';
}

void append_debug(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
            out += "Null";
            return;
        case Value::Kind::Boolean:
            out += v.as_boolean() ? "Boolean(true)" : "Boolean(false)";
            return;
        case Value::Kind::String:
            out += "String(\"";
            append_escaped(out, v.as_string());
            out += "\")";
            return;
        case Value::Kind::Number: {
            const Number& n = v.as_number();
            if (n.is_int()) {
                out += "Number(Int(";
                out += std::to_string(n.as_int());
            } else {
                out += "Number(Float(";
                append_float(out, n.as_float());
            }
            out += "))";
            return;
        }
    }
}

std::string debug_text(const Identifier& id) {
    std::string out;
    append_debug(out, id);
    return out;
}

std::string debug_text(const Value& v) {
    std::string out;
    append_debug(out, v);
    return out;
}

}  // namespace velk
