"""Runtime support of the zarn extension: PanicException, the exception that
every failure raises; the limits of machines (set_limits,
set_default_limits); the switch of the fault report (set_fault_report);
variables in and out of a machine in one call (bind, read); trees as bytes
(dumps, loads), which pickling uses."""

from collections.abc import Iterable, Mapping

from zarn import Expr, Statement, Velk, _Literal, _Value

__all__ = ["PanicException", "set_limits", "set_default_limits", "set_fault_report", "bind", "read", "dumps", "loads"]

class PanicException(BaseException):
    """Raised when the native code of the zarn extension fails with an internal fault.

    Like SystemExit, it derives from BaseException rather than Exception, so it
    typically propagates all the way through the stack and ends the interpreter.

    Every failure of a running program is one: ``str(e)`` is the failure's
    message, for instance ``Value cannot be found: S("x")``.
    """

    place: tuple[int | str, ...]
    """Set on a failure raised by ``Velk.run``: where the failing statement
    stands. Its index in the list given to ``run``, then, for each ``if`` on
    the way in, ``"then"`` or ``"otherwise"`` and the index in that list:
    ``(2, "then", 0)`` is the first statement of the then-list of the third
    statement. The same place is the exception's note, ``in statement
    stmts[2].then[0]``. Failures raised elsewhere (``Velk.get``) have no
    such attribute."""

def set_limits(
    machine: Velk,
    *,
    max_text: int | None = None,
    max_bytes: int | None = None,
    max_steps: int | None = None,
) -> None:
    """Sets the limits of ``machine``; a limit left out or ``None`` is none.

    - ``max_text``: the longest text, in UTF-8 bytes, that one join may make.
    - ``max_bytes``: the most bytes of text that the machine's variables may
      hold at once (each variable's text counted); apart from that, the texts
      that the joins of one statement make may add up to as much.
    - ``max_steps``: the most steps that one ``run`` may take: one for each
      statement and expression node it evaluates (a shared subtree counts
      once per visit), and one more for every whole 64 bytes of text that a
      join makes, that ``==`` compares (two texts of equal length) or that a
      variable's name has where it is read or bound. So a run's time is
      bounded by a constant times ``max_steps``.

    A join, a binding or a step that would pass a limit fails before it
    allocates, with a ``PanicException`` naming the limit and its value
    (``Limit exceeded: max_text=1048576``). The failing statement binds
    nothing, the statements before it keep their effects, and the machine
    stays usable.

    Raises ``TypeError`` for a machine that is not a ``Velk`` or a limit that
    is not an ``int`` or ``None`` (``bool`` included), ``ValueError`` for a
    negative limit.
    """

def set_default_limits(
    *,
    max_text: int | None = None,
    max_bytes: int | None = None,
    max_steps: int | None = None,
) -> None:
    """Sets the limits that every ``Velk`` made after the call starts with,
    in this process; machines made before keep theirs. Arguments and errors
    as for :func:`set_limits`; with no argument, new machines have none."""

def set_fault_report(enabled: bool, /) -> bool:
    """Switches, for the whole process, the two lines that every failure
    writes to standard error (``zarn: thread '…' faulted at …``). On by
    default. The exceptions are raised the same either way. Returns the
    setting it replaces, so that a caller can put it back."""

# Mapping is invariant in its keys: each key type is named.
def bind(machine: Velk, values: Mapping[str, _Literal] | Mapping[int, _Literal] | Mapping[int | str, _Literal]) -> None:
    """Binds each identifier of ``values`` to its value, in the mapping's
    order: what a ``let`` of a literal per entry does, in one call.

    Each key is converted as ``Velk.get`` converts an identifier, each value
    as ``Expr.literal`` converts it, and all of them before anything is
    bound. A key or value that does not convert raises the builders'
    ``TypeError`` behind a prefix naming it (``argument 'values': key -1:
    ...``, ``argument 'values': values['x']: ...``, the key as ``repr``
    shows it) and nothing is
    bound. ``values`` is a ``dict`` or any ``collections.abc.Mapping``
    (read through ``items()``); anything else raises ``TypeError``. What is
    bound is what the mapping held when the call began, whatever Python
    code that the conversions run does to it. Under ``max_bytes`` the texts bound count
    like any other, and a binding past the limit raises ``PanicException``
    after the entries before it were bound.

        >>> from zarn import Velk
        >>> from zarn_runtime import bind
        >>> machine = Velk()
        >>> bind(machine, {"zone": "domestic", "weight_kg": 12.5})
        >>> machine.get("weight_kg")
        12.5
    """

def read(machine: Velk, names: Iterable[str | int], /) -> dict[str | int, _Value]:
    """The values of several variables of ``machine`` in one call, as
    ``{name: value}`` in the order of ``names``; a name that is not bound is
    left out (where ``Velk.get`` would raise). Each name is converted as
    ``Velk.get`` converts an identifier, and is the key of its value as it
    was given. Raises ``TypeError`` for a machine that is not a ``Velk``
    and, behind the prefix ``argument 'names': ``, for a ``names`` that is
    a ``str`` or no iterable or a name that does not convert.

        >>> from zarn import Velk
        >>> from zarn_runtime import bind, read
        >>> machine = Velk()
        >>> bind(machine, {"fee": 5, "note": "domestic"})
        >>> read(machine, ["fee", "note", "discount"])
        {'fee': 5, 'note': 'domestic'}
    """

def dumps(tree: Expr | Statement, /) -> bytes:
    """The bytes of ``tree``: what pickling an ``Expr`` or ``Statement`` writes.

    The form is compact and versioned: every distinct node once, in
    post-order, so a subtree that several parents share is written once and
    stays shared (a tree of 65 objects that expands to 2**64 nodes takes a
    few hundred bytes). Literal values keep every bit: each float's exact
    pattern (negative zero, every NaN), texts with NUL characters. Any depth
    works. Raises ``TypeError`` for anything but an ``Expr`` or ``Statement``.
    """

def loads(data: bytes, /) -> Expr | Statement:
    """The tree whose bytes ``dumps`` gave, read in time linear in their
    length, without recursion. Bytes of an unknown version or damaged bytes
    raise ``ValueError`` ("damaged tree data: ..."), never a crash. Running a
    tree costs its expanded size, which ``set_limits(max_steps=...)``
    bounds."""

_TREE_FORMAT: tuple[bytes, int, tuple[tuple[str, int], ...], tuple[tuple[str, int], ...]]
"""The form of ``dumps``' bytes, for zarn_text's reader: the header's magic,
the version, each record tag by name, each operator's byte."""
