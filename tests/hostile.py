"""Objects that fight back: keys whose hash collides with a field name, numbers, strings and
containers whose every special method may clear or change the call's inputs, or raise.

A `Trap` is shared by the hostile objects of one call. Once armed, it counts the touches of
its objects (any special method, a collision's __eq__, a container's items/get/...) and, on
the chosen touch, strikes: it clears or scrambles every container of the call's inputs (and,
for a key, every dict that holds it, private copies included), or raises `Strike`.
"""

from __future__ import annotations

import gc

JUNK = object()


class Strike(Exception):
    """Raised by a hostile object whose trap's action is "raise"."""


class Trap:
    def __init__(self, action: str, at: int):
        self.action, self.at = action, at  # "clear" | "scramble" | "raise"; strike on touch number `at`
        self.touches = 0
        self.armed = False
        self.struck = False
        self.victims: list = []  # containers of the call's inputs

    def touch(self, origin=None) -> None:
        if not self.armed:
            return
        self.touches += 1
        if self.touches != self.at:
            return
        self.struck = True
        if self.action == "raise":
            raise Strike(f"struck on touch {self.at}")
        victims = list(self.victims)
        if origin is not None:  # reach the dicts the client copied the key into
            victims += [r for r in gc.get_referrers(origin) if type(r) is dict or isinstance(r, (HDict, HList))]
        for victim in victims:
            if isinstance(victim, dict):
                if self.action == "clear":
                    dict.clear(victim)
                else:
                    for key in list(dict.keys(victim)):
                        dict.__setitem__(victim, key, JUNK)
            elif isinstance(victim, list):
                list.__setitem__(victim, slice(None), [] if self.action == "clear" else [JUNK])


def _touching(base, names):
    """A subclass of `base` whose methods `names` touch the trap before doing their work."""

    def wrap(name):
        original = getattr(base, name)

        def method(self, *args, **kwargs):
            self._trap.touch()
            return original(self, *args, **kwargs)

        method.__name__ = name
        return method

    namespace = {name: wrap(name) for name in names if hasattr(base, name)}
    namespace["__hash__"] = wrap("__hash__") if base is not dict and base is not list else None

    def new(cls, *args, trap):
        self = base.__new__(cls, *args) if base in (str, int, float, bytes, tuple) else base.__new__(cls)
        self._trap = trap
        return self

    def init(self, *args, trap):
        if base in (dict, list):
            base.__init__(self, *args)

    namespace.update(__new__=new, __init__=init)
    return type("H" + base.__name__.capitalize(), (base,), namespace)


_COMPARE = [
    "__eq__",
    "__ne__",
    "__lt__",
    "__le__",
    "__gt__",
    "__ge__",
    "__bool__",
    "__format__",
    "__str__",
    "__repr__",
    "__len__",
    "__iter__",
    "__contains__",
    "__getitem__",
]
_NUMBER = [
    "__float__",
    "__int__",
    "__index__",
    "__round__",
    "__abs__",
    "__neg__",
    "__add__",
    "__radd__",
    "__sub__",
    "__rsub__",
    "__mul__",
    "__rmul__",
    "__truediv__",
    "__rtruediv__",
]
HStr = _touching(
    str,
    _COMPARE
    + ["strip", "rstrip", "lstrip", "encode", "lower", "upper", "startswith", "split", "join", "__add__", "__mod__"],
)
HInt = _touching(int, _COMPARE + _NUMBER)
HFloat = _touching(float, _COMPARE + _NUMBER)
HBytes = _touching(bytes, _COMPARE + ["decode", "__add__"])
HTuple = _touching(tuple, _COMPARE)
HList = _touching(list, _COMPARE + ["copy", "index", "count"])
HDict = _touching(dict, _COMPARE + ["items", "keys", "values", "get", "copy", "setdefault", "pop", "__setitem__"])


class HObject:
    """A value of no known type whose every special method touches the trap."""

    def __init__(self, trap: Trap):
        self._trap = trap


def _opaque(name):
    def method(self, *args, **kwargs):
        self._trap.touch()
        return {
            "__bool__": True,
            "__len__": 1,
            "__hash__": 7,
            "__index__": 1,
            "__int__": 1,
            "__float__": 1.0,
            "__format__": "obj",
            "__str__": "obj",
            "__repr__": "obj",
            "__iter__": iter(()),
            "__eq__": False,
            "__ne__": True,
            "__contains__": False,
        }.get(name, NotImplemented)

    return method


for _name in _COMPARE + _NUMBER + ["__hash__", "__call__", "__getattr__"]:
    setattr(HObject, _name, _opaque(_name))
HObject.__getattr__ = lambda self, name: (self._trap.touch(), JUNK)[1]


class CollidingKey:
    """A key whose hash is that of `name`: every lookup of `name` in a dict that holds it runs
    this key's __eq__, which, once its trap has struck, claims to be `name`."""

    def __init__(self, name: str, trap: Trap):
        self.name, self._trap = name, trap

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self._trap.touch(origin=self)
        return self._trap.struck

    def __repr__(self):
        return f"CollidingKey({self.name!r})"


def hostile_twin(value, trap: Trap):
    """`value` as a hostile object of its own kind (an opaque object for None and bools)."""
    for base, cls in (
        (bool, None),
        (str, HStr),
        (int, HInt),
        (float, HFloat),
        (bytes, HBytes),
        (tuple, HTuple),
        (list, HList),
        (dict, HDict),
    ):
        if isinstance(value, base):
            return HObject(trap) if cls is None else cls(value, trap=trap)
    return HObject(trap)
