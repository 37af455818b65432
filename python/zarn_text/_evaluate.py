"""What :meth:`zarn_text.Program.evaluate` and its kin run: the native
evaluator of a program (zarn_runtime's ``_evaluator``), made with the
program and kept in its slot, and the native method that evaluates it."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

import textwrap

import zarn_runtime

if TYPE_CHECKING:
    from zarn import Statement, _Literal

    from . import Program

# The inputs of one call: Mapping is invariant in its keys, so each key type is named.
type Inputs = Mapping[str, _Literal] | Mapping[int, _Literal] | Mapping[int | str, _Literal] | None

# The keywords of with_limits, those of zarn_runtime.set_limits.
LIMIT_NAMES = ("max_text", "max_bytes", "max_steps")

# zarn_runtime's functions for this module alone, left out of its stub:
# their types are here, where they are used.
new_evaluator: Callable[[tuple[Statement, ...], frozenset[str], frozenset[str], dict[str, int | None] | None],
                        object] = getattr(zarn_runtime, "_evaluator")
evaluate_many: Callable[[object, Iterable[Inputs], bool], list[Any]] = getattr(zarn_runtime, "_evaluate_many")
# Program.evaluate for a class whose instances keep their evaluator in the
# slot `_evaluator` and add a failure's notes with `_note_failure`, with the
# documentation given.
evaluate_method: Callable[[type, str], object] = getattr(zarn_runtime, "_evaluate_method")


def docstring(function: Callable[..., object]) -> str:
    """The docstring of `function` with its indentation removed, as
    inspect.cleandoc gives it (and Python 3.13 compiles it)."""
    first, _, rest = (function.__doc__ or "").partition("\n")
    return first.strip() + "\n" + textwrap.dedent(rest)


def restore(source: str, filename: str, limits: dict[str, int | None]) -> Program:
    """A pickled program that was given limits of its own."""
    from . import compile_program

    return compile_program(source, filename).with_limits(**limits)
