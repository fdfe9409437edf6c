"""Deployment settings (mirtal.settings): selectors, preferences, where they are read from, and
preferences applied to real loads in a fresh interpreter."""

import pytest

from mirtal.core.pluginmanager import PluginManager
from mirtal.loading import LoadReport, PluginSource, Registration
from mirtal.settings import (
    Preference,
    Selector,
    SettingsError,
    accepting,
    apply_preferences,
    deployment,
    exclude_source,
    unmatched_hint,
)
from schema import checked
from sites import install, plugin


def builtin(name):
    return PluginSource("builtin", name, name, "mirtal")


def external(name, dist="mirtal-clash", module="mirtal_clash"):
    return PluginSource("external", name, module, dist, "1.0", entry_point=object())


# --- reading the texts ---------------------------------------------------------------------------

@pytest.mark.parametrize("text, name, distribution", [
    ("kolm", "kolm", None),
    ("  mirtal.plugins.vennu ", "mirtal.plugins.vennu", None),
    ("dist:Mirtal_Clash", None, "mirtal-clash"),
    ("dist: mirtal..clash-_x ", None, "mirtal-clash-x"),
])
def test_selector_reads_a_name_or_a_distribution(text, name, distribution):
    selector = Selector(text)
    assert (selector.name, selector.distribution, selector.text) == (
        name, distribution, text.strip())


@pytest.mark.parametrize("text, message", [
    ("", "exclude: an empty plugin name"),
    ("dist:", "exclude: 'dist:' names no distribution after 'dist:'"),
    ("dist:  ", "exclude: 'dist:' names no distribution after 'dist:'"),
])
def test_selector_refuses_an_empty_name(text, message):
    with pytest.raises(SettingsError) as caught:
        Selector(text)
    assert str(caught.value) == message


@pytest.mark.parametrize("text, source, below, expected", [
    ("kolm", external("kolm"), False, True),
    ("kolm", external("kolmm"), False, False),
    ("mirtal.plugins.vennu", builtin("mirtal.plugins.vennu"), False, True),
    # A package's name covers the modules below it only for exclusions.
    ("mirtal.plugins.vennu", builtin("mirtal.plugins.vennu.zq4"), True, True),
    ("mirtal.plugins.vennu", builtin("mirtal.plugins.vennu.zq4"), False, False),
    ("mirtal.plugins.vennu", builtin("mirtal.plugins.vennuz"), True, False),
    ("mirtal.plugins.vennu", external("mirtal.plugins.vennu.zq4"), True, False),
    # An entry point is named by its name, never by its module.
    ("mirtal_clash", external("clash"), True, False),
    ("dist:MIRTAL.clash", external("clash"), False, True),
    ("dist:mirtal-clash", external("clash", dist="Mirtal_Clash"), False, True),
    ("dist:mirtal-clash", external("clash", dist=None), False, False),
    ("dist:mirtal", builtin("mirtal.plugins.brelk"), False, True),
    ("dist:mirtal", external("clash"), False, False),
    ("clash", PluginSource("external", "?"), False, False),
])
def test_selector_matches(text, source, below, expected):
    assert Selector(text).matches(source, below=below) is expected


@pytest.mark.parametrize("text, node, chassis_type, source", [
    ("vennu=zq", ("vennu",), "single_rp", "zq"),
    (" vennu / zq4 / m1 : dual_rp = dist:Mirtal-Zq ", ("vennu", "zq4", "m1"), "dual_rp",
     "dist:Mirtal-Zq"),
    ("vennu/zq4:stack=mirtal.plugins.vennu.zq4", ("vennu", "zq4"), "stack",
     "mirtal.plugins.vennu.zq4"),
    # The last ':' before the first '=' ends the node.
    ("a:b:single_rp=x", ("a:b",), "single_rp", "x"),
    ("vennu=dist:a=b", ("vennu",), "single_rp", "dist:a=b"),
])
def test_preference_reads_its_place_and_source(text, node, chassis_type, source):
    preference = Preference(text)
    assert (preference.node, preference.chassis_type, preference.source.text) == (
        node, chassis_type, source)


@pytest.mark.parametrize("text, wrong", [
    ("vennu", "has no '='"),
    ("=zq", "has an empty part in its node"),
    ("vennu//m1=zq", "has an empty part in its node"),
    ("a/b/c/d=zq", "has 4 levels in its node, at most 3 (os/series/model)"),
    ("vennu:=zq", "has an empty chassis type after ':'"),
    ("vennu= ", "names no source after '='"),
    ("vennu=dist:", "names no distribution after 'dist:'"),
])
def test_preference_refuses_what_it_cannot_read(text, wrong):
    with pytest.raises(SettingsError) as caught:
        Preference(text, "--prefer")
    assert str(caught.value).startswith(f"--prefer: {text.strip()!r} {wrong}")


# --- where the settings come from ----------------------------------------------------------------

ENVIRON = {"MIRTAL_EXCLUDE_PLUGINS": " kolm, ,dist:mirtal-x,kolm",
           "MIRTAL_PREFER": "vennu=a; ;brelk=b"}


@pytest.mark.parametrize("exclude, prefer, environ, expected", [
    (None, None, {}, ([], [], None, None)),
    (None, None, ENVIRON,
     (["kolm", "dist:mirtal-x"], ["vennu=a", "brelk=b"], "environment", "environment")),
    # An argument that is given replaces the environment; an empty one means none.
    (["zlate"], None, ENVIRON, (["zlate"], ["vennu=a", "brelk=b"], "argument", "environment")),
    ((), [], ENVIRON, ([], [], None, None)),
    (None, ("oru=c", " oru = c "), ENVIRON, (["kolm", "dist:mirtal-x"], ["oru=c"],
                                            "environment", "argument")),
])
def test_arguments_win_over_the_environment(exclude, prefer, environ, expected):
    settings = deployment(exclude, prefer, environ=environ)
    assert ([s.text for s in settings.exclude], [p.text for p in settings.prefer],
            settings.origins["exclude"], settings.origins["prefer"]) == expected


@pytest.mark.parametrize("kwargs, error, message", [
    ({"exclude": "kolm"}, TypeError, "exclude must be a collection of texts, not a single string"),
    ({"prefer": b"vennu=a"}, TypeError, "prefer must be a collection of texts, not a single"),
    ({"exclude": ["kolm", 1]}, TypeError, "exclude holds texts (str), not int"),
    ({"prefer": ["vennu=a", "vennu:single_rp=b"]}, SettingsError,
     "prefer: 'vennu=a' and 'vennu:single_rp=b' prefer different sources at vennu (single_rp)"),
    ({"environ": {"MIRTAL_PREFER": "vennu/zq4"}}, SettingsError, "MIRTAL_PREFER: 'vennu/zq4' "),
    ({"environ": {"MIRTAL_EXCLUDE_PLUGINS": "dist:"}}, SettingsError,
     "MIRTAL_EXCLUDE_PLUGINS: 'dist:' names no distribution"),
    ({"prefer": ["vennu"], "names": ("--exclude", "--prefer")}, SettingsError,
     "--prefer: 'vennu' has no '='"),
])
def test_settings_that_cannot_be_read_are_refused(kwargs, error, message):
    with pytest.raises(error) as caught:
        deployment(**{"environ": {}, **kwargs})
    assert type(caught.value) is error and str(caught.value).startswith(message)


def test_every_selector_that_names_an_excluded_source_counts_as_matched():
    selectors = deployment(["kolm", "dist:Mirtal_Good", "mirtal.plugins", "nothing"],
                           environ={}).exclude
    unmatched = [s.text for s in selectors]
    sources = [external("kolm", "mirtal-good"), builtin("mirtal.plugins.vennu"),
               external("zlate", "mirtal-zlate")]
    assert [exclude_source(s, selectors, unmatched) for s in sources] == [True, True, False]
    assert unmatched == ["nothing"]


# --- preferences applied to real loads -----------------------------------------------------------

LEFT = plugin("mirtal-left", "left", "os='oru'")
RIGHT = plugin("mirtal-right", "right", "os='oru'")
BRELK = plugin("mirtal-brelk-too", "brelk-too", "os='brelk'", "os='brelk', chassis_type='dual_rp'")


@pytest.mark.parametrize("named", ["left", "dist:Mirtal_Left"])
@pytest.mark.parametrize("left_first", [True, False])
def test_the_preferred_class_wins_whatever_the_load_order(tmp_path, named, left_first):
    sites = [install(tmp_path / "a", LEFT), install(tmp_path / "b", RIGHT)]
    document, tree = checked(*(sites if left_first else sites[::-1]), prefer=[f"oru={named}"])
    assert tree["oru/single_rp"] == ["mirtal_left.C0", str(tmp_path / "a" / "mirtal_left.py")]
    [conflict] = document["conflicts"]
    assert (conflict["accepted"], conflict["preference"], conflict["replaced"]) == (
        True, f"oru={named}", ["mirtal_right.C0"])
    [result] = document["preferences"]
    # Put back only when the other one loaded last.
    assert (result["honoured"], result["put_back"]) == (True, left_first)
    assert document["ok"] and document["problems"] == []


def test_a_builtin_class_can_be_preferred_over_a_plugin_that_replaces_it(tmp_path):
    site = install(tmp_path / "site", BRELK)
    document, tree = checked(site, prefer=["brelk=mirtal.plugins.brelk"])
    klass, path = tree["brelk/single_rp"]
    assert klass == "mirtal.plugins.brelk.SingleRpConnection"
    assert path.endswith("/mirtal/plugins/brelk/__init__.py")
    # The other chassis type is another place: its conflict stays.
    assert tree["brelk/dual_rp"][0] == "mirtal_brelk_too.C1"
    assert [(c["chassis_type"], c["accepted"]) for c in document["conflicts"]] == [
        ("single_rp", True), ("dual_rp", False)]
    assert not document["ok"] and document["problems"][0].startswith("conflict: brelk (dual_rp)")


@pytest.mark.parametrize("prefer, setup, reason, message", [
    ("oru=nosuch", "", "unmatched", "no plugin named nosuch"),
    ("oru=broken", "", "failed", "broken failed to load"),
    ("vennu=left", "", "nothing_registered", "left registered nothing at vennu (single_rp)"),
    ("oru:dual_rp=left", "", "nothing_registered",
     "left registered nothing at oru (dual_rp)"),
    ("oru=left", "import mirtal_left", "unknown",
     "left was imported before this load: what it registered at oru (single_rp) is unknown"),
    ("brelk=mirtal.plugins.brelk", "mirtal.__plugin_manager__.discover_builtin_plugins()",
     "unknown", "mirtal.plugins.brelk was imported before this load"),
])
def test_a_preference_that_cannot_be_honoured_is_a_problem(tmp_path, prefer, setup, reason,
                                                           message):
    site = install(tmp_path / "site", LEFT, plugin("mirtal-broken", "broken", "os='oru'",
                                                   fail=True))
    document, _ = checked(site, prefer=[prefer], setup=setup)
    [result] = document["preferences"]
    assert (result["honoured"], result["reason"]) == (False, reason)
    assert result["message"].startswith(f"preference {prefer}: {message}")
    assert result["message"] in document["problems"] and not document["ok"]
    assert document["unmatched_preferences"] == (["nosuch"] if reason == "unmatched" else [])


def test_an_excluded_preferred_source_is_a_problem(tmp_path):
    site = install(tmp_path / "site", LEFT, RIGHT)
    document, tree = checked(site, prefer=["oru=left"], exclude=["left"])
    assert document["preferences"][0]["reason"] == "excluded"
    assert tree["oru/single_rp"][0] == "mirtal_right.C0"


def test_a_new_conflict_elsewhere_is_not_accepted(tmp_path):
    site = install(tmp_path / "site", LEFT, RIGHT, plugin("mirtal-third", "third", "os='oru'",
                                                         "os='oru', series='x1'"),
                   plugin("mirtal-fourth", "fourth", "os='oru', series='x1'"))
    document, tree = checked(site, prefer=["oru=left"])
    assert tree["oru/single_rp"][0] == "mirtal_left.C0"
    assert sorted((c["node"], c["accepted"]) for c in document["conflicts"]) == [
        (["oru"], True), (["oru", "x1"], False)]
    assert document["summary"]["accepted_conflicts"] == 1 and not document["ok"]


class Mine:
    pass


class Theirs:
    pass


def _report(manager, node):
    """A LoadReport of two loaded sources, `left` then `right`, that registered Mine then
    Theirs at `node` of `manager` (for real)."""
    report = LoadReport(manager)
    for source, cls in [(external("left", "mirtal-left"), Mine),
                        (external("right", "mirtal-right"), Theirs)]:
        replaced = manager.plugins.get(node[0], {}).get("data", {}).get("single_rp", {})
        manager.register_plugin(cls, *node)
        source.registrations.append(Registration(source, node, "single_rp", cls,
                                                 replaced.get("cls")))
        report.sources.append(source)
    return report


def test_a_class_put_back_is_registered_at_its_exact_place_and_accepts_the_conflict():
    manager = PluginManager()
    report = _report(manager, ("vennu", "zq4", "m1"))
    prefer = deployment(prefer=["vennu/zq4/m1=left"], environ={}).prefer
    [result] = apply_preferences(report, prefer)
    assert (result.honoured, result.put_back, result.cls) == (True, True, Mine)
    record = manager.plugins["vennu"]["zq4"]["m1"]["data"]["single_rp"]
    assert (record["cls"], record["path"]) == (Mine, __file__)
    assert "data" not in manager.plugins["vennu"]["zq4"]
    [conflict] = report.conflicts
    assert accepting([result], conflict) is result
    # Applied again, there is nothing to put back.
    assert apply_preferences(report, prefer)[0].put_back is False
    # Once something else takes the place again, the conflict is not accepted any more.
    manager.register_plugin(Theirs, "vennu", "zq4", "m1")
    assert accepting([result], report.conflicts[0]) is None


def test_a_class_that_cannot_be_registered_again_is_a_problem():
    class Refusing(PluginManager):
        refuse = False

        def register_plugin(self, *args, **kwargs):
            if self.refuse:
                raise RuntimeError("no")
            return super().register_plugin(*args, **kwargs)

    manager = Refusing()
    report = _report(manager, ("oru",))
    manager.refuse = True
    [refused] = apply_preferences(report, deployment(prefer=["oru=left"], environ={}).prefer)
    assert (refused.reason, refused.put_back) == ("not_applied", False)
    assert refused.message == ("preference oru=left: registering its class again at oru "
                               "(single_rp) failed: RuntimeError: no")
    assert accepting([refused], report.conflicts[0]) is None


@pytest.mark.parametrize("text, hint", [
    ("Mirtal_Clash", "dist:Mirtal_Clash"),
    ("clash", None),
    ("dist:mirtal-gone", None),
    ("mirtal", "dist:mirtal"),
])
def test_a_name_that_is_a_distributions_gets_a_hint(text, hint):
    sources = [external("clash", "mirtal-clash"), builtin("mirtal.plugins.brelk")]
    assert unmatched_hint(text, sources) == hint
