"""The plugin tree as the manager keeps it, read from Python: one key path, one walk, one key order.

The loading layer and the command line read the tree through these only. They need neither the
extension nor pkg_resources: the default chassis type is read from the manager's own signature
when asked for.
"""

from __future__ import annotations

from typing import Any

from mirtal.text import key_text

__all__ = ["DATA", "default_chassis_type", "key_path", "occupant", "ordered", "record", "walk"]

#: The key under which a node holds its chassis map.
DATA = "data"


def key_path(os: Any, series: Any = None, model: Any = None) -> tuple[Any, ...]:
    """The keys that address a node: os, then series, then model, decided by identity with
    None, as the manager decides them."""
    if model is not None:
        return (os, series, model)
    if series is not None:
        return (os, series)
    return (os,)


def walk(tree: Any, path: tuple[Any, ...]) -> tuple[Any, list[Any]]:
    """The deepest node along the path and the keys that reach it: the walk of get_plugin, which
    goes on as far as nodes exist."""
    node, reached = tree, []
    for key in path:
        if not isinstance(node, dict) or key not in node:
            break
        node = node[key]
        reached.append(key)
    return node, reached


def record(node: Any, chassis_type: Any) -> dict[Any, Any] | None:
    """The plugin record of that chassis type at the node, None if it holds none."""
    data = node.get(DATA) if isinstance(node, dict) else None
    found = data.get(chassis_type) if isinstance(data, dict) else None
    return found if isinstance(found, dict) else None


def occupant(tree: Any, path: tuple[Any, ...], chassis_type: Any) -> Any:
    """The class stored at exactly that place, None if none (or the tree cannot be read)."""
    try:
        node, reached = walk(tree, path)
        found = record(node, chassis_type) if len(reached) == len(path) else None
        return None if found is None else found.get("cls")
    except Exception:
        return None


def ordered(mapping: dict[Any, Any]) -> list[tuple[Any, Any]]:
    """The items of a level in the order of the text tree (print_tree): by the keys' text (code
    points), keys of equal text in their order. A set's members are ordered in its text, so
    nothing depends on the hash seed; a key's own comparison is never asked."""
    return sorted(mapping.items(), key=lambda item: key_text(item[0]))


def default_chassis_type() -> Any:
    """The chassis type that register_plugin and get_plugin use when none is given, as the
    manager's signature says."""
    import inspect

    from mirtal.core.pluginmanager import PluginManager

    return inspect.signature(PluginManager.get_plugin).parameters["chassis_type"].default
