"""load_plugins and `mirtal --check` over real distributions on disk, each run in a fresh
interpreter that sees mirtal, setuptools and the test's own distributions only."""

import json
import subprocess
import textwrap

import pytest

from schema import assert_valid_report
from sites import PYTHON, environment, install, package_copy

REGISTER = """\
from mirtal import __plugin_manager__
class {cls}:
    pass
__plugin_manager__.register_plugin({cls}, os={os!r})
"""
# Distributions: name -> (entry points, modules).
GOOD = ("mirtal-good", {"kolm": "mirtal_good"},
        {"mirtal_good.py": REGISTER.format(cls="KolmConnection", os="kolm")})
CLASH = ("mirtal-clash", {"clash": "mirtal_clash"},
         {"mirtal_clash.py": REGISTER.format(cls="BrelkConnection", os="brelk")})
BROKEN = ("mirtal-broken", {"broken": "mirtal_gone"}, {})
# Registers a class, then fails: its class stays in the tree.
HALFWAY = ("mirtal-halfway", {"dex": "mirtal_halfway"},
           {"mirtal_halfway.py": REGISTER.format(cls="DexConnection", os="dex")
            + "raise RuntimeError('dex half done')\n"})
EXCLUDED = ("mirtal-skipped", {"skipped": "mirtal_skipped"},
            {"mirtal_skipped.py": "raise SystemExit('must not be imported')\n"})
ALL = [BROKEN, GOOD, CLASH, HALFWAY, EXCLUDED]

BROKEN_LINE = ("plugin broken (mirtal_gone) of mirtal-broken 1.0 failed to load: "
               "ModuleNotFoundError: No module named 'mirtal_gone'")
CONFLICT_LINE = ("conflict: brelk (single_rp): mirtal.plugins.brelk.SingleRpConnection by "
                 "mirtal.plugins.brelk, then mirtal_clash.BrelkConnection by clash "
                 "(mirtal_clash) of mirtal-clash 1.0; in the tree: mirtal_clash.BrelkConnection")


def mirtal_command(site, *args, env=None):
    return subprocess.run([*PYTHON, "-m", "mirtal", *args], capture_output=True, text=True,
                          env=environment(site, extra=env), cwd=site, timeout=120)


def python(site, code):
    """Runs `code` in a fresh interpreter; what it prints last is read as JSON."""
    done = subprocess.run([*PYTHON, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=environment(site), cwd=site, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1]), done.stderr


# --- mirtal --check ------------------------------------------------------------------------------

def test_check_names_the_failures_and_the_collision(tmp_path):
    site = install(tmp_path / "site", *ALL)
    result = mirtal_command(site, "--check", "--exclude", "skipped")
    assert (result.returncode, result.stderr) == (1, "")
    lines = result.stdout.splitlines()
    failures = sorted(lines[:2])  # in the order the entry points are listed
    assert failures[0] == f"failure: {BROKEN_LINE}"
    assert failures[1].startswith("failure: plugin dex (mirtal_halfway) of mirtal-halfway 1.0 "
                                  "failed to load: RuntimeError: dex half done (")
    assert lines[2] == CONFLICT_LINE
    assert lines[3].endswith("2 failed to load, 1 conflict")

    report = json.loads(mirtal_command(site, "--check", "--json", "--exclude", "skipped").stdout)
    assert_valid_report(report)
    assert sorted(f["entry_point"] for f in report["failures"]) == ["broken", "dex"]
    assert BROKEN_LINE in [f["message"] for f in report["failures"]]
    [conflict] = report["conflicts"]
    assert (conflict["node"], conflict["chassis_type"]) == (["brelk"], "single_rp")
    assert [(r["source"]["module"], r["source"]["entry_point"], r["source"]["distribution"],
             r["class"]) for r in conflict["registrations"]] == [
        ("mirtal.plugins.brelk", None, "mirtal", "mirtal.plugins.brelk.SingleRpConnection"),
        ("mirtal_clash", "clash", "mirtal-clash", "mirtal_clash.BrelkConnection")]
    assert conflict["replaced"] == ["mirtal.plugins.brelk.SingleRpConnection"]
    assert report["format"] == 1 and report["summary"]["failed"] == 2
    assert conflict["class"] == "mirtal_clash.BrelkConnection"
    statuses = {s["name"]: s["status"] for s in report["sources"]}
    assert [statuses[name] for name in ("broken", "kolm", "clash", "dex", "skipped")] == [
        "failed", "loaded", "loaded", "failed", "excluded"]
    dex = next(s for s in report["sources"] if s["name"] == "dex")
    assert [(r["node"], r["source_failed"]) for r in dex["registrations"]] == [(["dex"], True)]


@pytest.mark.parametrize("how", ["option", "environment"])
def test_check_with_the_broken_ones_excluded_still_reports_the_collision(tmp_path, how):
    site = install(tmp_path / "site", *ALL)
    names = ["broken", "dex", "skipped"]
    if how == "option":
        result = mirtal_command(site, "--check", *[f"--exclude={name}" for name in names])
    else:
        result = mirtal_command(site, "--check", env={"MIRTAL_EXCLUDE_PLUGINS": ", ".join(names)})
    assert (result.returncode, result.stderr) == (1, "")
    assert [line for line in result.stdout.splitlines() if not line[0].isdigit()] == [
        CONFLICT_LINE]


@pytest.mark.parametrize("distributions, status", [([], 0), ([GOOD], 0), ([GOOD, CLASH], 1)])
def test_check_exits_0_only_without_failure_or_conflict(tmp_path, distributions, status):
    site = install(tmp_path / "site", *distributions)
    result = mirtal_command(site, "--check")
    assert (result.returncode, result.stderr) == (status, "")
    report = json.loads(mirtal_command(site, "--check", "--json").stdout)
    assert_valid_report(report)
    assert (report["failures"], len(report["conflicts"])) == ([], status)


def test_exclusion_that_matches_nothing_is_told(tmp_path):
    site = install(tmp_path / "site", GOOD)
    result = mirtal_command(site, "--check", "--exclude", "kolmm")
    assert result.returncode == 0
    assert result.stderr == "mirtal: warning: no plugin named kolmm to exclude\n"


def test_keep_going_tells_an_answer_from_a_plugin_that_failed(tmp_path):
    site = install(tmp_path / "site", GOOD, HALFWAY)
    result = mirtal_command(site, "-k", "--os", "dex")
    assert result.returncode == 1
    assert result.stdout.startswith("class: mirtal_halfway.DexConnection\n")
    assert result.stderr.splitlines()[-1] == (
        "mirtal: warning: mirtal_halfway.DexConnection was registered by dex (mirtal_halfway) "
        "of mirtal-halfway 1.0, which then failed to load")
    answer = json.loads(mirtal_command(site, "-k", "--os", "dex", "--json").stdout)
    assert answer["lookup"]["registered_by_failed_plugin"]["entry_point"] == "dex"
    kolm = json.loads(mirtal_command(site, "-k", "--os", "kolm", "--json").stdout)
    assert "registered_by_failed_plugin" not in kolm["lookup"]


# --- load_plugins --------------------------------------------------------------------------------

def test_warn_loads_every_good_plugin_after_a_broken_one(tmp_path):
    site = install(tmp_path / "site", *ALL)
    report, stderr = python(site, """
        import json, warnings, mirtal
        from mirtal.loading import PluginLoadWarning
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report = mirtal.load_plugins(on_error="warn", exclude=["skipped"])
        assert all(w.category is PluginLoadWarning for w in caught), caught
        assert [str(w.message) for w in caught] == [s.error.args and str(s.error)
                                                    for s in report.failures]
        assert caught[0].filename == "<string>"  # the caller's line
        import pkg_resources
        listed = [ep.name for ep in pkg_resources.iter_entry_points("mirtal.plugins")]
        print(json.dumps({**report.to_dict(), "listed": listed}))
    """)
    assert sorted(report["listed"]) == ["broken", "clash", "dex", "kolm", "skipped"]
    assert [s["name"] for s in report["sources"] if s["kind"] == "external"] == report["listed"]
    assert sorted(f["entry_point"] for f in report["failures"]) == ["broken", "dex"]
    kolm = next(s for s in report["sources"] if s["name"] == "kolm")
    assert kolm["registrations"] == [{"node": ["kolm"], "chassis_type": "single_rp",
                                      "class": "mirtal_good.KolmConnection",
                                      "source_failed": False}]
    assert report["unmatched_exclusions"] == []


def test_raise_names_the_culprit_and_chains_what_it_raised(tmp_path):
    site = install(tmp_path / "site", GOOD, HALFWAY)
    result, _ = python(site, """
        import json, mirtal
        from mirtal.loading import PluginLoadError
        try:
            mirtal.load_plugins()
        except PluginLoadError as failure:
            print(json.dumps([str(failure), type(failure.__cause__).__name__,
                              failure.error is failure.__cause__,
                              "register_plugin" in vars(mirtal.__plugin_manager__)]))
    """)
    message, cause, same, left_over = result
    assert message.startswith("plugin dex (mirtal_halfway) of mirtal-halfway 1.0 failed to load: "
                              "RuntimeError: dex half done")
    assert (cause, same, left_over) == ("RuntimeError", True, False)


def test_callback_gets_each_failure_and_bad_arguments_are_refused(tmp_path):
    site = install(tmp_path / "site", BROKEN, GOOD)
    result, _ = python(site, """
        import json, mirtal
        seen = []
        report = mirtal.load_plugins(builtin=False, on_error=seen.append)
        refused = []
        for kwargs in [{"on_error": "ignore"}, {"exclude": "kolm"}, {"exclude": [1]}]:
            try:
                mirtal.load_plugins(**kwargs)
            except (TypeError, ValueError) as error:
                refused.append(type(error).__name__)
        print(json.dumps([[f.culprit()["entry_point"] for f in seen],
                          [s.status for s in report.sources], refused]))
    """)
    assert result == [["broken"], ["failed", "loaded"], ["ValueError", "TypeError", "TypeError"]]


def test_a_source_imported_before_is_reported_without_guessing(tmp_path):
    site = install(tmp_path / "site", GOOD)
    result, _ = python(site, """
        import json, mirtal
        m = mirtal.__plugin_manager__
        m.discover_builtin_plugins()
        first = mirtal.load_plugins()
        again = mirtal.load_plugins()
        print(json.dumps([[(s.name, s.status, s.registrations and len(s.registrations))
                           for s in r.sources] for r in (first, again)]))
    """)
    first, again = result
    assert {status for _, status, _ in first[:-1]} == {"already_loaded"}
    assert all(registrations is None for _, _, registrations in first[:-1])
    assert first[-1] == ["kolm", "loaded", 1]
    assert [status for _, status, _ in again] == ["already_loaded"] * len(again)


def test_watch_hands_calls_on_and_restores_an_override_of_the_callers(tmp_path):
    site = install(tmp_path / "site", GOOD, (
        "mirtal-rebinder", {"rebinder": "mirtal_rebinder"},
        {"mirtal_rebinder.py": "import mirtal\n"
                               "m = mirtal.__plugin_manager__\n"
                               "inner = m.register_plugin\n"
                               "def mine(*a, **k):\n"
                               "    return inner(*a, **k)\n"
                               "m.register_plugin = mine\n"
                               "class Oru:\n    pass\n"
                               "m.register_plugin(Oru, os='oru')\n"}),
        ("mirtal-zlate", {"zlate": "mirtal_zlate"},
         {"mirtal_zlate.py": REGISTER.format(cls="UzuConnection", os="uzu")}))
    result, _ = python(site, """
        import json, mirtal
        m = mirtal.__plugin_manager__
        calls = []
        original = m.register_plugin
        def override(*args, **kwargs):
            calls.append(kwargs.get("os"))
            return original(*args, **kwargs)
        m.register_plugin = override
        report = mirtal.load_plugins(builtin=False)
        kept = vars(m)["register_plugin"].__name__
        from mirtal.loading import LoadReport
        m.register_plugin(LoadReport, os="plo")  # after the load: not recorded
        made = {s.name: s.registrations and [r.node for r in s.registrations]
                for s in report.sources}
        print(json.dumps([calls, kept, made,
                          sum(1 for _ in report.registrations),
                          [(s.name, s.tampering) for s in report.tampered]]))
    """)
    calls, kept, registrations, count, tampered = result
    assert sorted(calls[:3]) == ["kolm", "oru", "uzu"] and calls[3] == "plo"
    # The plugin's rebinding is put back after the load (it is not ours to undo); while the
    # sources load the recorder is put back in its place, and what the rebinding source
    # registered is unknown: the report says so instead of trusting it.
    assert kept == "mine"
    assert registrations == {"kolm": [["kolm"]], "rebinder": None, "zlate": [["uzu"]]}
    assert count == 2
    assert tampered == [["rebinder", ["rebound register_plugin on the shared manager, so what it "
                                      "registered is unknown"]]]


# --- built-in plugins ----------------------------------------------------------------------------

RUNS = "import builtins\nbuiltins.runs = getattr(builtins, 'runs', []) + [__name__]\n"


@pytest.mark.parametrize("error", ["RuntimeError", "ImportError"])
def test_builtin_failure_is_not_run_twice_and_the_walk_goes_on(tmp_path, error):
    site = package_copy(tmp_path / "site", {
        "plugins/a_broken/__init__.py": RUNS + f"raise {error}('a is broken')\n",
        "plugins/a_broken/inner.py": RUNS,
        "plugins/b_after.py": RUNS + REGISTER.format(cls="PloConnection", os="plo"),
    })
    result, _ = python(site, """
        import builtins, json, mirtal
        report = mirtal.load_plugins(external=False, on_error=lambda failure: None)
        print(json.dumps([builtins.runs, [(s.name, s.status) for s in report.sources]]))
    """)
    runs, sources = result
    assert runs == ["mirtal.plugins.a_broken", "mirtal.plugins.b_after"]
    assert ["mirtal.plugins.a_broken", "failed"] in sources
    assert ["mirtal.plugins.b_after", "loaded"] in sources
    assert not any(name.startswith("mirtal.plugins.a_broken.") for name, _ in sources)


def test_excluding_a_builtin_package_leaves_out_the_modules_below_it(tmp_path):
    site = install(tmp_path / "site", GOOD)
    result, _ = python(site, """
        import json, sys, mirtal
        report = mirtal.load_plugins(exclude=["mirtal.plugins.vennu", "kolm"])
        print(json.dumps([[(s.name, s.status) for s in report.sources],
                          "mirtal.plugins.vennu" in sys.modules,
                          sorted(mirtal.__plugin_manager__.plugins)]))
    """)
    sources, imported, tree = result
    assert ["mirtal.plugins.vennu", "excluded"] in sources
    assert ["kolm", "excluded"] in sources
    assert not imported and tree == ["brelk"]
    assert not any(name.startswith("mirtal.plugins.vennu.") for name, _ in sources)


def test_debug_lines_and_order_are_those_of_discovery(tmp_path):
    site = install(tmp_path / "site", BROKEN, GOOD, CLASH)
    code = """
        import json, logging, mirtal
        lines = []
        class Keep(logging.Handler):
            def emit(self, record):
                lines.append(record.getMessage())
        mirtal.log.addHandler(Keep())
        mirtal.log.setLevel(logging.DEBUG)
        m = mirtal.__plugin_manager__
        {}
        import pkg_resources
        listed = [f"Loading external plugin {{ep.name}} from {{ep.module_name}}"
                  for ep in pkg_resources.iter_entry_points("mirtal.plugins")]
        print(json.dumps([lines, sorted(map(str, m.plugins)), listed]))
    """
    discovered, _ = python(site, code.format(
        "m.discover_builtin_plugins()\n"
        "        for _ in range(3):\n"
        "            try:\n"
        "                m.discover_external_plugins()\n"
        "            except ImportError:\n"
        "                pass"))
    loaded, _ = python(site, code.format("mirtal.load_plugins(on_error=lambda f: None)"))
    listed = loaded[2]
    assert len(listed) == 3 and discovered[2] == listed
    # Discovery stops at the broken entry point each time; loading goes on past it once.
    upto = listed[:listed.index("Loading external plugin broken from mirtal_gone") + 1]
    assert discovered[0] == upto * 3
    assert loaded[0] == listed
    assert loaded[1] == ["brelk", "kolm", "vennu"]


TWICE = ("mirtal-twice", {"twice": "mirtal_twice"}, {"mirtal_twice.py": (
    REGISTER.format(cls="First", os="oru") + REGISTER.format(cls="Second", os="oru")
    .replace("from mirtal import __plugin_manager__\n", ""))})


@pytest.mark.parametrize("before, distributions, expected", [
    # A class registered before the load counts as one more source.
    (True, [GOOD], [[None, "kolm (mirtal_good) of mirtal-good 1.0",
                     "mirtal_good.KolmConnection"]]),
    # The same class again is no conflict, nor one source replacing its own class.
    (False, [GOOD, TWICE], []),
])
def test_conflicts_count_sources_and_what_was_there_before(tmp_path, before, distributions,
                                                            expected):
    site = install(tmp_path / "site", *distributions)
    result, _ = python(site, f"""
        import json, mirtal
        from mirtal.loading import LoadReport
        if {before}:
            mirtal.__plugin_manager__.register_plugin(LoadReport, os="kolm")
        report = mirtal.load_plugins(builtin=False)
        print(json.dumps([[r["source"] for r in c["registrations"]] + [c["class"]]
                          for c in report.to_dict()["conflicts"]]))
    """)
    assert result == expected


def test_hostile_keys_and_other_managers_do_not_break_the_report(tmp_path):
    site = install(tmp_path / "site", ("mirtal-odd", {"odd": "mirtal_odd"}, {"mirtal_odd.py": (
        "import mirtal\n"
        "from mirtal.core.pluginmanager import PluginManager\n"
        "class Key(str):\n"
        "    def __str__(self):\n"
        "        raise RuntimeError('no text')\n"
        "class Odd:\n    pass\n"
        "mirtal.__plugin_manager__.register_plugin(Odd, os=Key('quilos'), chassis_type=('x',))\n"
        "PluginManager().register_plugin(Odd, os='oru')\n"
        "try:\n"
        "    mirtal.__plugin_manager__.register_plugin(Odd, os='oru', series='BAD')\n"
        "except Exception:\n"
        "    pass\n")}))
    result, _ = python(site, """
        import json, mirtal
        report = mirtal.load_plugins(builtin=False)
        [source] = report.sources
        print(json.dumps([source.status, len(source.registrations), report.to_dict()["sources"][0]
                          ["registrations"][0]["chassis_type"], len(report.conflicts)]))
    """)
    # The other manager's registration and the rejected one are not the shared manager's.
    assert result == ["loaded", 1, ["x"], 0]


@pytest.mark.parametrize("broken", ["walk", "listing"])
def test_a_failing_walk_or_listing_is_a_failed_source_and_the_other_kind_still_loads(
        tmp_path, broken):
    site = install(tmp_path / "site", GOOD)
    result, _ = python(site, f"""
        import json, mirtal
        from mirtal.core import pluginmanager
        def fails(*args, **kwargs):
            raise OSError("cannot list")
        if {broken!r} == "walk":
            import types
            pluginmanager.pkgutil = types.SimpleNamespace(walk_packages=fails)
        else:
            pluginmanager.iter_entry_points = fails
        report = mirtal.load_plugins(on_error=lambda failure: None)
        print(json.dumps([[[s.kind, s.name, str(s.error.error)] for s in report.failures],
                          sorted(mirtal.__plugin_manager__.plugins)]))
    """)
    failed, tree = result
    assert failed == [{"walk": ["builtin", "mirtal", "cannot list"],
                       "listing": ["external", "mirtal.plugins", "cannot list"]}[broken]]
    assert tree == (["kolm"] if broken == "walk" else ["brelk", "vennu"])


@pytest.mark.parametrize(("fault", "line", "culprit"), [
    ("listing", "the entry points of mirtal.plugins failed to load: OSError: cannot list",
     {"entry_point": None, "module": None, "distribution": None, "version": None}),
    ("name", "plugin ? (?) failed to load: RuntimeError: no name",
     {"entry_point": "?", "module": None, "distribution": None, "version": None}),
])
def test_a_failure_is_told_from_what_could_be_read_of_its_source(tmp_path, fault, line, culprit):
    site = install(tmp_path / "site")
    result, _ = python(site, f"""
        import json, mirtal
        from mirtal.core import pluginmanager
        class Nameless:
            @property
            def name(self):
                raise RuntimeError("no name")
        def entry_points(group):
            if {fault!r} == "listing":
                raise OSError("cannot list")
            return [Nameless()]
        pluginmanager.iter_entry_points = entry_points
        report = mirtal.load_plugins(builtin=False, on_error=lambda failure: None)
        print(json.dumps([[str(s.error), s.error.culprit()] for s in report.failures]))
    """)
    assert result == [[line, culprit]]


CALLS = """\
from mirtal import __plugin_manager__ as m
class C:
    pass
m.register_plugin(C, "kolm")
m.register_plugin(C, os="kolm", series="k2")
m.register_plugin(cls=C, os="dex", chassis_type="stack")
m.register_plugin(C, "oru", None, None, "dual_rp")
refused = []
for args, kwargs in [((C, "kolm"), {"os": "x"}), ((C, "kolm"), {"bogus": 1}), ((), {}),
                     ((C, "a", "b", "c", "single_rp", "extra"), {})]:
    try:
        m.register_plugin(*args, **kwargs)
    except TypeError as error:
        refused.append(str(error))
"""


def test_the_recorder_binds_calls_as_the_manager_does(tmp_path):
    site = install(tmp_path / "site", ("mirtal-calls", {"calls": "mirtal_calls"},
                                       {"mirtal_calls.py": CALLS}))
    result, _ = python(site, """
        import json, mirtal
        report = mirtal.load_plugins(builtin=False)
        import mirtal_calls
        print(json.dumps([[[list(r.node), r.chassis_type] for r in report.registrations],
                          mirtal_calls.refused]))
    """)
    made, refused = result
    assert made == [[["kolm"], "single_rp"], [["kolm", "k2"], "single_rp"],
                    [["dex"], "stack"], [["oru"], "dual_rp"]]
    assert len(refused) == 4 and all("register_plugin()" in text for text in refused)
