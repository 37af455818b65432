"""The messages of the language's failures, as PanicException carries them.

The one Python home of these texts: the reference model, the tests and the
atheris harness's output filter (``python failure_messages.py``) read them
from here.
"""

NOT_FOUND = "Value cannot be found: "  # followed by the identifier's debug form
STRING_OPERATOR = "Unknown binary operation for Value::String"
OPERAND_KINDS = "Binary operator for unknown type"
NOT_OPERAND = "The not expression must be used on a boolean value"
ORDER_OPERANDS = "Both left-hand and right-hand side values must be a number"
DIVIDE_BY_ZERO = "attempt to divide by zero"
DIVIDE_OVERFLOW = "attempt to divide with overflow"
CONDITION = "Expected deduced condition to be a bool, got other type"

# Where the fault report places CONDITION: one of the report's fixed
# positions, which the core's failure catalogue (velk/src/failures.hpp) holds.
CONDITION_REPORTED_AT = "crates/velk/src/lib:247:21"

LANGUAGE = (NOT_FOUND, STRING_OPERATOR, OPERAND_KINDS, NOT_OPERAND, ORDER_OPERANDS,
            DIVIDE_BY_ZERO, DIVIDE_OVERFLOW, CONDITION)

if __name__ == "__main__":
    # Extended regular expressions, one a line, for the lines that begin
    # with a language failure (grep -E -f).
    special = set(".[]()*+?{}|^$\\")
    for message in LANGUAGE:
        print("^" + "".join("\\" + c if c in special else c for c in message))
