"""What :meth:`zarn_text.Program.evaluate` and its kin keep per program:
the native evaluator (zarn_runtime's ``_evaluator``), made on the first
call and kept in the program's slot."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Union

import zarn_runtime

if TYPE_CHECKING:
    from . import Program

# A value a run can bind, as Velk.get gives it back.
Value = Union[None, bool, int, float, str]
# The inputs of one call: Mapping is invariant in its keys, so each key type is named.
Inputs = Union[Mapping[str, Value], Mapping[int, Value], Mapping[Union[int, str], Value], None]

# The keywords of with_limits, those of zarn_runtime.set_limits.
LIMIT_NAMES = ("max_text", "max_bytes", "max_steps")

new_evaluator = zarn_runtime._evaluator  # type: ignore[attr-defined]
evaluate = zarn_runtime._evaluate  # type: ignore[attr-defined]
evaluate_many = zarn_runtime._evaluate_many  # type: ignore[attr-defined]


def evaluator_of(program: Program) -> object:
    """The program's evaluator, made and kept on the first call (threads
    that race here each make one; the last one made is kept)."""
    made = new_evaluator(program._statements, program._inputs, program._outputs, getattr(program, "_limits", None))
    object.__setattr__(program, "_evaluator", made)
    return made


def restore(source: str, filename: str, limits: dict[str, int | None]) -> Program:
    """A pickled program that was given limits of its own."""
    from . import compile_program

    return compile_program(source, filename).with_limits(**limits)
