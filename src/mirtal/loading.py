"""Loading the plugins one source at a time, with a report of what each one did.

``load_plugins()`` imports what the two discovery methods of the plugin manager import, in the same
order and with the same debug lines: the built-in plugin modules in the order of the package walk,
then the modules named by the entry points of the group ``mirtal.plugins`` in the order the
entry-point service gives them. Unlike the discovery methods it loads each module and each entry
point on its own, so a failing one does not hide the ones after it, reads each distribution's entry
points on its own, so one unreadable distribution does not hide the others, and records what each
source registered on the shared manager: a ``LoadReport``.

What each source registered is seen by watching the shared manager's ``register_plugin`` while
the sources load (an override in the instance's own attributes, which the manager honours and
which is taken away afterwards). What the watch sees and what it does not:

- seen: every successful call of ``register_plugin`` made on ``mirtal.__plugin_manager__`` while a
  source loads, whoever makes it (the source's module, a module it imports, a thread running
  meanwhile), attributed to that source, and the class that the registration replaced;
- checked after each source: that the watch is still in place, that ``mirtal.__plugin_manager__``
  is still the manager watched, and that the classes the sources before it registered are still in
  the tree. A source that fails one of these is reported with what it did (``tampering``), its
  registrations unknown, and the watch and the shared manager are put back for the sources after
  it;
- not seen: registrations on another manager, writes into the tree made without
  ``register_plugin``, and registrations made after the source's import returned (from a thread
  or a callback).

The report never guesses: a module that was imported before (by a discovery method, an earlier
load or any import) is not run again, and its source is reported as ``already_loaded`` with its
registrations unknown (None).
"""

from __future__ import annotations

import builtins
import inspect
import os
import sys
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal

import mirtal
from mirtal import settings as deployment_settings
from mirtal.core import pluginmanager
from mirtal.text import (
    _read,
    json_key,
    key_text,
    one_line,
    plain,
    qualified_name,
    safe_repr,
    safe_str,
    type_name,
)
from mirtal.tree import key_path, occupant

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


# What the load saw -------------------------------------------------------------------------------


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

    @property
    def place(self) -> tuple[tuple[Any, ...], Any]:
        return self.node, self.chassis_type

    def to_dict(self) -> dict[str, Any]:
        return {"node": [json_key(key) for key in self.node],
                "chassis_type": json_key(self.chassis_type),
                "class": qualified_name(self.cls), "source_failed": self.source_failed}

    def __repr__(self) -> str:
        return (f"<Registration {qualified_name(self.cls)} at {place_text(self.node)} "
                f"({key_text(self.chassis_type)})>")


def place_text(node: Iterable[Any]) -> str:
    return "/".join(map(key_text, node))


class PluginSource:
    """A built-in plugin module or an entry point, and what came of loading it."""

    __slots__ = ("kind", "name", "module", "distribution", "version", "location", "entry_point",
                 "status", "error", "registrations", "tampering", "threads_left")

    def __init__(self, kind: Kind, name: str, module: str | None = None,
                 distribution: str | None = None, version: str | None = None,
                 entry_point: Any = None, location: str | None = None) -> None:
        self.kind: Kind = kind
        #: The dotted module name of a built-in plugin; the entry point's name.
        self.name = name
        self.module = module
        self.distribution = distribution
        self.version = version
        #: The sys.path folder of the distribution (None for a built-in plugin).
        self.location = location
        #: The entry point object itself (None for a built-in plugin).
        self.entry_point = entry_point
        self.status: Status = "loaded"
        #: The failure, with the exception that the source raised as its ``error``.
        self.error: PluginLoadError | None = None
        #: What the source registered, in order; None when unknown (already loaded, excluded,
        #: or the source tampered with the watch).
        self.registrations: list[Registration] | None = []
        #: What the source did to the shared manager or to the others' classes, in words.
        self.tampering: list[str] = []
        #: The names of the threads that the source started and left running.
        self.threads_left: list[str] = []

    @property
    def label(self) -> str:
        """How the source is named in a conflict: the module, or entry point and distribution."""
        if self.kind == "builtin":
            return self.name
        text = f"{self.name} ({self.module or '?'})"
        return f"{text} of {self.distribution} {self.version}" if self.distribution else text

    @property
    def ident(self) -> str:
        """One string that tells this source apart from every other of the same load."""
        return "\0".join(map(str, (self.kind, self.name, self.module, self.distribution,
                                   self.location)))

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
            "tampering": list(self.tampering), "threads_left": list(self.threads_left),
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
        #: The honoured preference that accepts this conflict (one of exactly this place, whose
        #: source's class is the one in the tree), None if none does.
        self.accepted_by: deployment_settings.PreferenceResult | None = None
        #: When the winner follows from the order of one sys.path folder's listing (equal
        #: versions), which differs between machines: that folder, else None.
        self.decided_by: str | None = _decided_by_listing(registrations, current)

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
        made = [f"{qualified_name(self.before)} (registered before)"] if self.before else []
        made += [f"{qualified_name(r.cls)} by {r.source.label}"
                 + (" (which then failed)" if r.source_failed else "") for r in self.registrations]
        now = "none" if self.current is None else qualified_name(self.current)
        text = (f"{place_text(self.node)} ({key_text(self.chassis_type)}): "
                f"{', then '.join(made)}; in the tree: {now}")
        if self.decided_by:
            text += f" (decided by the listing order of {self.decided_by}: equal versions)"
        return text + (f" (accepted: {self.accepted_by.preference.text})" if self.accepted_by
                       else "")

    @property
    def accepted(self) -> bool:
        return self.accepted_by is not None

    def __repr__(self) -> str:
        return f"<Conflict {self}>"


def _same_version(one: Any, other: Any) -> bool:
    try:
        from pkg_resources import parse_version

        return bool(parse_version(str(one)) == parse_version(str(other)))
    except Exception:
        return one == other


def _decided_by_listing(registrations: list[Registration], current: Any) -> str | None:
    """The folder whose listing order put the winner last, if the winner and a loser are
    distributions of one folder with equal versions (pkg_resources keeps the listing's order
    for them), else None."""
    winners = [r.source for r in registrations if r.cls is current and r.source.kind == "external"]
    if not winners:
        return None
    winner = winners[-1]
    for registration in registrations:
        other = registration.source
        if (other is not winner and other.kind == "external" and registration.cls is not current
                and other.distribution != winner.distribution
                and other.location is not None and other.location == winner.location
                and _same_version(other.version, winner.version)):
            return str(winner.location)
    return None


class LoadReport:
    """What ``load_plugins`` loaded: every source with its status and registrations."""

    def __init__(self, manager: Any, exclude: Iterable[str] = ()) -> None:
        self.manager = manager
        #: Every source in the order it was met (excluded ones included).
        self.sources: list[PluginSource] = []
        #: The names given to exclude that matched no source.
        self.unmatched_exclusions: list[str] = list(exclude)
        #: The sources left out by ``exclude`` whose module was imported all the same (by
        #: another source).
        self.excluded_but_imported: list[PluginSource] = []
        #: The classes that sources registered and that were gone from the tree when the load
        #: ended, not replaced through register_plugin and not told as a source's tampering.
        self.lost: list[str] = []
        #: The settings the load used, and what became of each preference.
        self.settings: deployment_settings.Settings | None = None
        self.preferences: list[deployment_settings.PreferenceResult] = []

    @property
    def preference_problems(self) -> list[deployment_settings.PreferenceResult]:
        return [result for result in self.preferences if not result.honoured]

    @property
    def failures(self) -> list[PluginSource]:
        return [source for source in self.sources if source.status == "failed"]

    @property
    def tampered(self) -> list[PluginSource]:
        return [source for source in self.sources if source.tampering]

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
                places.setdefault(registration.place, []).append(registration)
            except Exception:  # a key that cannot be hashed any more: a place of its own
                places[object()] = [registration]
        conflicts = []
        for made in places.values():
            first = made[0]
            before = first.replaced
            if before is not None and (before is first.cls or _rerun_of(before, first)):
                before = None
            classes = {id(r.cls) for r in made} | ({id(before)} if before is not None else set())
            sources = {id(r.source) for r in made} | ({0} if before is not None else set())
            if len(classes) > 1 and len(sources) > 1:
                current = _occupant(self.manager, first.node, first.chassis_type)
                conflict = Conflict(first.node, first.chassis_type, made, before, current)
                conflict.accepted_by = deployment_settings.accepting(self.preferences, conflict)
                conflicts.append(conflict)
        return conflicts

    def to_dict(self) -> dict[str, Any]:
        """The report as plain data (lists, dicts, strings, numbers, booleans and None)."""
        return {
            "sources": [source.to_dict() for source in self.sources],
            "failures": [source.error.as_json() for source in self.failures
                         if source.error is not None],
            "conflicts": [conflict.to_dict() for conflict in self.conflicts],
            "unmatched_exclusions": list(self.unmatched_exclusions),
            "excluded_but_imported": [source.module for source in self.excluded_but_imported],
            "lost": list(self.lost),
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


def _rerun_of(before: Any, first: Registration) -> bool:
    """Whether `before` is the class that an earlier, failed run of the same module registered:
    a module that failed is not in sys.modules, so loading it again runs its body again and
    registers a new class of the same name."""
    module = _read(first.cls, "__module__")
    try:
        return bool(module == first.source.module and _read(before, "__module__") == module
                    and _read(before, "__qualname__") == _read(first.cls, "__qualname__"))
    except Exception:  # names that cannot be compared: not the same plugin's class
        return False


# Failures ----------------------------------------------------------------------------------------


class PluginLoadError(Exception):
    """A plugin failed to load; names the source it came from. ``error`` is what it raised.

    What the exception says is read once, when the failure is made, without trusting it (a message
    that cannot be made is ``<unprintable ValueError>``); every text of the failure comes from that
    reading.
    """

    def __init__(self, error: BaseException, entry_point: Any = None,
                 source: PluginSource | None = None) -> None:
        super().__init__(error)
        self.error = error
        self.entry_point = entry_point
        self.source = source
        #: The exception's class name and message, and where in the plugin's code it was raised.
        self.exception = type_name(error)
        self.exception_message = error.reason if isinstance(error, ProcessEnded) \
            else safe_str(error)
        self.where = _where(error)

    def _described(self) -> PluginSource | None:
        """The source, or one read from a bare entry point (whatever its attributes raise)."""
        plugin = self.entry_point
        if self.source is not None or plugin is None:
            return self.source
        dist = _read(plugin, "dist")
        return PluginSource("external", safe_str(_read(plugin, "name", "?")),
                            safe_str(_read(plugin, "module_name", "?")),
                            _read(dist, "project_name"), _read(dist, "version"), plugin)

    def culprit(self) -> dict[str, Any]:
        """What failed: entry point name, module, distribution and version (None if unknown)."""
        source = self._described()
        if source is None or source.kind == "builtin":
            return {"entry_point": None, "module": source.name if source else None,
                    "distribution": "mirtal", "version": mirtal.__version__}
        return {"entry_point": source.name if source.entry_point is not None else None,
                "module": source.module, "distribution": source.distribution,
                "version": source.version}

    def traceback(self) -> str:
        """The traceback of what the plugin raised, as text ("" if there is none)."""
        import traceback

        error = self.error
        if isinstance(error, ProcessEnded) or error.__traceback__ is None:
            return ""
        try:
            return "".join(traceback.format_exception(type(error), error, error.__traceback__))
        except Exception:
            return "".join(traceback.format_tb(error.__traceback__))

    def __str__(self) -> str:
        source = self._described()
        if source is None or source.kind == "builtin":
            what = "a built-in plugin" if source is None else f"built-in plugin {source.name}"
        elif source.entry_point is None:  # listing the entry points failed
            what = "the entry points of " + (
                f"{source.distribution} {source.version}" if source.distribution else source.name)
        else:
            what = f"plugin {source.label}"
        if isinstance(self.error, ProcessEnded):
            return one_line(f"{what} failed to load: {self.exception_message}")
        return one_line(f"{what} failed to load: {self.exception}: {self.exception_message}"
                        f"{self.where}")

    def as_json(self) -> dict[str, Any]:
        return {**self.culprit(), "exception": self.exception,
                "exception_message": self.exception_message, "message": str(self)}


class ProcessEnded(Exception):
    """What a source did that the loading process could not survive: it ended the process, was
    killed by a signal or did not finish in time. Made by the check that loads in a child
    process, for the source that was loading when the child ended."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


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

    try:
        frames = [f for f in traceback.extract_tb(error.__traceback__)
                  if plugin_code(str(f.filename))]
    except Exception:
        return ""
    return f" ({frames[-1].filename}, line {frames[-1].lineno})" if frames else ""


def _lost_text(lost: list[tuple[Any, Any, PluginSource, Any]]) -> str:
    shown_lost = [f"{qualified_name(cls)} at {place_text(place[0])} ({key_text(place[1])}) of "
                  f"{owner.label}" + ("" if now is None else f", now {qualified_name(now)}")
                  for place, cls, owner, now in lost[:5]]
    return "; ".join(shown_lost) + (f" and {len(lost) - 5} more" if len(lost) > 5 else "")


class PluginLoadWarning(UserWarning):
    """Issued by ``load_plugins(on_error="warn")`` for each plugin that failed to load."""


def _occupant(manager: Any, node: tuple[Any, ...], chassis_type: Any) -> Any:
    """The class stored at that place of the manager's tree, None if none (or unreadable)."""
    return occupant(_read(manager, "plugins"), node, chassis_type)


# The watch ---------------------------------------------------------------------------------------


class _Watch:
    """The shared manager's register_plugin, recorded while the sources load, and the checks made
    after each source."""

    def __init__(self, manager: Any) -> None:
        self.manager = manager
        self.source: PluginSource | None = None
        self.wrapper: Callable[..., Any] | None = None
        self.saved: Any = _MISSING
        # The places registered so far, with the class each one should hold, and the source.
        self.held: dict[Any, tuple[Any, PluginSource]] = {}
        self.threads: set[threading.Thread] = set()
        #: Whether the others' classes are looked for after each source (the check does it, to
        #: name who removed one; it costs a look at every place registered so far), or once at
        #: the end.
        self.verify_each = False

    def __enter__(self) -> _Watch:
        manager = self.manager
        own = vars(manager) if hasattr(manager, "__dict__") else None
        if own is None:  # no instance attributes: nothing can be watched
            return self
        self.saved = own.get("register_plugin", _MISSING)
        delegate = manager.register_plugin
        # The arguments are bound by the names and defaults of the manager's own signature (the
        # parameters after self, each positional or keyword).
        parameters = list(inspect.signature(
            pluginmanager.PluginManager.register_plugin).parameters.values())[1:]
        names = [parameter.name for parameter in parameters]
        known = frozenset(names)
        defaults = {parameter.name: parameter.default for parameter in parameters
                    if parameter.default is not parameter.empty}
        watch = self

        def register_plugin(*args: Any, **kwargs: Any) -> Any:
            # Runs once for each registration of every plugin: kept to plain local work.
            source = watch.source
            made = None if source is None else source.registrations
            if made is None:
                return delegate(*args, **kwargs)
            if (len(args) > len(names) or not known.issuperset(kwargs)
                    or any(name in kwargs for name in names[:len(args)])):
                return delegate(*args, **kwargs)  # the manager's own words for the TypeError
            given = {**defaults, **dict(zip(names, args)), **kwargs}
            if len(given) < len(names):
                return delegate(*args, **kwargs)
            node = key_path(given["os"], given["series"], given["model"])
            chassis_type = given["chassis_type"]
            replaced = _occupant(manager, node, chassis_type)
            result = delegate(*args, **kwargs)
            made.append(Registration(source, node, chassis_type, given["cls"], replaced))
            return result

        self.wrapper = register_plugin
        own["register_plugin"] = register_plugin
        return self

    def begin(self, source: PluginSource) -> None:
        self.threads = set(threading.enumerate())
        self.source = source

    def end(self, source: PluginSource) -> None:
        """After a source: what it left running, and whether the report can still be trusted."""
        self.source = None
        self.threads_left(source)
        manager = self.manager
        shared = _read(mirtal, "__plugin_manager__", _MISSING)
        if shared is not manager:
            now = "removed it" if shared is _MISSING else f"with {safe_repr(shared)}"
            source.tampering.append(f"replaced mirtal.__plugin_manager__ ({now}); the manager "
                                    "that was there is put back")
            mirtal.__plugin_manager__ = manager
        own = vars(manager) if self.wrapper is not None else None
        if own is not None and own.get("register_plugin", _MISSING) is not self.wrapper:
            source.tampering.append("rebound register_plugin on the shared manager, so what it "
                                    "registered is unknown")
            self.saved = own.get("register_plugin", _MISSING)
            own["register_plugin"] = self.wrapper
        self.losses(source)
        if source.tampering:
            source.registrations = None

    def threads_left(self, source: PluginSource) -> None:
        before = self.threads
        try:
            source.threads_left = [safe_str(thread.name) for thread in threading.enumerate()
                                   if thread not in before and thread.is_alive()]
        except Exception:
            pass

    def losses(self, source: PluginSource) -> None:
        """The classes that sources before this one registered and that are gone now, unless
        this source's own registrations replaced them: told as this source's tampering when
        each source is verified, else only its own places are noted for the final count."""
        try:
            lost = self._settle(source)
        except Exception:  # keys whose hash or comparison fails now: nothing to compare
            return
        if lost:
            source.tampering.append("removed or replaced classes that other sources registered, "
                                    "without register_plugin: " + _lost_text(lost))

    def _settle(self, source: PluginSource) -> list[tuple[Any, Any, PluginSource, Any]]:
        held = self.held
        own = {}
        for registration in source.registrations or ():
            try:
                own[registration.place] = registration.cls
            except Exception:
                continue
        lost = self.lost(exclude=own) if self.verify_each else []
        for place, cls in own.items():
            held[place] = (cls, source)
        return lost

    def lost(self, exclude: Any = ()) -> list[tuple[Any, Any, PluginSource, Any]]:
        """The places registered so far that no longer hold their class (forgotten once told)."""
        held = self.held
        tree = _read(self.manager, "plugins")
        lost = []
        for place, (cls, owner) in list(held.items()):
            if place in exclude:
                continue
            now = occupant(tree, *place)
            if now is not cls:
                lost.append((place, cls, owner, now))
                del held[place]
        return lost

    def __exit__(self, *exc_info: object) -> None:
        self.source = None
        own = vars(self.manager) if self.wrapper is not None else None
        # Taken away only if it is still ours; what a plugin bound there instead is put back.
        if own is not None and own.get("register_plugin") is self.wrapper:
            if self.saved is _MISSING:
                del own["register_plugin"]
            else:
                own["register_plugin"] = self.saved


# The load ----------------------------------------------------------------------------------------


def _handler(on_error: Any) -> Callable[[PluginLoadError], object]:
    if callable(on_error):
        return on_error  # type: ignore[no-any-return]
    if on_error == "raise":
        def fail(failure: PluginLoadError) -> object:
            raise failure from failure.error
        return fail
    if on_error == "warn":
        # The filters in force when load_plugins was called decide, whatever a plugin did to
        # them since.
        filters = list(warnings.filters)

        def warn(failure: PluginLoadError) -> object:
            with warnings.catch_warnings():
                warnings.filters[:] = filters
                warnings.warn(str(failure), PluginLoadWarning, stacklevel=_caller_level())
            return None
        return warn
    raise ValueError(f"on_error must be 'raise', 'warn' or a callable, not {on_error!r}")


def _caller_level() -> int:
    """The stack level, for warnings.warn called here, of the first frame outside this module:
    the caller of load_plugins."""
    frame, level = sys._getframe(1), 1
    while frame is not None and frame.f_globals.get("__name__") == __name__:
        frame, level = frame.f_back, level + 1  # type: ignore[assignment]
    return level


class _Load:
    """One run of the loading loop: the report, the watch, and how failures are handled."""

    def __init__(self, report: LoadReport, watch: _Watch,
                 exclude: list[deployment_settings.Selector],
                 handler: Callable[[PluginLoadError], object],
                 catch: type[BaseException] = Exception,
                 skip: dict[str, str] | None = None,
                 observer: Any = None) -> None:
        self.report = report
        self.watch = watch
        self.exclude = exclude
        self.handler = handler
        #: What counts as a source's failure: Exception, or in the check's child BaseException.
        self.catch = catch
        #: Sources not to load, by ident, with the reason to report them failed with.
        self.skip = skip or {}
        self.observer = observer

    def fail(self, source: PluginSource, error: BaseException) -> None:
        source.status = "failed"
        failure = PluginLoadError(error, source.entry_point, source)
        source.error = failure
        self.handler(failure)

    def unreachable(self, kind: Kind, name: str, error: Exception, **described: Any) -> None:
        """The package walk or an entry-point listing failed (or the package could not be found):
        the plugins after that point cannot be reached. Reported as a failed source of that
        name."""
        source = PluginSource(kind, name, None, "mirtal" if kind == "builtin" else None)
        for attribute, value in described.items():
            setattr(source, attribute, value)
        source.registrations = None
        self.report.sources.append(source)
        self.fail(source, error)

    def load(self, source: PluginSource, importer: Callable[[], object]) -> bool:
        """Loads one source, watched; False if it failed."""
        skipped = self.skip.get(source.ident)
        if skipped is not None:
            source.registrations = None
            self.fail(source, ProcessEnded(skipped))
            return False
        observer = self.observer
        if observer is not None:
            observer.started(source)
        watch = self.watch
        watch.begin(source)
        try:
            importer()
        except self.catch as error:
            watch.end(source)
            self.fail(source, error)
            return False
        else:
            watch.end(source)
            return True
        finally:
            if observer is not None:
                observer.finished(source)

    def builtin(self) -> None:
        modules = sys.modules
        package_name = "mirtal"
        try:
            path, package_name = _top_package()
            walk = iter(pluginmanager.pkgutil.walk_packages(path, package_name + "."))
        except Exception as error:
            self.unreachable("builtin", package_name, error)
            return
        last: tuple[str, bool] | None = None
        while True:
            # A package that failed or is excluded must not be imported by the walk itself to
            # descend into it: a None in sys.modules makes that import fail as an ImportError,
            # which the walk skips; it is taken away at once.
            blocked = None
            if last is not None and last[1] and last[0] not in modules:
                blocked = last[0]
                modules[blocked] = None  # type: ignore[assignment]
            try:
                entry = next(walk)
            except StopIteration:
                return
            except Exception as error:
                self.unreachable("builtin", last[0] if last is not None else package_name, error)
                return
            finally:
                if blocked is not None and modules.get(blocked, _MISSING) is None:
                    del modules[blocked]
            last = None
            name = entry[1]
            if ".plugins." not in name:
                continue
            source = PluginSource("builtin", name, name, "mirtal")
            self.report.sources.append(source)
            if deployment_settings.exclude_source(source, self.exclude,
                                                  self.report.unmatched_exclusions):
                source.status, source.registrations = "excluded", None
                last = (name, bool(entry[2]))
                continue
            if name in modules:
                source.status, source.registrations = "already_loaded", None
            if not self.load(source, lambda name=name: pluginmanager.importlib.import_module(name)):
                last = (name, bool(entry[2]))

    def external(self) -> None:
        group = pluginmanager.ENTRYPOINT_GROUP
        for dist, entry_points in _entry_points_by_distribution(group):
            described = None
            while True:
                try:
                    plugin = next(entry_points)
                except StopIteration:
                    break
                except Exception as error:
                    if dist is None:
                        self.unreachable("external", safe_str(group), error)
                        return
                    described = _described_distribution(dist)
                    self.unreachable("external", described["distribution"] or "?", error,
                                     **described)
                    break
                if described is None and dist is not None:
                    described = _described_distribution(dist)
                self.entry_point(plugin, described)

    def entry_point(self, plugin: Any, described: dict[str, Any] | None) -> None:
        source = PluginSource("external", "?", entry_point=plugin)
        self.report.sources.append(source)
        try:
            source.name = plain(plugin.name) if isinstance(plugin.name, str) \
                else safe_str(plugin.name)
            for attribute, value in (described or _described_distribution(
                    _read(plugin, "dist"))).items():
                setattr(source, attribute, value)
            source.module = safe_str(plugin.module_name)
        except Exception as error:
            self.fail(source, error)
            return
        if deployment_settings.exclude_source(source, self.exclude,
                                              self.report.unmatched_exclusions):
            source.status, source.registrations = "excluded", None
            return
        pluginmanager.log.debug("Loading external plugin " + source.name + " from "
                                + source.module)
        if source.module in sys.modules:
            source.status, source.registrations = "already_loaded", None
        self.load(source, plugin.load)


def _described_distribution(dist: Any) -> dict[str, Any]:
    """What describes a distribution's sources, read without letting it fail the load: metadata
    that cannot be read (no Version: line, say) is left unknown."""
    if dist is None:
        return {"distribution": None, "version": None, "location": None}
    name = _read(dist, "project_name")
    version = _read(dist, "version")
    location = _read(dist, "location")
    return {"distribution": safe_str(name) if name is not None else None,
            "version": safe_str(version) if version is not None else None,
            "location": safe_str(location) if location is not None else None}


def _entry_points_by_distribution(group: Any) -> Iterator[tuple[Any, Iterator[Any]]]:
    """The entry points of the group, one distribution at a time, in the order of
    iter_entry_points: reading one distribution's entry points can fail on its own. When the
    listing is not pkg_resources' own (a caller replaced it), it is read in one piece."""
    listing = pluginmanager.iter_entry_points
    resources = sys.modules.get("pkg_resources")
    working_set = getattr(listing, "__self__", None)
    if (resources is None or not isinstance(working_set, resources.WorkingSet)
            or getattr(listing, "__func__", None) is not resources.WorkingSet.iter_entry_points):
        yield None, _lazy(lambda: listing(group=group))
        return
    for dist in list(working_set):
        yield dist, _lazy(lambda dist=dist: dist.get_entry_map(group).values())


def _lazy(make: Callable[[], Iterable[Any]]) -> Iterator[Any]:
    """An iterator whose making, as well as each step, raises where it is read."""
    yield from make()


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


def load_plugins(*, builtin: bool = True, external: bool = True,
                 exclude: Iterable[str] | None = None, prefer: Iterable[str] | None = None,
                 on_error: OnError = "raise") -> LoadReport:
    """Load the plugins, each built-in plugin module and each entry point on its own, and report.

    The sources load in the order of the discovery methods (built-in modules, then entry points)
    and register on the shared manager ``mirtal.__plugin_manager__``, as they always do. Each
    module is imported once per process: a source imported before is reported as
    ``already_loaded``, with its registrations unknown.

    ``exclude``: the sources not to load: entry-point names, dotted names of built-in plugin
    modules (a package's name excludes the modules below it) and ``dist:DISTRIBUTION``.
    ``prefer``: ``NODE[:CHASSIS]=SOURCE`` texts; at each such place the source's class is the
    one in the tree when loading ends, and its conflict there is accepted. Either one, when not
    given (None), is read from ``MIRTAL_EXCLUDE_PLUGINS`` (comma-separated) or ``MIRTAL_PREFER``
    (``;``-separated), as the command line reads them. ``on_error``: ``"raise"`` raises a
    ``PluginLoadError`` naming the first failing source (chained from what it raised);
    ``"warn"`` issues a ``PluginLoadWarning`` for each one and loads the others; a callable is
    called with each ``PluginLoadError`` and the others are loaded (what it raises propagates).
    """
    handler = _handler(on_error)
    return _load_all(builtin, external, deployment_settings.deployment(exclude, prefer), handler)


def _load_all(builtin: bool, external: bool, chosen: deployment_settings.Settings,
              handler: Callable[[PluginLoadError], object], **how: Any) -> LoadReport:
    manager = mirtal.__plugin_manager__
    report = LoadReport(manager, [selector.text for selector in chosen.exclude])
    report.settings = chosen
    modules_before = set(sys.modules)
    verify_each = how.pop("verify_each", False)
    with _Watch(manager) as watch:
        watch.verify_each = verify_each
        run = _Load(report, watch, chosen.exclude, handler, **how)
        try:
            if builtin:
                run.builtin()
            if external:
                run.external()
            try:
                lost = watch.lost()
            except Exception:
                lost = []
            if lost:
                report.lost.append(_lost_text(lost))
        finally:
            if watch.wrapper is None:
                # A shared manager without instance attributes cannot be watched: what the
                # sources registered is unknown, not nothing.
                for source in report.sources:
                    source.registrations = None
    report.excluded_but_imported = [
        source for source in report.sources if source.status == "excluded"
        and source.module is not None and source.module in sys.modules
        and source.module not in modules_before]
    # After the watch: a class put back in its place is no registration of a source.
    report.preferences = deployment_settings.apply_preferences(report, chosen.prefer)
    return report
