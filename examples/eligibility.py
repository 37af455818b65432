"""Decide household energy support with rules kept apart from the code.

The rules live in a file: eligibility.rules beside this script (rules
written as text, with and, conditional values and +=), or the file named on
the command line: a .rules file is text, any other file the same rules as
data, in JSON (eligibility_rules.json holds them). They are turned into zarn
trees once; then every application runs them on a fresh machine, with the
application's fields bound as variables first. An application whose data
breaks a rule (a household of 0 people, an age given as text) fails alone,
with the program's message, and the others go on. (Each such failure also
writes zarn's short fault report to standard error.)

JSON rule file format:

    expression  42 | 1.5 | "text" | true | null     a literal
                {"var": NAME}                        a variable
                [OP, EXPR, EXPR]   OP: + - * / == > <
                ["not", EXPR]
    statement   {"let": NAME, "be": EXPR}
                {"if": EXPR, "then": [STATEMENT...], "else": [STATEMENT...]}
"""

from __future__ import annotations

import json
import sys
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import cast

from zarn import Expr, Statement, Velk
from zarn_runtime import PanicException

from zarn_text import compile_program

JsonValue = None | bool | int | float | str | list["JsonValue"] | dict[str, "JsonValue"]


def arithmetic(op: str) -> Callable[[Expr, Expr], Expr]:
    def build(a: Expr, b: Expr) -> Expr:
        return Expr.binary_op(a, op, b)

    return build


BINARY: dict[str, Callable[[Expr, Expr], Expr]] = {
    "==": Expr.equals,
    ">": Expr.greater_than,
    "<": Expr.less_than,
    **{op: arithmetic(op) for op in "+-*/"},
}


class RuleError(ValueError):
    """The rule file does not say something the language can run."""


def to_expr(node: JsonValue) -> Expr:
    if node is None or isinstance(node, (bool, int, float, str)):
        return Expr.literal(node)
    if isinstance(node, dict) and set(node) == {"var"} and isinstance(node["var"], str):
        return Expr.ident(node["var"])
    if isinstance(node, list) and len(node) == 2 and node[0] == "not":
        return Expr.not_(to_expr(node[1]))
    if isinstance(node, list) and len(node) == 3 and isinstance(node[0], str) and node[0] in BINARY:
        return BINARY[node[0]](to_expr(node[1]), to_expr(node[2]))
    raise RuleError(f"not an expression: {json.dumps(node)}")


def to_statement(node: JsonValue) -> Statement:
    if isinstance(node, dict) and set(node) == {"let", "be"} and isinstance(node["let"], str):
        return Statement.let(node["let"], to_expr(node["be"]))
    if isinstance(node, dict) and set(node) == {"if", "then", "else"}:
        return Statement.if_(to_expr(node["if"]), to_statements(node["then"]), to_statements(node["else"]))
    raise RuleError(f"not a statement: {json.dumps(node)}")


def to_statements(node: JsonValue) -> list[Statement]:
    if not isinstance(node, list):
        raise RuleError(f"not a list of statements: {json.dumps(node)}")
    return [to_statement(item) for item in node]


class Rules:
    def __init__(self, path: Path) -> None:
        if path.suffix == ".rules":
            text = compile_program(path.read_text(encoding="utf-8"), path.name)
            self.inputs = sorted(text.inputs)
            self.outputs = ["eligible", "support", "reason"]
            self.program = text.statements
            return
        data = cast(dict[str, JsonValue], json.loads(path.read_text()))
        self.inputs = [str(name) for name in cast(list[str], data["inputs"])]
        self.outputs = [str(name) for name in cast(list[str], data["outputs"])]
        self.program = to_statements(data["rules"])  # built once, run per application

    def decide(self, application: Mapping[str, None | bool | int | float | str]) -> dict[str, object]:
        machine = Velk()
        machine.run([Statement.let(name, Expr.literal(application[name])) for name in self.inputs])
        machine.run(self.program)
        return {name: machine.get(name) for name in self.outputs}


APPLICATIONS: list[dict[str, None | bool | int | float | str]] = [
    {"id": "A-101", "age": 67, "income": 2100, "household": 2, "heating": "gas"},
    {"id": "A-102", "age": 34, "income": 2600, "household": 3, "heating": "electric"},
    {"id": "A-103", "age": 41, "income": 5200, "household": 1, "heating": "electric"},
    {"id": "A-104", "age": 16, "income": 800, "household": 1, "heating": "gas"},
    {"id": "A-105", "age": 29, "income": 1900, "household": 0, "heating": "gas"},
    {"id": "A-106", "age": "forty", "income": 1000, "household": 2, "heating": "gas"},
    {"id": "A-107", "age": 52, "income": 3000.0, "household": 4, "heating": "electric"},
]


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else Path(__file__).with_name("eligibility.rules")
    try:
        rules = Rules(path)
    except (RuleError, TypeError, KeyError, SyntaxError) as e:
        print(f"{path}: {e}", file=sys.stderr)
        return 2
    failed = 0
    for application in APPLICATIONS:
        try:
            decision = rules.decide(application)
        except PanicException as e:
            failed += 1
            print(f"{application['id']}: rejected, the rules could not run: {e}")
            continue
        print(f"{application['id']}: eligible={decision['eligible']!s:<5} "
              f"support={decision['support']!s:>3}/month ({decision['reason']})")
    print(f"{len(APPLICATIONS)} applications, {failed} could not be decided")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
