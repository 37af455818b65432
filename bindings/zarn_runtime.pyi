"""Runtime support of the zarn extension: PanicException, the exception that
every failure of a zarn program raises."""

__all__ = ["PanicException"]

class PanicException(BaseException):
    """Raised when the native code of the zarn extension fails with an internal fault.

    Like SystemExit, it derives from BaseException rather than Exception, so it
    typically propagates all the way through the stack and ends the interpreter.

    Every failure of a running program is one: ``str(e)`` is the failure's
    message, for instance ``Value cannot be found: S("x")``.
    """
