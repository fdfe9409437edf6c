"""Loading the plugins one source at a time, with a report of what each one did.

``load_plugins()`` imports what the two discovery methods of the plugin manager import, in the same
order and with the same debug lines: the built-in plugin modules in the order of the package walk,
then the modules named by the entry points of the group ``mirtal.plugins`` in the order the
entry-point service gives them. Unlike the discovery methods it loads each module and each entry
point on its own, so a failing one does not hide the ones after it, and it records what each of
them registered on the shared manager: a ``LoadReport``.

What each source registered is seen by watching the shared manager's ``register_plugin`` while
the sources load (an override in the instance's own attributes, which the manager honours and
which is taken away afterwards). What the watch sees and what it does not:

- seen: every successful call of ``register_plugin`` made on ``mirtal.__plugin_manager__`` while a
  source loads, whoever makes it (the source's module, a module it imports, a thread running
  meanwhile), attributed to that source, and the class that the registration replaced;
- not seen: registrations on another manager, writes into the tree made without
  ``register_plugin``, ``unregister_plugin`` calls, and registrations made after the source's
  import returned (from a thread or a callback). A source that rebinds ``register_plugin`` on the
  shared manager replaces the watch for whatever it registers afterwards.

The report never guesses: a module that was imported before (by a discovery method, an earlier
load or any import) is not run again, and its source is reported as ``already_loaded`` with its
registrations unknown (None).
"""

from __future__ import annotations

import builtins
import math
import os
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal

import mirtal
from mirtal.core import pluginmanager

__all__ = [
    "Conflict",
    "LoadReport",
    "PluginLoadError",
    "PluginLoadWarning",
    "PluginSource",
    "Registration",
    "load_plugins",
]

Status = Literal["loaded", "failed", "excluded", "already_loaded"]
Kind = Literal["builtin", "external"]
OnError = Literal["raise", "warn"] | Callable[["PluginLoadError"], object]

_MISSING = object()


def qualified_name(obj: object) -> str:
    """``module.qualname`` of a class (or of anything that has them), else its repr."""
    module = getattr(obj, "__module__", None)
    name = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    return f"{module}.{name}" if module and name else repr(obj)


def json_key(key: object) -> Any:
    """A tree key as JSON; distinct keys never share a representation.

    Text as a string, None, booleans and finite numbers as themselves, tuples as arrays of such
    keys, anything else as {"type": ..., "repr": ...}.
    """
    if key is None or isinstance(key, (str, bool, int)):
        return key
    if isinstance(key, float) and math.isfinite(key):
        return key
    if isinstance(key, tuple):
        return [json_key(item) for item in key]
    return {"type": type(key).__qualname__, "repr": repr(key)}


def one_line(text: object) -> str:
    return " ".join(str(text).split())


def _where(error: BaseException) -> str:
    """The innermost frame outside the import machinery (the plugin's own code), as text."""
    import sysconfig
    import traceback

    machinery = ["<", os.path.dirname(str(pluginmanager.__file__)), __file__]
    resources_file = getattr(sys.modules.get("pkg_resources"), "__file__", None)
    if isinstance(resources_file, str):
        machinery.append(os.path.dirname(resources_file))
    stdlib = sysconfig.get_path("stdlib")
    installed = (sysconfig.get_path("purelib"), sysconfig.get_path("platlib"))

    def plugin_code(name: str) -> bool:
        if name.startswith(tuple(machinery)):
            return False
        return name.startswith(installed) or not name.startswith(stdlib)

    frames = [f for f in traceback.extract_tb(error.__traceback__) if plugin_code(f.filename)]
    return f" ({frames[-1].filename}, line {frames[-1].lineno})" if frames else ""


class Registration:
    """One successful ``register_plugin`` call seen while a source loaded."""

    __slots__ = ("source", "node", "chassis_type", "cls", "replaced")

    def __init__(self, source: PluginSource, node: tuple[Any, ...], chassis_type: Any,
                 cls: Any, replaced: Any) -> None:
        #: The source that was loading when the call was made.
        self.source = source
        #: The key path: (os,), (os, series) or (os, series, model).
        self.node = node
        self.chassis_type = chassis_type
        self.cls = cls
        #: The class that the call replaced at that place, None if there was none.
        self.replaced = replaced

    @property
    def source_failed(self) -> bool:
        """Whether the source that made it failed afterwards."""
        return self.source.status == "failed"

    def to_dict(self) -> dict[str, Any]:
        return {"node": [json_key(key) for key in self.node],
                "chassis_type": json_key(self.chassis_type),
                "class": qualified_name(self.cls), "source_failed": self.source_failed}

    def __repr__(self) -> str:
        place = "/".join(map(str, self.node))
        return f"<Registration {qualified_name(self.cls)} at {place} ({self.chassis_type!s})>"


class PluginSource:
    """A built-in plugin module or an entry point, and what came of loading it."""

    __slots__ = ("kind", "name", "module", "distribution", "version", "entry_point", "status",
                 "error", "registrations")

    def __init__(self, kind: Kind, name: str, module: str | None = None,
                 distribution: str | None = None, version: str | None = None,
                 entry_point: Any = None) -> None:
        self.kind: Kind = kind
        #: The dotted module name of a built-in plugin; the entry point's name.
        self.name = name
        self.module = module
        self.distribution = distribution
        self.version = version
        #: The entry point object itself (None for a built-in plugin).
        self.entry_point = entry_point
        self.status: Status = "loaded"
        #: The failure, with the exception that the source raised as its ``error``.
        self.error: PluginLoadError | None = None
        #: What the source registered, in order; None when unknown (already loaded, excluded).
        self.registrations: list[Registration] | None = []

    @property
    def label(self) -> str:
        """How the source is named in a conflict: the module, or entry point and distribution."""
        if self.kind == "builtin":
            return self.name
        text = f"{self.name} ({self.module or '?'})"
        return f"{text} of {self.distribution} {self.version}" if self.distribution else text

    def to_dict(self) -> dict[str, Any]:
        return {
            "kind": self.kind, "name": self.name, "module": self.module,
            "distribution": self.distribution,
            # A built-in plugin's version is mirtal's, read from its metadata only when asked.
            "version": mirtal.__version__ if self.kind == "builtin" else self.version,
            "status": self.status,
            "error": None if self.error is None else self.error.as_json(),
            "registrations": None if self.registrations is None
            else [registration.to_dict() for registration in self.registrations],
        }

    def __repr__(self) -> str:
        return f"<PluginSource {self.kind} {self.label}: {self.status}>"


class Conflict:
    """One place (node and chassis type) that sources registered different classes at."""

    def __init__(self, node: tuple[Any, ...], chassis_type: Any,
                 registrations: list[Registration], before: Any, current: Any) -> None:
        self.node = node
        self.chassis_type = chassis_type
        #: The registrations at this place, in the order they were made.
        self.registrations = registrations
        #: The class that was there before the load (None if none was, or none that differs).
        self.before = before
        #: The class in the tree now (None if the place was emptied since).
        self.current = current

    def to_dict(self) -> dict[str, Any]:
        registrations = [{"source": None, "distribution": None,
                          "class": qualified_name(self.before), "source_failed": False}] \
            if self.before is not None else []
        registrations += [
            {"source": r.source.label, "distribution": r.source.distribution,
             "class": qualified_name(r.cls), "source_failed": r.source_failed}
            for r in self.registrations]
        return {"node": [json_key(key) for key in self.node],
                "chassis_type": json_key(self.chassis_type), "registrations": registrations,
                "class": None if self.current is None else qualified_name(self.current)}

    def __str__(self) -> str:
        place = "/".join(map(str, self.node))
        made = [f"{qualified_name(self.before)} (registered before)"] if self.before else []
        made += [f"{qualified_name(r.cls)} by {r.source.label}"
                 + (" (which then failed)" if r.source_failed else "") for r in self.registrations]
        now = "none" if self.current is None else qualified_name(self.current)
        return f"{place} ({self.chassis_type!s}): {', then '.join(made)}; in the tree: {now}"

    def __repr__(self) -> str:
        return f"<Conflict {self}>"


class LoadReport:
    """What ``load_plugins`` loaded: every source with its status and registrations."""

    def __init__(self, manager: Any, exclude: Iterable[str] = ()) -> None:
        self.manager = manager
        #: Every source in the order it was met (excluded ones included).
        self.sources: list[PluginSource] = []
        #: The names given to exclude that matched no source.
        self.unmatched_exclusions: list[str] = list(exclude)

    @property
    def failures(self) -> list[PluginSource]:
        return [source for source in self.sources if source.status == "failed"]

    @property
    def registrations(self) -> Iterator[Registration]:
        for source in self.sources:
            yield from source.registrations or ()

    @property
    def conflicts(self) -> list[Conflict]:
        """Every place that more than one source registered different classes at (a class that
        was there before the load counts as one more source)."""
        places: dict[Any, list[Registration]] = {}
        for registration in self.registrations:
            try:
                places.setdefault((registration.node, registration.chassis_type), []).append(
                    registration)
            except Exception:  # a key that cannot be hashed any more: a place of its own
                places[object()] = [registration]
        conflicts = []
        for made in places.values():
            first = made[0]
            before = first.replaced
            if before is not None and before is first.cls:
                before = None
            classes = {id(r.cls) for r in made} | ({id(before)} if before is not None else set())
            sources = {id(r.source) for r in made} | ({0} if before is not None else set())
            if len(classes) > 1 and len(sources) > 1:
                current = _occupant(self.manager, first.node, first.chassis_type)
                conflicts.append(Conflict(first.node, first.chassis_type, made, before,
                                          current))
        return conflicts

    def to_dict(self) -> dict[str, Any]:
        """The report as plain data (lists, dicts, strings, numbers, booleans and None)."""
        return {
            "sources": [source.to_dict() for source in self.sources],
            "failures": [source.error.as_json() for source in self.failures
                         if source.error is not None],
            "conflicts": [conflict.to_dict() for conflict in self.conflicts],
            "unmatched_exclusions": list(self.unmatched_exclusions),
        }

    def counts(self) -> dict[str, int]:
        counts = dict.fromkeys(("loaded", "failed", "excluded", "already_loaded"), 0)
        for source in self.sources:
            counts[source.status] = counts.get(source.status, 0) + 1
        return counts

    def __repr__(self) -> str:
        counts = ", ".join(f"{count} {status}" for status, count in self.counts().items())
        registered = sum(1 for _ in self.registrations)
        return (f"<LoadReport: {len(self.sources)} sources ({counts}), "
                f"{registered} registrations, {len(self.conflicts)} conflicts>")


def _read(obj: Any, name: str, default: Any = None) -> Any:
    """getattr for a description: whatever the attribute raises, the default."""
    try:
        return getattr(obj, name, default)
    except Exception:
        return default


class PluginLoadError(Exception):
    """A plugin failed to load; names the source it came from. ``error`` is what it raised."""

    def __init__(self, error: BaseException, entry_point: Any = None,
                 source: PluginSource | None = None) -> None:
        super().__init__(error)
        self.error = error
        self.entry_point = entry_point
        self.source = source

    def _described(self) -> PluginSource | None:
        """The source, or one read from a bare entry point (whatever its attributes raise)."""
        plugin = self.entry_point
        if self.source is not None or plugin is None:
            return self.source
        dist = _read(plugin, "dist")
        return PluginSource("external", str(_read(plugin, "name", "?")),
                            str(_read(plugin, "module_name", "?")), _read(dist, "project_name"),
                            _read(dist, "version"), plugin)

    def culprit(self) -> dict[str, Any]:
        """What failed: entry point name, module, distribution and version (None if unknown)."""
        source = self._described()
        if source is None or source.kind == "builtin":
            return {"entry_point": None, "module": source.name if source else None,
                    "distribution": "mirtal", "version": mirtal.__version__}
        return {"entry_point": source.name if source.entry_point is not None else None,
                "module": source.module, "distribution": source.distribution,
                "version": source.version}

    def __str__(self) -> str:
        source = self._described()
        if source is None or source.kind == "builtin":
            what = "a built-in plugin"
        elif source.entry_point is None:  # listing the entry points failed
            what = f"the entry points of {source.name}"
        else:
            what = f"plugin {source.label}"
        error = self.error
        return one_line(f"{what} failed to load: {type(error).__name__}: {error}{_where(error)}")

    def as_json(self) -> dict[str, Any]:
        return {**self.culprit(), "exception": type(self.error).__name__,
                "exception_message": str(self.error), "message": str(self)}


class PluginLoadWarning(UserWarning):
    """Issued by ``load_plugins(on_error="warn")`` for each plugin that failed to load."""


def _occupant(manager: Any, node: tuple[Any, ...], chassis_type: Any) -> Any:
    """The class stored at that place of the manager's tree, None if none (or unreadable)."""
    try:
        level = manager.plugins
        for key in node:
            if type(level) is not dict:
                return None
            level = level.get(key)
        data = level.get("data") if type(level) is dict else None
        record = data.get(chassis_type) if type(data) is dict else None
        return record.get("cls") if type(record) is dict else None
    except Exception:
        return None


class _Watch:
    """The shared manager's register_plugin, recorded while the sources load."""

    def __init__(self, manager: Any) -> None:
        self.manager = manager
        self.source: PluginSource | None = None
        self.wrapper: Callable[..., Any] | None = None
        self.saved: Any = _MISSING

    def __enter__(self) -> _Watch:
        manager = self.manager
        own = vars(manager) if hasattr(manager, "__dict__") else None
        if own is None:  # no instance attributes: nothing can be watched
            return self
        self.saved = own.get("register_plugin", _MISSING)
        delegate = manager.register_plugin
        watch = self

        def register_plugin(*args: Any, **kwargs: Any) -> Any:
            # Runs once for each registration of every plugin: kept to plain local work.
            source = watch.source
            made = None if source is None else source.registrations
            if made is None:
                return delegate(*args, **kwargs)
            count = len(args)
            os_ = args[1] if count > 1 else kwargs.get("os")
            series = args[2] if count > 2 else kwargs.get("series")
            model = args[3] if count > 3 else kwargs.get("model")
            chassis_type = args[4] if count > 4 else kwargs.get("chassis_type", "single_rp")
            node = ((os_, series, model) if model is not None
                    else (os_, series) if series is not None else (os_,))
            replaced = _occupant(manager, node, chassis_type)
            result = delegate(*args, **kwargs)
            made.append(Registration(source, node, chassis_type,
                                     args[0] if count else kwargs.get("cls"), replaced))
            return result

        self.wrapper = register_plugin
        own["register_plugin"] = register_plugin
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.source = None
        own = vars(self.manager) if self.wrapper is not None else None
        # Taken away only if it is still ours: a plugin that rebound the method keeps its own
        # (which calls ours, which then only delegates).
        if own is not None and own.get("register_plugin") is self.wrapper:
            if self.saved is _MISSING:
                del own["register_plugin"]
            else:
                own["register_plugin"] = self.saved


def _handler(on_error: Any) -> Callable[[PluginLoadError], object]:
    if callable(on_error):
        return on_error  # type: ignore[no-any-return]
    if on_error == "raise":
        def fail(failure: PluginLoadError) -> object:
            raise failure from failure.error
        return fail
    if on_error == "warn":
        def warn(failure: PluginLoadError) -> object:
            warnings.warn(str(failure), PluginLoadWarning, stacklevel=5)
            return None
        return warn
    raise ValueError(f"on_error must be 'raise', 'warn' or a callable, not {on_error!r}")


def _exclusions(exclude: Iterable[str]) -> list[str]:
    if isinstance(exclude, (str, bytes)):
        raise TypeError("exclude must be a collection of names, not a single string")
    names = []
    for name in exclude:
        if not isinstance(name, str):
            raise TypeError(f"exclude holds names (str), not {type(name).__name__}")
        if name and name not in names:
            names.append(name)
    return names


def _excluded(name: str, exclude: list[str], unmatched: list[str], below: bool = False) -> bool:
    """Whether `name` is excluded: named itself, or (with `below`, for modules) a module below an
    excluded package."""
    for excluded in exclude:
        if name == excluded or below and name.startswith(excluded + "."):
            if excluded in unmatched:
                unmatched.remove(excluded)
            return True
    return False


def _fail(source: PluginSource, error: BaseException,
          handler: Callable[[PluginLoadError], object]) -> None:
    source.status = "failed"
    failure = PluginLoadError(error, source.entry_point, source)
    source.error = failure
    handler(failure)


def _unreachable(report: LoadReport, kind: Kind, name: str, error: Exception,
                 handler: Callable[[PluginLoadError], object]) -> None:
    """The package walk or the entry-point listing failed (or the package could not be found):
    the plugins after that point cannot be reached. Reported as a failed source of that name."""
    source = PluginSource(kind, name, None, "mirtal" if kind == "builtin" else None)
    source.registrations = None
    report.sources.append(source)
    _fail(source, error, handler)


def _top_package() -> tuple[Any, Any]:
    """The search path and name of the package above the manager's, as built-in discovery
    finds them (its __path__, or the directory of its __file__)."""
    context = vars(pluginmanager)
    package: Any
    try:
        package = builtins.__import__("", context, None, ("__path__", "__name__"), 2)
        return package.__path__, package.__name__
    except (ImportError, AttributeError):
        package = builtins.__import__("", context, None, ("__file__", "__name__"), 2)
        return [pluginmanager.os.path.dirname(package.__file__)], package.__name__


def _load_builtin(report: LoadReport, watch: _Watch, exclude: list[str],
                  handler: Callable[[PluginLoadError], object]) -> None:
    modules = sys.modules
    package_name = "mirtal"

    def walk_failed(error: Exception, where: str) -> None:
        _unreachable(report, "builtin", where, error, handler)

    try:
        path, package_name = _top_package()
        walk = iter(pluginmanager.pkgutil.walk_packages(path, package_name + "."))
    except Exception as error:
        walk_failed(error, package_name)
        return
    last: tuple[str, bool] | None = None
    while True:
        # A package that failed or is excluded must not be imported by the walk itself to
        # descend into it: a None in sys.modules makes that import fail as an ImportError, which
        # the walk skips; it is taken away at once.
        blocked = None
        if last is not None and last[1] and last[0] not in modules:
            blocked = last[0]
            modules[blocked] = None  # type: ignore[assignment]
        try:
            entry = next(walk)
        except StopIteration:
            return
        except Exception as error:
            walk_failed(error, last[0] if last is not None else package_name)
            return
        finally:
            if blocked is not None and modules.get(blocked, _MISSING) is None:
                del modules[blocked]
        last = None
        name = entry[1]
        if ".plugins." not in name:
            continue
        source = PluginSource("builtin", name, name, "mirtal")
        report.sources.append(source)
        if _excluded(name, exclude, report.unmatched_exclusions, below=True):
            source.status, source.registrations = "excluded", None
            last = (name, bool(entry[2]))
            continue
        if name in modules:
            source.status, source.registrations = "already_loaded", None
        watch.source = source
        try:
            pluginmanager.importlib.import_module(name)
        except Exception as error:
            last = (name, bool(entry[2]))
            _fail(source, error, handler)
        finally:
            watch.source = None


def _load_external(report: LoadReport, watch: _Watch, exclude: list[str],
                   handler: Callable[[PluginLoadError], object]) -> None:
    modules = sys.modules
    try:
        entry_points = iter(pluginmanager.iter_entry_points(group=pluginmanager.ENTRYPOINT_GROUP))
    except Exception as error:
        _unreachable(report, "external", str(pluginmanager.ENTRYPOINT_GROUP), error, handler)
        return
    while True:
        try:
            plugin = next(entry_points)
        except StopIteration:
            return
        except Exception as error:
            _unreachable(report, "external", str(pluginmanager.ENTRYPOINT_GROUP), error, handler)
            return
        source = PluginSource("external", "?", entry_point=plugin)
        report.sources.append(source)
        watch.source = source
        try:
            name = str(plugin.name)
            source.name = name
            dist = getattr(plugin, "dist", None)
            source.distribution = getattr(dist, "project_name", None)
            source.version = getattr(dist, "version", None)
            module_name = plugin.module_name
            source.module = str(module_name)
            if _excluded(name, exclude, report.unmatched_exclusions):
                source.status, source.registrations = "excluded", None
                continue
            pluginmanager.log.debug("Loading external plugin " + name + " from "
                                    + source.module)
            if source.module in modules:
                source.status, source.registrations = "already_loaded", None
            plugin.load()
        except Exception as error:
            _fail(source, error, handler)
        finally:
            watch.source = None


def load_plugins(*, builtin: bool = True, external: bool = True, exclude: Iterable[str] = (),
                 on_error: OnError = "raise") -> LoadReport:
    """Load the plugins, each built-in plugin module and each entry point on its own, and report.

    The sources load in the order of the discovery methods (built-in modules, then entry points)
    and register on the shared manager ``mirtal.__plugin_manager__``, as they always do. Each
    module is imported once per process: a source imported before is reported as
    ``already_loaded``, with its registrations unknown.

    ``exclude``: entry-point names and dotted names of built-in plugin modules (a package's name
    excludes the modules below it) that are not loaded. ``on_error``: ``"raise"`` raises a
    ``PluginLoadError`` naming the first failing source (chained from what it raised);
    ``"warn"`` issues a ``PluginLoadWarning`` for each one and loads the others; a callable is
    called with each ``PluginLoadError`` and the others are loaded (what it raises propagates).
    """
    handler = _handler(on_error)
    names = _exclusions(exclude)
    manager = mirtal.__plugin_manager__
    report = LoadReport(manager, names)
    with _Watch(manager) as watch:
        try:
            if builtin:
                _load_builtin(report, watch, names, handler)
            if external:
                _load_external(report, watch, names, handler)
        finally:
            if watch.wrapper is None:
                # A shared manager without instance attributes cannot be watched: what the
                # sources registered is unknown, not nothing.
                for source in report.sources:
                    source.registrations = None
    return report
