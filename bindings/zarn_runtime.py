"""Runtime support of the zarn extension: PanicException, the exception that
every failure of a zarn program raises, and the runtime's functions (limits,
the fault report, bind and read, dumps and loads).

    from zarn_runtime import PanicException

The class and the module that holds it belong to the extension module zarn:
importing zarn creates them and registers that module as zarn_runtime in
sys.modules. This file is what an import finds when zarn has not been
imported yet: it imports zarn, whose registration takes this file's place in
sys.modules, and the import system hands out the registered module. Either
import order gives the same module and the same class.
"""

import importlib
import sys

_this = sys.modules[__name__]
import zarn  # noqa: E402  (registers the runtime module)

if sys.modules.get(__name__) is _this:
    # zarn had been imported before this module was taken out of
    # sys.modules. Importing zarn again gives the same module object and
    # registers the runtime module once more.
    del sys.modules["zarn"]
    importlib.import_module("zarn")
