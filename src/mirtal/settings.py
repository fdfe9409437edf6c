"""Deployment settings: which plugins not to load, and which plugin wins at a given place.

Both are read here, once, for ``mirtal.load_plugins()`` and the command line alike, so that a
service and the check run in its CI load the same plugins with the same winners:

- exclusions: the ``exclude`` argument, else the environment variable ``MIRTAL_EXCLUDE_PLUGINS``
  (comma-separated);
- preferences: the ``prefer`` argument, else ``MIRTAL_PREFER`` (semicolon-separated).

An argument that is given (not None) replaces the environment variable; an empty collection
means none, whatever the environment says.

A source is named by a *selector*: an entry point's name, a built-in plugin module's dotted name,
or ``dist:DISTRIBUTION`` for every source of a distribution (its name compared as pip compares
them, so ``dist:Mirtal_Clash`` is ``mirtal-clash``; the built-in plugins belong to ``mirtal``).

A preference is ``NODE[:CHASSIS]=SOURCE``: NODE is ``os``, ``os/series`` or ``os/series/model``,
CHASSIS defaults to ``single_rp``. The text is split at its first ``=`` (entry-point names never
hold one), and what comes before it at its last ``:``, so an OS whose name holds a ``:`` is named
with its chassis type written out (``a:b:single_rp=x``).
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping
from typing import Any, Literal

__all__ = [
    "DEFAULT_CHASSIS_TYPE",
    "ENV_EXCLUDE",
    "ENV_PREFER",
    "Preference",
    "PreferenceResult",
    "Selector",
    "Settings",
    "SettingsError",
    "accepting",
    "apply_preferences",
    "deployment",
    "exclude_source",
    "normalized_distribution",
    "unmatched_hint",
]

ENV_EXCLUDE = "MIRTAL_EXCLUDE_PLUGINS"
ENV_PREFER = "MIRTAL_PREFER"
DEFAULT_CHASSIS_TYPE = "single_rp"
DIST_PREFIX = "dist:"
#: The distribution that the built-in plugins belong to.
BUILTIN_DISTRIBUTION = "mirtal"
MAX_LEVELS = 3

Origin = Literal["argument", "environment"]
Reason = Literal["unmatched", "excluded", "unknown", "failed", "nothing_registered",
                 "not_applied"]


class SettingsError(ValueError):
    """A setting that cannot be read; the message names the setting and what is wrong."""


def normalized_distribution(name: str) -> str:
    """A distribution's name as pip compares them (PEP 503): runs of -_. as one -, lowercase."""
    return re.sub(r"[-_.]+", "-", name).lower()


def _equal(a: object, b: object) -> bool:
    """a == b, false where the comparison raises or answers with something that is not a bool
    (a plugin's keys are its own objects)."""
    try:
        return (a == b) is True
    except Exception:
        return False


class Selector:
    """A source named in a setting: entry-point or module name, or ``dist:DISTRIBUTION``."""

    __slots__ = ("text", "name", "distribution")

    def __init__(self, text: str, setting: str = "exclude", within: str | None = None) -> None:
        # `within`: the whole text that the selector is part of (a preference), for messages.
        text = text.strip()
        if not text:
            raise SettingsError(f"{setting}: an empty plugin name")
        #: The text as given (blanks around it removed), as reports name it.
        self.text = text
        #: The entry-point or module name; None for a distribution.
        self.name: str | None = None
        #: The distribution's normalised name; None for a name.
        self.distribution: str | None = None
        if text.startswith(DIST_PREFIX):
            project = text[len(DIST_PREFIX):].strip()
            if not project:
                raise SettingsError(f"{setting}: {within or repr(text)} names no distribution "
                                    "after 'dist:'")
            self.distribution = normalized_distribution(project)
        else:
            self.name = text

    def matches(self, source: Any, *, below: bool = False) -> bool:
        """Whether the source (kind, name, distribution) is named by this selector. A name
        matches an entry point's name or a built-in module's dotted name, and with `below` also
        the built-in modules below a package of that name (as exclusions do)."""
        kind = getattr(source, "kind", None)
        if self.distribution is not None:
            owner = (BUILTIN_DISTRIBUTION if kind == "builtin"
                     else getattr(source, "distribution", None))
            return isinstance(owner, str) and normalized_distribution(owner) == self.distribution
        name = getattr(source, "name", None)
        if not isinstance(name, str):
            return False
        if name == self.name:
            return True
        return below and kind == "builtin" and name.startswith(f"{self.name}.")

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Selector) and self.name == other.name
                and self.distribution == other.distribution)

    def __hash__(self) -> int:
        return hash((self.name, self.distribution))

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return f"<Selector {self.text}>"


class Preference:
    """``NODE[:CHASSIS]=SOURCE``: at that place, the class of that source is the one kept."""

    __slots__ = ("text", "node", "chassis_type", "source")

    def __init__(self, text: str, setting: str = "prefer") -> None:
        text = text.strip()
        #: The text as given, blanks around it removed.
        self.text = text
        form = "a preference is NODE[:CHASSIS]=SOURCE, NODE being os[/series[/model]]"
        place, equals, named = text.partition("=")
        if not equals:
            raise SettingsError(f"{setting}: {text!r} has no '=' ({form})")
        node_text, colon, chassis = place.rpartition(":")
        if not colon:
            node_text, chassis = place, DEFAULT_CHASSIS_TYPE
        chassis = chassis.strip()
        if not chassis:
            raise SettingsError(f"{setting}: {text!r} has an empty chassis type after ':' "
                                f"({form})")
        levels = [level.strip() for level in node_text.split("/")]
        if len(levels) > MAX_LEVELS:
            raise SettingsError(f"{setting}: {text!r} has {len(levels)} levels in its node, "
                                f"at most {MAX_LEVELS} (os/series/model)")
        if not all(levels):
            raise SettingsError(f"{setting}: {text!r} has an empty part in its node ({form})")
        if not named.strip():
            raise SettingsError(f"{setting}: {text!r} names no source after '=' ({form})")
        #: The key path: (os,), (os, series) or (os, series, model).
        self.node: tuple[str, ...] = tuple(levels)
        self.chassis_type = chassis
        self.source = Selector(named, setting, repr(text))

    @property
    def place(self) -> str:
        """The place as the messages name it: ``vennu/zq4/m1 (single_rp)``."""
        return f"{'/'.join(self.node)} ({self.chassis_type})"

    def at(self, node: object, chassis_type: object) -> bool:
        """Whether (node, chassis_type) is exactly this preference's place."""
        return _equal(self.node, node) and _equal(self.chassis_type, chassis_type)

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return f"<Preference {self.text}>"


class Settings:
    """The exclusions and preferences in effect, and where each of the two was read from."""

    __slots__ = ("exclude", "prefer", "origins")

    def __init__(self, exclude: list[Selector], prefer: list[Preference],
                 origins: dict[str, Origin | None]) -> None:
        self.exclude = exclude
        self.prefer = prefer
        #: "exclude" and "prefer": "argument", "environment", or None when neither gave any.
        self.origins = origins

    def to_dict(self) -> dict[str, Any]:
        return {"exclude": [selector.text for selector in self.exclude],
                "prefer": [preference.text for preference in self.prefer],
                "exclude_from": self.origins.get("exclude"),
                "prefer_from": self.origins.get("prefer")}

    def __repr__(self) -> str:
        return (f"<Settings exclude={[s.text for s in self.exclude]} "
                f"prefer={[p.text for p in self.prefer]}>")


def _items(value: Iterable[str] | None, parameter: str, variable: str, separator: str,
           environ: Mapping[str, str]) -> tuple[list[str], Origin | None]:
    """The texts of one setting: from the argument when it is given, else from the variable."""
    if value is None:
        texts = [item.strip() for item in environ.get(variable, "").split(separator)]
        texts = [text for text in texts if text]
        return texts, "environment" if texts else None
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{parameter} must be a collection of texts, not a single string")
    texts = []
    for item in value:
        if not isinstance(item, str):
            raise TypeError(f"{parameter} holds texts (str), not {type(item).__name__}")
        if item.strip():
            texts.append(item.strip())
    return texts, "argument" if texts else None


def deployment(exclude: Iterable[str] | None = None, prefer: Iterable[str] | None = None, *,
               environ: Mapping[str, str] | None = None,
               names: tuple[str, str] = ("exclude", "prefer")) -> Settings:
    """The deployment's settings: `exclude` and `prefer` where given (not None), else
    ``MIRTAL_EXCLUDE_PLUGINS`` (comma-separated) and ``MIRTAL_PREFER`` (semicolon-separated)
    from `environ` (default ``os.environ``). Blanks around items are ignored, and empty items.

    `names` are how messages name the two arguments (the command line passes its options).
    Raises TypeError for a single string or a non-string item, SettingsError (a ValueError)
    for a text that cannot be read, or for two preferences of one place naming different
    sources.
    """
    environ = os.environ if environ is None else environ
    exclude_name, prefer_name = names
    excluded, exclude_from = _items(exclude, exclude_name, ENV_EXCLUDE, ",", environ)
    preferred, prefer_from = _items(prefer, prefer_name, ENV_PREFER, ";", environ)
    exclude_setting = ENV_EXCLUDE if exclude_from == "environment" else exclude_name
    prefer_setting = ENV_PREFER if prefer_from == "environment" else prefer_name
    selectors: list[Selector] = []
    for text in excluded:
        selector = Selector(text, exclude_setting)
        if all(selector.text != known.text for known in selectors):
            selectors.append(selector)
    preferences: list[Preference] = []
    for text in preferred:
        preference = Preference(text, prefer_setting)
        same = [p for p in preferences if p.at(preference.node, preference.chassis_type)]
        if same and same[0].source != preference.source:
            raise SettingsError(f"{prefer_setting}: {same[0].text!r} and {preference.text!r} "
                                f"prefer different sources at {preference.place}")
        if not same:
            preferences.append(preference)
    return Settings(selectors, preferences, {"exclude": exclude_from, "prefer": prefer_from})


def exclude_source(source: Any, selectors: Iterable[Selector], unmatched: list[str]) -> bool:
    """Whether the source is excluded (a package's name also excludes the built-in modules below
    it). The text of every selector that matches it is taken off `unmatched`."""
    excluded = False
    for selector in selectors:
        if selector.matches(source, below=True):
            excluded = True
            if selector.text in unmatched:
                unmatched.remove(selector.text)
    return excluded


def unmatched_hint(text: str, sources: Iterable[Any]) -> str | None:
    """For a name that matched no source: the selector meant, when a distribution of that name
    is among the sources (``dist:NAME``), else None."""
    if text.startswith(DIST_PREFIX):
        return None
    wanted = normalized_distribution(text)
    for source in sources:
        owner = getattr(source, "distribution", None)
        if isinstance(owner, str) and normalized_distribution(owner) == wanted:
            return f"{DIST_PREFIX}{text}"
    return None


# Preferences after loading ------------------------------------------------------------------------


class PreferenceResult:
    """What became of one preference once the plugins had loaded."""

    __slots__ = ("preference", "sources", "cls", "registration", "put_back", "reason", "message")

    def __init__(self, preference: Preference) -> None:
        self.preference = preference
        #: The sources that the preference's selector names, in the order they were met.
        self.sources: list[Any] = []
        #: The preferred source's last registration at the place (None if it made none).
        self.registration: Any = None
        #: Its class, which the tree holds at the place when the preference is honoured.
        self.cls: Any = None
        #: Whether the class had to be registered again (another one had taken its place).
        self.put_back = False
        #: Why the preference was not honoured (None when it was), and the same in words.
        self.reason: Reason | None = None
        self.message: str | None = None

    @property
    def honoured(self) -> bool:
        return self.reason is None

    def _problem(self, reason: Reason, message: str) -> PreferenceResult:
        self.reason = reason
        self.message = f"preference {self.preference.text}: {message}"
        return self

    def __repr__(self) -> str:
        state = "honoured" if self.reason is None else self.reason
        return f"<PreferenceResult {self.preference.text}: {state}>"


def _told(error: BaseException) -> str:
    try:
        return str(error)
    except Exception:
        return "(unprintable)"


def _occupant(manager: Any, node: tuple[Any, ...], chassis_type: Any) -> Any:
    from mirtal.tree import occupant

    try:
        tree = manager.plugins
    except Exception:
        return None
    return occupant(tree, node, chassis_type)


def _apply(report: Any, preference: Preference) -> PreferenceResult:
    result = PreferenceResult(preference)
    selector = preference.source
    result.sources = [s for s in getattr(report, "sources", ()) if selector.matches(s)]
    place = preference.place
    if not result.sources:
        meant = unmatched_hint(selector.text, getattr(report, "sources", ()))
        return result._problem("unmatched", f"no plugin named {selector.text}"
                               + (f" (a distribution is: {meant})" if meant else ""))
    made = [r for s in result.sources for r in (getattr(s, "registrations", None) or ())
            if preference.at(r.node, r.chassis_type)]
    # A failed source is no winner: neither one that registered there, nor, when none did, one
    # that may have failed before it could.
    failed = [s for s in ([r.source for r in made] or result.sources)
              if getattr(s, "status", None) == "failed"]
    if failed:
        return result._problem("failed", f"{selector.text} failed to load")
    if not made:
        statuses = {getattr(s, "status", None) for s in result.sources}
        if statuses == {"excluded"}:
            return result._problem("excluded", f"{selector.text} is excluded")
        if any(getattr(s, "registrations", None) is None
               and getattr(s, "status", None) != "excluded" for s in result.sources):
            return result._problem("unknown", f"{selector.text} was imported before this load: "
                                   f"what it registered at {place} is unknown")
        return result._problem("nothing_registered", f"{selector.text} registered nothing "
                               f"at {place}")
    # The last registration at that place is what the source meant to leave there.
    result.registration = made[-1]
    result.cls = cls = made[-1].cls
    manager = report.manager
    node = preference.node
    if _occupant(manager, node, preference.chassis_type) is not cls:
        path = (*node, *(None,) * (MAX_LEVELS - len(node)))
        try:
            manager.register_plugin(cls, *path, preference.chassis_type)
        except Exception as error:
            return result._problem("not_applied", f"registering its class again at {place} "
                                   f"failed: {type(error).__name__}: {_told(error)}")
        result.put_back = True
        if _occupant(manager, node, preference.chassis_type) is not cls:
            return result._problem("not_applied", f"its class is not in the tree at {place} "
                                   "after registering it again")
    return result


def apply_preferences(report: Any, preferences: Iterable[Preference]) -> list[PreferenceResult]:
    """Makes each preferred source's class the one the tree holds at its place, once the
    plugins have loaded (`report` is a ``LoadReport``). Returns one result per preference: a
    preference whose source matched nothing, failed, is excluded, registered nothing at that
    place (or what it registered is unknown) is not honoured, and its result says why. A class
    is registered again through the report's manager only where another one took its place."""
    return [_apply(report, preference) for preference in preferences]


def accepting(results: Iterable[PreferenceResult], conflict: Any) -> PreferenceResult | None:
    """The honoured preference that accepts the conflict, None if none does: one of exactly
    its place (node and chassis type), whose source is among the conflict's registrations and
    whose class is the one in the tree (``conflict.current``)."""
    for result in results:
        if not result.honoured or not result.preference.at(conflict.node, conflict.chassis_type):
            continue
        parties = [r.source for r in conflict.registrations]
        if (any(source is party for source in result.sources for party in parties)
                and conflict.current is result.cls):
            return result
    return None
