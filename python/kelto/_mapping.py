"""The parts of Table that are plain Python: the mapping views, watch() and
the facades' views."""

from collections.abc import KeysView, MutableMapping


class FacadeView(MutableMapping):
    """The variables of one facade (IORSh or MemSh), named without prefix.

    table.iorsh["SPEED"] is table["IORSH_SPEED"]; everything else works as on
    the Table, with the prefix left off every name given and returned.
    """

    __slots__ = ("_table", "_prefix")

    def __init__(self, table, prefix):
        self._table = table
        self._prefix = prefix

    def _full(self, name):
        if not isinstance(name, str):
            raise KeyError(name)
        return self._prefix + name

    def _short(self, full_name):
        return full_name[len(self._prefix):]

    def _full_names(self, names):
        if names is None:
            return [self._prefix + name for name in self]
        if isinstance(names, str):
            return [self._full(names)]
        if isinstance(names, (bytes, bytearray)):
            raise TypeError("names must be None, a str or an iterable of str, not "
                            + type(names).__name__)
        return [self._full(name) for name in names]

    def _shorten(self, changes):
        return {self._short(name): value for name, value in changes.items()}

    def __getitem__(self, name):
        try:
            return self._table[self._full(name)]
        except KeyError:
            raise KeyError(name) from None

    def __setitem__(self, name, value):
        try:
            self._table[self._full(name)] = value
        except KeyError:
            raise KeyError(name) from None

    def __delitem__(self, name):
        raise TypeError("variables of a kelto table cannot be deleted")

    def __contains__(self, name):
        return isinstance(name, str) and self._full(name) in self._table

    def __iter__(self):
        prefix = self._prefix
        return iter([name[len(prefix):] for name in self._table if name.startswith(prefix)])

    def __len__(self):
        return sum(1 for _ in self)

    def __repr__(self):
        return "<kelto facade %r of %r>" % (self._prefix, self._table)

    def get(self, name, default=None):
        """As Table.get: the value, None for a type that holds no value, or
        `default` for a name the facade does not have."""
        if not isinstance(name, str):
            return default
        return self._table.get(self._prefix + name, default)

    def var(self, name):
        """A Var for the variable `name` (without prefix)."""
        try:
            return self._table.var(self._full(name))
        except KeyError:
            raise KeyError(name) from None

    def snapshot(self):
        """The facade's variables in a plain dict {name without prefix: value}."""
        prefix = self._prefix
        return {self._short(name): value
                for name, value in self._table.snapshot().items() if name.startswith(prefix)}

    def wait(self, names=None, timeout=None):
        """As Table.wait, for this facade's variables (None: all of them)."""
        return self._shorten(self._table.wait(self._full_names(names), timeout))

    def watch(self, names=None):
        """As Table.watch, for this facade's variables (None: all of them)."""
        return map(self._shorten, self._table.watch(self._full_names(names)))


def _keys(self):
    """A view of the names, in ident order."""
    return KeysView(self)


def _items(self):
    """The (name, value) pairs, read in one pass: snapshot().items()."""
    return self.snapshot().items()


def _values(self):
    """The values, read in one pass: snapshot().values()."""
    return self.snapshot().values()


def _watch(self, names=None):
    """Yields {name: new value} for every change of `names` (None: any variable).

    An iterator with its own position in the stream of changes, from the
    call on: no change between two steps is missed. Ends with NoLiveTable
    when the table goes away.

        for changes in table.watch(["IORSH_SPEED", "MEMSH_STATUS"]):
            print(changes)
    """
    waiter = self.waiter()

    def changes():
        while True:
            yield waiter.wait(names)

    return changes()


def _iorsh(self):
    """The IORSh facade's view: IORSH_ names without their prefix."""
    return FacadeView(self, "IORSH_")


def _memsh(self):
    """The MemSh facade's view: MEMSH_ names without their prefix."""
    return FacadeView(self, "MEMSH_")


def complete(table_class):
    """Adds the pure-Python methods to the compiled Table class."""
    table_class.keys = _keys
    table_class.items = _items
    table_class.values = _values
    table_class.watch = _watch
    table_class.iorsh = property(_iorsh, doc=_iorsh.__doc__)
    table_class.memsh = property(_memsh, doc=_memsh.__doc__)
    MutableMapping.register(table_class)
