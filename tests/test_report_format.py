"""The `--check --json` document (mirtal.report_format) of real loads, against the JSON Schema
shipped in the package."""

import copy
import importlib.metadata
from importlib import resources

import jsonschema
import pytest

from mirtal import report_format
from mirtal.core.pluginmanager import PluginManager
from mirtal.loading import LoadReport, PluginLoadError, PluginSource, Registration
from mirtal.settings import apply_preferences, deployment
from schema import SCHEMA_NAME, VALIDATOR, assert_valid_report, checked, shipped_schema
from sites import install, plugin

GOOD = plugin("mirtal-good", "kolm", "os='kolm'")
CLASH = plugin("Mirtal_Clash", "clash", "os='brelk'")
BROKEN = ("mirtal-broken", {"broken": "mirtal_gone"}, {})
HALFWAY = plugin("mirtal-halfway", "dex", "os='dex'", fail=True)
# Keys that are not plain text, and an exception that cannot be printed.
ODD = ("mirtal-odd", {"odd": "mirtal_odd"}, {"mirtal_odd.py": """\
import mirtal
class Key(str):
    def __str__(self):
        raise RuntimeError("no text")
class Odd:
    pass
m = mirtal.__plugin_manager__
m.register_plugin(Odd, os=Key("quilos"), chassis_type=("x", float("nan")))
m.register_plugin(Odd, os=Key("quilos"), chassis_type=float("inf"))
class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text either")
raise Unprintable()
"""})

BUILTIN = {"kind": "builtin", "entry_point": None, "module": "mirtal.plugins.brelk",
           "distribution": "mirtal", "version": importlib.metadata.version("mirtal")}


def test_the_schema_ships_in_the_package_and_is_a_valid_schema():
    assert (resources.files("mirtal") / SCHEMA_NAME).is_file()
    assert f"mirtal/{SCHEMA_NAME}" in {str(f) for f in importlib.metadata.files("mirtal")}
    jsonschema.Draft202012Validator.check_schema(shipped_schema())
    assert report_format.schema() == shipped_schema()


def test_sources_failures_and_conflicts_are_told_by_their_fields(tmp_path):
    site = install(tmp_path / "site", BROKEN, GOOD, CLASH, HALFWAY)
    document, _ = checked(site, exclude=["kolm", "nothing"])
    assert (document["format"], document["ok"]) == (1, False)
    sources = {s["name"]: s for s in document["sources"]}
    assert {k: sources["clash"][k] for k in BUILTIN} == {
        "kind": "external", "entry_point": "clash", "module": "mirtal_clash",
        "distribution": "Mirtal-Clash", "version": "1.0"}
    assert sources["kolm"]["status"] == "excluded" and sources["kolm"]["registrations"] is None
    dex = sources["dex"]
    assert dex["error"]["where"] == {"file": str(site / "mirtal_halfway.py"), "line": 5}
    assert (dex["error"]["exception"], dex["error"]["exception_message"]) == (
        "RuntimeError", "broken")
    assert dex["registrations"] == [{"node": ["dex"], "chassis_type": "single_rp",
                                     "class": "mirtal_halfway.C0", "replaced": None,
                                     "source_failed": True}]
    assert sorted(f["entry_point"] for f in document["failures"]) == ["broken", "dex"]
    assert next(f for f in document["failures"] if f["entry_point"] == "broken")["where"] is None
    [conflict] = document["conflicts"]
    assert [r["source"] for r in conflict["registrations"]] == [
        BUILTIN, {k: sources["clash"][k] for k in BUILTIN}]
    assert (conflict["class"], conflict["replaced"], conflict["accepted"]) == (
        "mirtal_clash.C0", ["mirtal.plugins.brelk.SingleRpConnection"], False)
    assert document["summary"] == {
        "sources": len(document["sources"]), "loaded": len(document["sources"]) - 3,
        "failed": 2, "excluded": 1, "already_loaded": 0,
        "registrations": 7, "conflicts": 1, "accepted_conflicts": 0, "preference_problems": 0,
        "problems": 3}
    assert [line.split(":")[0] for line in document["problems"]] == [
        "failure", "failure", "conflict"]
    assert document["unmatched_exclusions"] == ["nothing"]
    assert document["settings"]["exclude"] == ["kolm", "nothing"]


def test_an_accepted_conflict_does_not_fail_the_check(tmp_path):
    site = install(tmp_path / "site", GOOD, CLASH)
    document, _ = checked(site, prefer=["brelk=dist:mirtal-clash"])
    [conflict] = document["conflicts"]
    assert (conflict["accepted"], conflict["preference"]) == (True, "brelk=dist:mirtal-clash")
    assert document["ok"] and document["summary"]["accepted_conflicts"] == 1
    [preference] = document["preferences"]
    assert preference["sources"] == [{"kind": "external", "entry_point": "clash",
                                      "module": "mirtal_clash", "distribution": "Mirtal-Clash",
                                      "version": "1.0"}]


def test_keys_and_errors_that_cannot_be_printed_still_make_plain_json(tmp_path):
    document, _ = checked(install(tmp_path / "site", ODD))
    [odd] = [s for s in document["sources"] if s["kind"] == "external"]
    assert [(r["node"], r["chassis_type"]) for r in odd["registrations"]] == [
        (["quilos"], ["x", {"type": "float", "repr": "nan"}]),
        (["quilos"], {"type": "float", "repr": "inf"})]
    assert odd["error"]["exception"] == "Unprintable"
    assert odd["error"]["exception_message"] == "<unprintable Unprintable>"


# What the load check adds to a report: sources that tampered or left threads, excluded modules
# imported all the same, a conflict decided by the order within one folder.
MARKED = """\
class Marked:
    def __init__(self, source, **found):
        vars(self).update(found, source=source)
    def __getattr__(self, name):
        return getattr(self.source, name)
at = next(i for i, s in enumerate(report.sources) if s.name == "clash")
report.sources[at] = Marked(report.sources[at], tampering=["replaced mirtal.__plugin_manager__"],
                            threads_left=["worker"])
report.excluded_but_imported = [s for s in report.sources if s.name == "kolm"]
computed = type(report).conflicts.fget
def conflicts(self):
    found = computed(self)
    for conflict in found:
        conflict.decided_by = "the listing order of the folder /x"
    return found
type(report).conflicts = property(conflicts)
"""


def test_what_the_load_check_adds_is_reported_and_counted(tmp_path):
    site = install(tmp_path / "site", GOOD, CLASH)
    document, _ = checked(site, prefer=["brelk=clash"], after=MARKED)
    clash = next(s for s in document["sources"] if s["name"] == "clash")
    assert (clash["tampering"], clash["threads_left"]) == (
        ["replaced mirtal.__plugin_manager__"], ["worker"])
    assert document["conflicts"][0]["decided_by"] == "the listing order of the folder /x"
    assert [s["module"] for s in document["excluded_but_imported"]] == ["mirtal_good"]
    # Tampering and a module imported though excluded fail the check; a thread is only told.
    assert document["problems"] == [
        "tampering: plugin clash (mirtal_clash) of Mirtal-Clash 1.0 replaced "
        "mirtal.__plugin_manager__",
        "excluded but imported: plugin kolm (mirtal_good) of mirtal-good 1.0 was left out, yet "
        "another source imported its module mirtal_good"]
    assert not document["ok"] and document["summary"]["problems"] == 2


class Mine:
    pass


class Theirs:
    pass


def small_document():
    """The document of a hand-made report: two sources registering at brelk, a preference for
    the second, one that matches nothing, and a failed source."""
    manager = PluginManager()
    report = LoadReport(manager, ["nothing"])
    mine = PluginSource("builtin", "mirtal.plugins.brelk", "mirtal.plugins.brelk", "mirtal")
    theirs = PluginSource("external", "clash", "mirtal_clash", "mirtal-clash", "2.0", object())
    for source, cls in [(mine, Mine), (theirs, Theirs)]:
        manager.register_plugin(cls, "brelk")
        source.registrations.append(Registration(source, ("brelk",), "single_rp", cls, None))
        report.sources.append(source)
    broken = PluginSource("external", "broken", "mirtal_gone", "mirtal-broken", "1.0", object())
    broken.status = "failed"
    broken.error = PluginLoadError(ModuleNotFoundError("No module named 'mirtal_gone'"),
                                   broken.entry_point, broken)
    report.sources.append(broken)
    settings = deployment(prefer=["brelk=clash", "oru=nothing"], environ={})
    report.preferences = apply_preferences(report, settings.prefer)
    report.settings = settings
    return report_format.check_document(report)


def test_a_hand_made_report_is_valid():
    document = small_document()
    assert_valid_report(document)
    assert [p["honoured"] for p in document["preferences"]] == [True, False]
    assert document["conflicts"][0]["accepted"] is True


def _set(path, value):
    def change(document):
        *parents, last = path
        for part in parents:
            document = document[part]
        if value is KeyError:
            del document[last]
        else:
            document[last] = value
    return change


@pytest.mark.parametrize("change", [
    _set(["format"], KeyError),
    _set(["format"], 2),
    _set(["ok"], "yes"),
    _set(["summary", "problems"], KeyError),
    _set(["summary", "loaded"], -1),
    _set(["sources", 0, "kind"], "plugin"),
    _set(["sources", 0, "entry_point"], "mirtal.plugins.brelk"),
    _set(["sources", 0, "distribution"], "mirtal-clash"),
    _set(["sources", 1, "version"], KeyError),
    _set(["sources", 1, "status"], "skipped"),
    _set(["sources", 1, "registrations"], KeyError),
    _set(["sources", 1, "tampering"], None),
    _set(["sources", 2, "error"], None),
    _set(["sources", 0, "error"], {"exception": "E", "exception_message": "",
                                   "message": "", "where": None}),
    _set(["sources", 2, "error", "where"], "mirtal_gone.py:3"),
    _set(["sources", 0, "registrations", 0, "node"], []),
    _set(["sources", 0, "registrations", 0, "node"], ["a", "b", "c", "d"]),
    _set(["sources", 0, "registrations", 0, "node"], [{"type": "float"}]),
    _set(["sources", 0, "registrations", 0, "replaced"], KeyError),
    _set(["conflicts", 0, "preference"], None),
    _set(["conflicts", 0, "accepted"], KeyError),
    _set(["conflicts", 0, "decided_by"], KeyError),
    _set(["conflicts", 0, "registrations", 1], KeyError),
    _set(["conflicts", 0, "registrations", 0, "source"], "mirtal.plugins.brelk"),
    _set(["conflicts", 0, "replaced"], KeyError),
    _set(["failures", 0, "entry_point"], KeyError),
    _set(["failures", 0, "where"], KeyError),
    _set(["preferences", 0, "reason"], "failed"),
    _set(["preferences", 1, "message"], None),
    _set(["preferences", 1, "node"], "oru"),
    _set(["unmatched_exclusions"], KeyError),
    _set(["settings", "exclude_from"], "command line"),
    _set(["problems"], KeyError),
])
def test_the_schema_refuses_a_document_that_breaks_the_format(change):
    document = copy.deepcopy(small_document())
    change(document)
    assert not VALIDATOR.is_valid(document)


@pytest.mark.parametrize("value", [("brelk",), float("nan"), {1: "a"}, type("Text", (str,), {})()])
def test_only_plain_json_passes(value):
    document = small_document()
    document["sources"][0]["registrations"][0]["node"] = [value]
    with pytest.raises(AssertionError):
        assert_valid_report(document)
