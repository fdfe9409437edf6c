"""Testing plugins in isolation: a fresh manager in place of the shared one, for one block.

``fresh_manager()`` installs a new, empty ``PluginManager`` as ``mirtal.__plugin_manager__`` and
yields it. Plugin modules read that attribute when they are imported (``from mirtal import
__plugin_manager__``), and the discovery methods and ``mirtal.load_plugins`` import plugins or read
it when they are called: inside the block, whatever is imported registers on the fresh manager.
On exit, also when the block raises (the exception propagates) or rebound the attribute itself:

- ``mirtal.__plugin_manager__`` is again the very object it was before;
- every module imported inside the block is forgotten (taken out of ``sys.modules`` and unbound
  from its parent package), so the next block imports it afresh;
- every module that was imported before the block and was replaced or removed inside it is put
  back, the same object, in ``sys.modules`` and on its parent package.

The kit forgets only what was imported inside the block. A module imported before it (by a
``conftest.py``, another plugin, an earlier discovery) is not run again inside: it registered on
the manager that was shared when it was imported. ``forget=("my_plugin",)`` takes such modules
(each name with the modules below it) out of ``sys.modules`` on entry, so that the block imports
them afresh, and puts the originals back on exit. A module that must not be imported twice in one
process (some extension modules refuse it) should be imported before the block.

Blocks nest; each one restores what it found. The kit changes nothing else (warning filters,
logging, ``sys.path``) and is not meant for several threads importing at once.
"""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterable, Iterator
from types import ModuleType
from typing import cast

import mirtal
from mirtal.core.pluginmanager import PluginManager

__all__ = ["fresh_manager"]

_MISSING = object()

# What forgetting these would break: the package whose attribute is swapped, and the manager's
# own modules, which the extension and every plugin hold on to.
_UNFORGETTABLE = ("mirtal", "mirtal.core", "mirtal.core.pluginmanager", "mirtal.core.errors",
                  "mirtal.loading", "mirtal.testing")


def _covers(names: tuple[str, ...], module: str) -> bool:
    return any(module == name or module.startswith(name + ".") for name in names)


def _forget_names(forget: Iterable[str]) -> tuple[str, ...]:
    if isinstance(forget, (str, bytes)):
        raise TypeError("forget must be a collection of module names, not a single string")
    names = []
    for name in forget:
        if not isinstance(name, str) or not name:
            raise TypeError(f"forget holds module names (non-empty str), not {name!r}")
        if any(_covers((name,), module) for module in _UNFORGETTABLE):
            raise ValueError(f"mirtal.testing cannot forget {name!r}: it covers mirtal's own "
                             "modules (name the plugin modules, such as 'mirtal.plugins')")
        names.append(name)
    return tuple(names)


def _parent_namespace(name: str) -> tuple[dict[str, object] | None, str]:
    """The namespace of the package that binds module `name` as an attribute, and that
    attribute's name (None if the package is not imported)."""
    package, _, child = name.rpartition(".")
    parent = sys.modules.get(package) if package else None
    namespace = getattr(parent, "__dict__", None)
    return (namespace if isinstance(namespace, dict) else None), child


def _rebind(name: str, target: object, was: object, unbound: bool) -> None:
    """Binds `target` (_MISSING: nothing) as the attribute of the parent package where the
    package binds a module of that name, as the import system does: the module `was`, any other
    module of that name, or nothing when the kit unbound it itself on entry."""
    namespace, child = _parent_namespace(name)
    if namespace is None:
        return
    bound = namespace.get(child, _MISSING)
    if bound is target:
        return
    if bound is _MISSING:
        ours = unbound
    else:
        ours = bound is was or (isinstance(bound, ModuleType)
                                and vars(bound).get("__name__") == name)
    if not ours:
        return
    if target is _MISSING:
        del namespace[child]
    else:
        namespace[child] = target


@contextlib.contextmanager
def fresh_manager(*, forget: Iterable[str] = ()) -> Iterator[PluginManager]:
    """A new, empty manager as ``mirtal.__plugin_manager__`` for the block; see the module's
    docstring for what is restored on exit.

    ``forget``: names of modules (each with the modules below it) imported before the block that
    the block should import afresh; they are put back on exit.
    """
    names = _forget_names(forget)
    modules = sys.modules
    shared = mirtal.__plugin_manager__
    manager = PluginManager()
    forgotten: dict[str, ModuleType] = {}
    unbound: set[str] = set()
    if names:
        # Deepest first, so that a package is still in sys.modules while its modules leave it.
        for name in sorted((n for n in modules if isinstance(n, str) and _covers(names, n)),
                           key=lambda n: n.count("."), reverse=True):
            module = modules.pop(name)
            forgotten[name] = module
            namespace, child = _parent_namespace(name)
            if namespace is not None and namespace.get(child, _MISSING) is module:
                del namespace[child]
                unbound.add(name)
    before = dict(modules)
    mirtal.__plugin_manager__ = manager
    try:
        yield manager
    finally:
        mirtal.__plugin_manager__ = shared
        _restore_modules(before, forgotten, unbound)


def _restore_modules(before: dict[str, ModuleType], forgotten: dict[str, ModuleType],
                     unbound: set[str]) -> None:
    modules = cast("dict[str, object]", sys.modules)
    # What each name held at exit, where that differs from what it held on entry.
    found = {name: module for name, module in modules.items() if name not in before}
    found.update((name, modules.get(name, _MISSING)) for name, module in before.items()
                 if modules.get(name, _MISSING) is not module)
    for name in found:
        if name not in before:
            del modules[name]
    modules.update((name, before[name]) for name in found if name in before)
    modules.update(forgotten)
    # Then the packages' attributes, each package looked up in the result.
    for name in {**found, **forgotten}:
        if isinstance(name, str):
            target = before.get(name, forgotten.get(name, _MISSING))
            _rebind(name, target, found.get(name, _MISSING), name in unbound)
