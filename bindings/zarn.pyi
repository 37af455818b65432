# Type stubs of the extension module zarn. The docstrings are what IDEs
# show; docs/python-api.rst says the same at length.
"""Run programs of a tiny imperative language, built as syntax trees.

Build expressions with the static methods of Expr and statements with
those of Statement, run lists of statements on a Velk machine, read
variables back with Velk.get. A failing program raises
zarn_runtime.PanicException.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["Velk", "Statement", "Expr"]

# A value of the language as Python sees it: what Velk.get gives back.
_Value = None | bool | int | float | str
# What a literal accepts: a value, or a number in any form (ints of 64 bits,
# or anything with an integer or float form).
_Literal = _Value | SupportsIndex | SupportsFloat
# A variable name: an unsigned 32-bit number or a text.
_Identifier = int | str | SupportsIndex

@final
class Velk:
    """A machine: the variables of the programs run on it, kept from one run to the next.

    Velk() takes no arguments. All variables live in one flat space; two
    machines share none. repr() and str() give the printed form,
    Machine { vars: {S("x"): Number(Int(1))} }, whose entries come in an
    order that varies between machines.
    """

    def __new__(cls) -> Velk: ...
    def __init__(self) -> None: ...
    def run(self, stmts: Sequence[Statement]) -> None:
        """Run the statements in order; return None.

        stmts is any sequence of Statement objects but a str; the objects are
        not consumed. A bad item raises TypeError and runs nothing. A failing
        statement raises zarn_runtime.PanicException with the failure's
        message; the statements before it keep their effects, the rest do not
        run.
        """
    def get(self, ident: _Identifier) -> _Value:
        """The value of a variable, as a new Python object.

        ident is a text or a number from 0 to 4294967295 (7 and "7" name two
        variables). A variable that is not bound raises
        zarn_runtime.PanicException 'Value cannot be found: S("x")' (U(7) for
        a number), never None.
        """

@final
class Statement:
    """A statement: immutable, built only by its static methods."""

    @staticmethod
    def let(ident: _Identifier, pxpr: Expr) -> Statement:
        """Bind the variable ident to the value of pxpr, evaluated first.

        ident is a text or a number from 0 to 4294967295.
        """
    @staticmethod
    def if_(pxpr: Expr, then: Sequence[Statement], otherwise: Sequence[Statement]) -> Statement:
        """Run then when pxpr is true, otherwise when it is false.

        The condition must be a Boolean, or the run fails with 'Expected
        deduced condition to be a bool, got other type'. Either list may be
        empty; a str is refused.
        """

@final
class Expr:
    """An expression: immutable, built only by its static methods."""

    @staticmethod
    def literal(value: _Literal) -> Expr:
        """A constant: None, a bool, a str, an int of 64 bits (an Int) or another real number (a Float)."""
    @staticmethod
    def ident(id: _Identifier) -> Expr:
        """The value of the variable id (a text, or a number from 0 to 4294967295) when evaluated."""
    @staticmethod
    def binary_op(a: Expr, o: str, b: Expr) -> Expr:
        """a o b, with o one of "+", "-", "*", "/" (else ValueError).

        Arithmetic on two numbers (Ints wrap around; an Int meeting a Float
        gives a Float; Int division fails on 0 and on -2**63 / -1); "+" also
        joins two strings. Any other pair fails with 'Binary operator for
        unknown type'.
        """
    @staticmethod
    def equals(a: Expr, b: Expr) -> Expr:
        """True when a and b are equal values of the same kind (1 and 1.0 are not); never fails."""
    @staticmethod
    def not_(item: Expr) -> Expr:
        """The other Boolean; item must be a Boolean (there is no truthiness)."""
    @staticmethod
    def greater_than(a: Expr, b: Expr) -> Expr:
        """True when the number a sorts after the number b (IEEE total order for floats)."""
    @staticmethod
    def less_than(a: Expr, b: Expr) -> Expr:
        """True when the number a sorts before the number b (IEEE total order for floats)."""
