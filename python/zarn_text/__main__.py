"""The command line of zarn_text: ``python -m zarn_text check|run ...``.

``check`` compiles rules files and lists their inputs and outputs; ``run``
runs one on inputs given as JSON and prints its outputs as JSON. What each
command prints, and the exit statuses, are in ``python -m zarn_text --help``
(the texts below); docs/source_text.rst shows them in use.
"""

from __future__ import annotations

import argparse
import json
import sys
from importlib import metadata
from collections.abc import Sequence
from typing import TYPE_CHECKING

from zarn import Velk
from zarn_runtime import PanicException, bind, set_fault_report, set_limits

from zarn_text import Program, compile_program

if TYPE_CHECKING:
    from zarn import _Value

__all__ = ["main"]

_EPILOG = """\
examples:
  python -m zarn_text check rules.txt more_rules.txt
  python -m zarn_text run rules.txt --inputs order.json --set member=true
  python -m zarn_text run rules.txt --set zone=domestic --set weight_kg=2.5 --max-steps 10000

diagnostics: both commands print what they make (lists of names, outputs) on
standard output and every diagnostic on standard error, as compilers do:
run's standard output is JSON for another program to read, which a diagnostic
must not break, and check keeps the same rule so that a script reads each
stream alone.

exit status: 0 on success; 1 when a file cannot be read or compiled, an input
is missing or a run fails; 2 for a usage error (including a bad --inputs file
or --set argument)."""

_CHECK_DESCRIPTION = """\
Compile each FILE (UTF-8) without running it. Prints on standard output, for a
file that compiles, FILE: inputs: ...; outputs: ... (the names to bind first
and the names bound; - for none); on standard error, FILE:LINE:COL: message
for a syntax error or a construct outside the language, and FILE: message for
a file that cannot be read. Exits 1 when any file has an error."""

_RUN_DESCRIPTION = """\
Compile FILE, bind its inputs on a fresh machine, run it, and print on
standard output the outputs that the run bound, as a JSON object with sorted
keys (a NaN or infinite Float prints as NaN, Infinity or -Infinity, as
Python's json module writes them). Inputs come from --inputs (a JSON object of
name -> null, Boolean, number or string) and from --set, which overrides it.
An input the program may read and that is not given is refused before the run
(bind a name that a path never reads to null). A failing run prints its message
and the failing line on standard error."""


def _version() -> str:
    """The version of the installed zarn package; a checkout that is not
    installed has none to give."""
    try:
        return metadata.version("zarn")
    except metadata.PackageNotFoundError:
        return "unknown (zarn is not installed)"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m zarn_text",
        description="Check and run zarn rules written as Python-syntax text.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    check = commands.add_parser(
        "check", help="compile rules files and list their inputs and outputs",
        description=_CHECK_DESCRIPTION, epilog="example:\n  python -m zarn_text check rules.txt",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("files", nargs="+", metavar="FILE", help="a rules file (UTF-8)")
    run = commands.add_parser(
        "run", help="run a rules file on given inputs and print its outputs as JSON",
        description=_RUN_DESCRIPTION,
        epilog="example:\n  python -m zarn_text run rules.txt --inputs order.json --set member=true"
               " --max-steps 10000",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    run.set_defaults(parser=run)  # reports the usage errors that _run finds
    run.add_argument("file", metavar="FILE", help="the rules file (UTF-8)")
    run.add_argument("--inputs", metavar="JSON_FILE", help="a JSON object of input name -> value")
    run.add_argument("--set", action="append", default=[], metavar="NAME=VALUE", dest="settings",
                     help="bind NAME to VALUE read as JSON (1, 2.5, true, null, \"text\"), or as a "
                          "string when it is not JSON; repeatable, overrides --inputs")
    for limit, what in [("text", "the longest text, in UTF-8 bytes, that one join may make"),
                        ("bytes", "the most bytes of text the machine's variables may hold"),
                        ("steps", "the most statements and expression nodes the run may evaluate")]:
        run.add_argument(f"--max-{limit}", type=_limit, metavar="N", help=what + " (no limit by default)")
    return parser


def _limit(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def _shown(path: str) -> str:
    """`path` as it can be printed: a byte that is not UTF-8 (which Python
    keeps in a name as a lone surrogate) as \\xNN, any other lone surrogate
    as \\uNNNN."""
    try:
        return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        return path.encode("utf-8", "backslashreplace").decode("utf-8")


def _compile(path: str) -> Program | str:
    """The program in the file `path`, or the diagnostic line of why not."""
    shown = _shown(path)
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as exc:
        return f"{shown}: {exc.strerror or exc}"
    except ValueError as exc:  # a NUL character in the name
        return f"{shown}: {exc}"
    except MemoryError:
        return f"{shown}: too large to read into memory"
    try:
        source = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        return f"{shown}:{line}: not UTF-8 text ({exc.reason})"
    try:
        return compile_program(source, path)
    except SyntaxError as exc:
        where = [shown] + [str(n) for n in (exc.lineno, exc.offset) if n] if exc.lineno else [shown]
        return f"{':'.join(where)}: {exc.msg}"
    except MemoryError:
        return f"{shown}: out of memory while compiling"


def _names(names: frozenset[str]) -> str:
    return ", ".join(sorted(names)) or "-"


def _check(files: list[str]) -> int:
    failed = False
    for path in files:
        compiled = _compile(path)
        if isinstance(compiled, str):
            failed = True
            print(compiled, file=sys.stderr)
        else:
            print(f"{_shown(path)}: inputs: {_names(compiled.inputs)}; outputs: {_names(compiled.outputs)}")
    return 1 if failed else 0


def _is_text(text: str) -> bool:
    """Whether `text` has a UTF-8 form (no lone surrogate), as zarn's texts do."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _name(what: str, name: str) -> str:
    """`name` when it can name a variable; else a usage error naming `what`."""
    if not _is_text(name):
        raise ValueError(f"{what}: a name with a lone surrogate cannot be bound")
    return name


def _value(what: str, value: object) -> _Value:
    """`value` (read from JSON) when zarn can hold it; else a usage error
    naming `what`."""
    if type(value) is str:
        if not _is_text(value):
            raise ValueError(f"{what}: a string with a lone surrogate cannot be bound")
        return value
    if type(value) is int:
        try:
            float(value)  # Expr.literal takes the nearest Float beyond 64 bits, and no further
        except OverflowError:
            raise ValueError(f"{what}: the integer is beyond the range of a float") from None
        return value
    if value is None or type(value) is bool or type(value) is float:
        return value
    kind = "an array" if type(value) is list else "an object"
    raise ValueError(f"{what}: a value must be null, a Boolean, a number or a string, not {kind}")


def _inputs(inputs_file: str | None, settings: list[str]) -> dict[str, _Value]:
    """The inputs of --inputs, then --set; ValueError for a usage error."""
    inputs: dict[str, _Value] = {}
    if inputs_file is not None:
        what = f"--inputs {_shown(inputs_file)}"
        try:
            with open(inputs_file, encoding="utf-8-sig") as file:
                given = json.load(file)
        except OSError as exc:
            raise ValueError(f"{what}: {exc.strerror or exc}") from None
        except ValueError as exc:  # JSONDecodeError, UnicodeDecodeError, too many digits, a NUL in the name
            raise ValueError(f"{what}: not a JSON file: {exc}") from None
        except RecursionError:
            raise ValueError(f"{what}: JSON nested too deeply to read") from None
        except MemoryError:
            raise ValueError(f"{what}: too large to read into memory") from None
        if type(given) is not dict:
            raise ValueError(f"{what}: must hold a JSON object of name -> value")
        for name, value in given.items():
            entry = f"{what}: {name!r}"
            inputs[_name(entry, name)] = _value(entry, value)
    for setting in settings:
        name, equals, text = setting.partition("=")
        what = f"--set {setting!r}"
        if not equals or not name:
            raise ValueError(f"{what}: expected NAME=VALUE")
        try:
            value = json.loads(text)
        except ValueError:
            value = text
        except RecursionError:
            raise ValueError(f"{what}: JSON nested too deeply to read") from None
        inputs[_name(what, name)] = _value(what, value)
    return inputs


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        inputs = _inputs(args.inputs, args.settings)
    except ValueError as exc:
        parser.error(str(exc))
    program = _compile(args.file)
    if isinstance(program, str):
        print(program, file=sys.stderr)
        return 1
    missing = program.inputs - inputs.keys()
    if missing:
        print(f"{_shown(args.file)}: missing inputs: {_names(missing)} (give them with --inputs or --set)",
              file=sys.stderr)
        return 1
    machine = Velk()
    bind(machine, inputs)
    # Set after binding the inputs: max_steps counts the program's run alone,
    # max_bytes the inputs' texts too.
    set_limits(machine, max_text=args.max_text, max_bytes=args.max_bytes, max_steps=args.max_steps)
    try:
        program.run(machine)
    except PanicException as failure:
        print("\n".join([str(failure), *getattr(failure, "__notes__", [])]), file=sys.stderr)
        return 1
    except MemoryError:  # joins past memory, without --max-bytes
        print(f"{_shown(args.file)}: out of memory while running", file=sys.stderr)
        return 1
    outputs: dict[str, _Value] = {}
    for name in program.outputs:
        try:
            outputs[name] = machine.get(name)
        except PanicException:  # bound on a path the run did not take
            pass
    print(json.dumps(outputs, sort_keys=True))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: ``sys.argv[1:]``) and returns
    its exit status. Usage errors, ``--help`` and ``--version`` raise
    :exc:`SystemExit`, as :mod:`argparse` does. The commands report failures
    themselves: while one runs, the fault report of :mod:`zarn_runtime` is
    off, for the whole process, and as it was again when `main` returns or
    raises."""
    parser = _parser()
    args = parser.parse_args(argv)
    report_was_on = set_fault_report(False)
    try:
        if args.command == "check":
            return _check(args.files)
        return _run(args.parser, args)
    finally:
        set_fault_report(report_was_on)


if __name__ == "__main__":
    sys.exit(main())
