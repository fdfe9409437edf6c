"""The document that ``mirtal --check --json`` prints: a load report in a format of its own.

The document carries ``"format": 1``. Fields are added without raising it; a field that is
removed, or whose meaning changes, raises it. Its JSON Schema ships with the package as
``mirtal/check-report.schema.json`` (``schema()`` reads it), and docs/cli.md describes every
field. A source is named by separate fields (kind, entry point, module, distribution, version),
never by a display label. Everything in it is plain JSON: str, int, bool, None, lists and dicts
with text keys, no NaN.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterable
from importlib import resources
from typing import Any

import mirtal
from mirtal.settings import BUILTIN_DISTRIBUTION, PreferenceResult, accepting
from mirtal.text import json_key, qualified_name, shown

__all__ = ["FORMAT", "SCHEMA_RESOURCE", "check_document", "problems", "schema"]

FORMAT = 1
SCHEMA_RESOURCE = "check-report.schema.json"
STATUSES = ("loaded", "failed", "excluded", "already_loaded")
IDENTITY = ("kind", "entry_point", "module", "distribution", "version")

_MISSING = object()
_WHERE = re.compile(r" \((?P<file>.*), line (?P<line>\d+)\)")


def schema() -> Any:
    """The JSON Schema of the document, as shipped in the package."""
    text = (resources.files("mirtal") / SCHEMA_RESOURCE).read_text(encoding="utf-8")
    return json.loads(text)


# Plain values ------------------------------------------------------------------------------------


def _safely(make: Callable[[], str], fallback: str) -> str:
    try:
        return _plain_text(make())
    except Exception:
        return fallback


def _str(value: object, fallback: str) -> str:
    """str(value), or the fallback where that raises."""
    try:
        return _plain_text(str(value))
    except Exception:
        return fallback


def _plain_text(value: str) -> str:
    # The text of a str subclass without calling its own __str__.
    return str.__str__(value)


def _text(value: object) -> str | None:
    """None, or the value as text (whatever its __str__ does, text comes out)."""
    if value is None:
        return None
    if isinstance(value, str):
        return _plain_text(value)
    return _str(value, f"<unprintable {type(value).__name__}>")


def _plain(value: Any) -> Any:
    """What json_key made, with exact built-in types (no subclass reaches the output)."""
    if value is None or value is True or value is False:
        return value
    if isinstance(value, str):
        return _plain_text(value)
    if isinstance(value, int):
        return int.__int__(value)
    if isinstance(value, float):
        return float.__float__(value)
    if isinstance(value, list):
        return [_plain(item) for item in value]
    return {_plain_text(k): _plain(v) for k, v in value.items()}


def _key(key: object) -> Any:
    try:
        return _plain(json_key(key))
    except Exception:
        return {"type": _safely(lambda: type(key).__qualname__, "?"), "repr": "<unprintable>"}


def _class(cls: object) -> str | None:
    if cls is None:
        return None
    return _safely(lambda: qualified_name(cls), f"<unprintable {type(cls).__name__}>")


def _texts(values: Iterable[object] | None) -> list[str]:
    return [text for text in map(_text, values or ()) if text is not None]


# Parts -------------------------------------------------------------------------------------------


def identity(source: Any) -> dict[str, Any]:
    """A source by its fields: the same for a built-in module as a failure's culprit."""
    if source.kind == "builtin":
        return {"kind": "builtin", "entry_point": None,
                "module": _text(source.module or source.name),
                "distribution": BUILTIN_DISTRIBUTION, "version": _text(mirtal.__version__)}
    return {"kind": "external",
            # None when the entry points could not be listed at all.
            "entry_point": _text(source.name) if source.entry_point is not None else None,
            "module": _text(source.module), "distribution": _text(source.distribution),
            "version": _text(source.version)}


def error_document(failure: Any) -> dict[str, Any]:
    """A PluginLoadError: the exception's type and text, the whole line, where it was raised."""
    # What the exception said was read once, when the failure was made: it is not asked again.
    where = _WHERE.fullmatch(_text(getattr(failure, "where", "")) or "")
    return {"exception": _text(failure.exception),
            "exception_message": _text(failure.exception_message),
            "message": _str(failure, "<unprintable failure>"),
            "where": None if where is None else {"file": where["file"],
                                                 "line": int(where["line"])}}


def registration_document(made: Any) -> dict[str, Any]:
    return {"node": [_key(key) for key in made.node], "chassis_type": _key(made.chassis_type),
            "class": _class(made.cls), "replaced": _class(made.replaced),
            "source_failed": made.source.status == "failed"}


def source_document(source: Any) -> dict[str, Any]:
    made = source.registrations
    return {**identity(source), "name": _text(source.name), "status": source.status,
            "error": None if source.error is None else error_document(source.error),
            "registrations": None if made is None else [registration_document(r) for r in made],
            "tampering": _texts(getattr(source, "tampering", ())),
            "threads_left": _texts(getattr(source, "threads_left", ()))}


def _accepting(conflict: Any, results: list[PreferenceResult]) -> PreferenceResult | None:
    found = getattr(conflict, "accepted_by", _MISSING)
    if found is _MISSING:
        return accepting(results, conflict)
    return found if isinstance(found, PreferenceResult) else None


def conflict_document(conflict: Any, results: list[PreferenceResult]) -> dict[str, Any]:
    accepted = _accepting(conflict, results)
    before = conflict.before
    parties: list[dict[str, Any]] = []
    if before is not None:  # the class that was there before the load: no source
        parties.append({"source": None, "class": _class(before), "source_failed": False})
    parties += [{"source": identity(r.source), "class": _class(r.cls),
                 "source_failed": r.source.status == "failed"} for r in conflict.registrations]
    losers: list[Any] = []
    for cls in [before, *(r.cls for r in conflict.registrations)]:
        if cls is not None and cls is not conflict.current and all(cls is not c for c in losers):
            losers.append(cls)
    return {"node": [_key(key) for key in conflict.node],
            "chassis_type": _key(conflict.chassis_type),
            "class": _class(conflict.current),
            "accepted": accepted is not None,
            "preference": None if accepted is None else accepted.preference.text,
            "decided_by": _text(getattr(conflict, "decided_by", None)),
            "registrations": parties,
            "replaced": [_class(cls) for cls in losers]}


def preference_document(result: PreferenceResult) -> dict[str, Any]:
    wanted = result.preference
    return {"preference": wanted.text, "node": list(wanted.node),
            "chassis_type": wanted.chassis_type, "source": wanted.source.text,
            "honoured": result.honoured, "class": _class(result.cls),
            "put_back": result.put_back, "sources": [identity(s) for s in result.sources],
            "reason": result.reason, "message": result.message}


# The document ------------------------------------------------------------------------------------


def _results(report: Any) -> list[PreferenceResult]:
    return list(getattr(report, "preferences", None) or ())


def source_label(source: Any) -> str:
    """How a line for people names a source: built-in plugin MODULE, or plugin ENTRY (MODULE) of
    DISTRIBUTION VERSION."""
    return shown(f"built-in plugin {source.name}" if source.kind == "builtin"
                 else f"plugin {source.label}")


def problems(report: Any) -> list[str]:
    """Everything that fails the check, one line each, safe to show: failures, conflicts that no
    preference accepts, preferences not honoured, tampering with the manager, classes lost,
    excluded modules that were imported all the same. Threads left running are reported, not
    counted."""
    results = _results(report)
    lines = [f"failure: {shown(s.error)}" for s in report.failures]
    lines += [f"conflict: {shown(c)}" for c in report.conflicts if _accepting(c, results) is None]
    lines += [shown(result.message) for result in results if not result.honoured]
    for s in report.sources:
        lines += [f"tampering: {source_label(s)} {shown(text)}"
                  for text in _texts(getattr(s, "tampering", ()))]
    lines += [f"excluded but imported: {source_label(s)} was left out, yet another source "
              f"imported its module {shown(s.module)}"
              for s in getattr(report, "excluded_but_imported", ())]
    lines += [f"lost: {shown(text)} (gone from the tree when the load ended)"
              for text in _texts(getattr(report, "lost", ()))]
    return lines


def notes(report: Any) -> list[str]:
    """What the check tells without failing: accepted conflicts, threads left running."""
    results = _results(report)
    lines = [f"accepted: {shown(c)}" for c in report.conflicts
             if _accepting(c, results) is not None]
    lines += [f"note: {source_label(s)} left threads running: "
              + shown(", ".join(_texts(s.threads_left)))
              for s in report.sources if getattr(s, "threads_left", None)]
    return lines


def check_document(report: Any, **extra: Any) -> dict[str, Any]:
    """The ``--check --json`` document of a LoadReport; `extra` adds (or replaces) members."""
    results = _results(report)
    conflicts = report.conflicts
    counts = dict.fromkeys(STATUSES, 0)
    counts.update(report.counts())
    found = problems(report)
    documents = [conflict_document(c, results) for c in conflicts]
    summary = {"sources": len(report.sources), **{s: counts[s] for s in STATUSES},
               "registrations": sum(1 for _ in report.registrations),
               "conflicts": len(conflicts),
               "accepted_conflicts": sum(1 for c in documents if c["accepted"]),
               "preference_problems": sum(1 for r in results if not r.honoured),
               "problems": len(found)}
    settings = getattr(report, "settings", None)
    document = {
        "format": FORMAT,
        "ok": not found,
        "unfinished": None,
        "summary": summary,
        "sources": [source_document(s) for s in report.sources],
        "conflicts": documents,
        "failures": [{**identity(s), **error_document(s.error)} for s in report.failures
                     if s.error is not None],
        "preferences": [preference_document(r) for r in results],
        "unmatched_exclusions": _texts(report.unmatched_exclusions),
        "unmatched_preferences": [r.preference.source.text for r in results
                                  if r.reason == "unmatched"],
        "excluded_but_imported": [identity(s) for s in
                                  getattr(report, "excluded_but_imported", ())],
        "lost": _texts(getattr(report, "lost", ())),
        "settings": None if settings is None else settings.to_dict(),
        "problems": found,
    }
    document.update(extra)
    return document


def unfinished_document(records: list[dict[str, Any]], reason: str,
                        settings: dict[str, Any] | None = None) -> dict[str, Any]:
    """The document of a check that did not finish (interrupted, or its loader could not go
    on): the sources reported so far, ``ok`` false, and ``unfinished`` saying why. Conflicts
    are not known: they are found when every source has loaded."""
    counts = dict.fromkeys(STATUSES, 0)
    for record in records:
        counts[record["status"]] = counts.get(record["status"], 0) + 1
    failures = [{**{k: record[k] for k in IDENTITY}, **record["error"]} for record in records
                if record.get("error")]
    found = [f"failure: {shown(failure['message'])}" for failure in failures]
    found.append(f"unfinished: {shown(reason)}")
    return {
        "format": FORMAT, "ok": False, "unfinished": reason,
        "summary": {"sources": len(records), **counts,
                    "registrations": sum(len(r.get("registrations") or ()) for r in records),
                    "conflicts": 0, "accepted_conflicts": 0, "preference_problems": 0,
                    "problems": len(found)},
        "sources": records, "conflicts": [], "failures": failures, "preferences": [],
        "unmatched_exclusions": [], "unmatched_preferences": [], "excluded_but_imported": [],
        "lost": [], "settings": settings, "problems": found,
    }
