"""kelto from Python: the live table of named, typed variables.

    import kelto

    with kelto.attach() as table:            # a passive observer
        print(table["IORSH_SPEED"])
        table["IORSH_SPEED"] = 120
        speed = table.var("IORSH_SPEED")     # by ident, for loops
        for changes in table.watch(["IORSH_SPEED"]):
            print(changes)                   # {"IORSH_SPEED": 121}

kelto.attach() needs no definition files and keeps no table alive;
kelto.open() holds the table as a program, as KeltoOpen does. See
help(kelto.Table).
"""

from ._kelto import (
    NoChangeFeed,
    NoLiveTable,
    Table,
    Var,
    Waiter,
    __version__,
    attach,
    open,
)
from . import _mapping
from ._mapping import FacadeView

_mapping.complete(Table)
for _class in (Table, Var, Waiter):
    _class.__module__ = __name__
del _class

__all__ = [
    "FacadeView",
    "NoChangeFeed",
    "NoLiveTable",
    "Table",
    "Var",
    "Waiter",
    "__version__",
    "attach",
    "open",
]
