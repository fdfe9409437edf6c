"""Text made from plugin-supplied objects, for people and for JSON.

Nothing here trusts the object: whatever its __str__, __repr__ or attributes do, the result is an
exact str. The module needs neither the extension nor pkg_resources.
"""

from __future__ import annotations

import math
from typing import Any

__all__ = ["json_key", "key_text", "one_line", "qualified_name", "safe_repr", "safe_str",
           "shown", "stable_repr", "type_name"]



def _read(obj: Any, name: str, default: Any = None) -> Any:
    """getattr for a description: whatever the attribute raises, the default."""
    try:
        return getattr(obj, name, default)
    except Exception:
        return default


def plain(text: str) -> str:
    """An exact str with the characters of a str (or of a subclass of it)."""
    return str.__getitem__(text, slice(None))


def type_name(obj: object) -> str:
    """The name of the object's class, as the interpreter keeps it (a metaclass cannot hide it)."""
    cls = type(obj)
    name = _read(cls, "__name__")
    return plain(name) if isinstance(name, str) else plain(type.__dict__["__name__"].__get__(cls))


def _made(make: Any, obj: object) -> str:
    """What `make` (repr or str) gives for the object, or ``<unprintable ValueError>`` when it
    raises or gives no str."""
    try:
        text = make(obj)
    except Exception:
        text = None
    return plain(text) if isinstance(text, str) else f"<unprintable {type_name(obj)}>"


def safe_repr(obj: object) -> str:
    return _made(repr, obj)


def safe_str(obj: object) -> str:
    """str() of the object, or ``<unprintable ValueError>`` when it cannot be made."""
    return plain(obj) if isinstance(obj, str) else _made(str, obj)


def stable_repr(obj: object) -> str:
    """repr() with the members of a set in a fixed order, so the text does not follow the hash
    seed."""
    if isinstance(obj, (set, frozenset)):
        try:
            members = sorted(stable_repr(member) for member in obj)
        except Exception:
            return f"<unprintable {type_name(obj)}>"
        if not members:
            return f"{type_name(obj)}()"
        inner = "{" + ", ".join(members) + "}"
        return inner if type(obj) is set else f"{type_name(obj)}({inner})"
    if type(obj) is tuple:
        items = [stable_repr(item) for item in obj]
        return "(" + ", ".join(items) + ("," if len(items) == 1 else "") + ")"
    return safe_repr(obj)


def key_text(key: object) -> str:
    """A tree key as text: a str as itself, anything else by its str() (sets ordered)."""
    if isinstance(key, str):
        return plain(key)
    if isinstance(key, (set, frozenset, tuple)):
        return stable_repr(key)
    return safe_str(key)


def qualified_name(obj: object) -> str:
    """``module.qualname`` of a class (or of anything that has them), else its repr."""
    module = _read(obj, "__module__")
    name = _read(obj, "__qualname__") or _read(obj, "__name__")
    if isinstance(module, str) and isinstance(name, str) and module and name:
        return f"{plain(module)}.{plain(name)}"
    return safe_repr(obj)


def json_key(key: object) -> Any:
    """A tree key as JSON; distinct keys never share a representation.

    Text as a string, None, booleans and finite numbers as themselves, tuples as arrays of such
    keys, anything else as {"type": ..., "repr": ...} (a set's members in a fixed order).
    """
    if isinstance(key, str):
        return plain(key)
    if key is None or type(key) in (bool, int):
        return key
    if type(key) is float and math.isfinite(key):
        return key
    if type(key) is tuple:
        return [json_key(item) for item in key]
    return {"type": type_name(key), "repr": stable_repr(key)}


def one_line(text: object) -> str:
    return " ".join(safe_str(text).split())


def shown(text: object) -> str:
    """Text that is safe to put on a terminal line: control and other non-printable characters
    (escape, line feed, NUL, lone surrogates) written as escapes, so that one item stays one line
    and nothing reaches the terminal as a control sequence."""
    text = safe_str(text)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape", "backslashreplace")
                   .decode("ascii") for c in text)
