"""Callers' objects that run arbitrary code, odd types and rebound attributes: every call ends in a
Python exception or the right result, the interpreter survives, and the tree stays well formed."""

import copy
import importlib
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from mirtal.core import pluginmanager
from mirtal.core.errors import ConnectionInfraError

PluginManager = pluginmanager.PluginManager


class Plugin:
    pass


def well_formed(tree, root=True):
    """Every chassis map holds complete records; every other entry is a node (the root's keys are
    all OS names, "data" included)."""
    for key, value in tree.items():
        assert isinstance(value, dict), (key, value)
        if key == "data" and not root:
            for record in value.values():
                assert list(record) == ["cls", "path"]
                assert isinstance(record["path"], str)
        else:
            well_formed(value, root=False)


def populate(manager):
    manager.register_plugin(Plugin, os="brelk")
    manager.register_plugin(Plugin, os="vennu", series="zq4")
    manager.register_plugin(Plugin, os="vennu", series="zq4", model="m1")
    return manager


@pytest.fixture
def populated(manager):
    return populate(manager)


@pytest.fixture(scope="session")
def baseline():
    """The plain-Python baseline (benchmarks/baseline.py): the behaviour we promise."""
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "benchmarks")
    if not os.path.exists(os.path.join(path, "baseline.py")):
        pytest.skip("the baseline is not in this tree")
    sys.path.insert(0, path)
    try:
        return importlib.import_module("baseline")
    finally:
        sys.path.remove(path)


# The manager's header in its text form names its class and address.
HEADER = re.compile(r"\(<class '[^']*'> at 0x[0-9a-f]+\) ")


def outcome(call, manager, tree=True):
    """What call(manager) gave: the value or the exception's type and text, and the tree after."""
    try:
        result = call(manager)
        done = ("returned", HEADER.sub("", result) if isinstance(result, str) else result)
    except Exception as error:  # noqa: BLE001 - any exception is compared, not judged
        done = ("raised", type(error), HEADER.sub("", str(error)))
    if not tree:
        return done, None
    plugins = vars(manager).get("_plugins")
    return done, plugins if isinstance(plugins, dict) else repr(plugins)


def assert_same(ours, theirs):
    (ours_done, ours_tree), (theirs_done, theirs_tree) = ours, theirs
    if ours_done[0] == "raised" and ours_done[1] is RecursionError:
        assert theirs_done[:2] == ours_done[:2]  # where the limit is hit differs by design
    else:
        assert ours_done == theirs_done
    assert ours_tree == theirs_tree


class Meddler(str):
    """An OS name whose hashing or comparison runs `action` (on the manager held in `target`)."""

    target = None
    action = None

    def __hash__(self):
        if Meddler.action:
            Meddler.action(Meddler.target)
        return str.__hash__(self)

    def __eq__(self, other):
        if Meddler.action:
            Meddler.action(Meddler.target)
        return str.__eq__(self, other)


def _raise(_manager):
    raise RuntimeError("meddled")


MEDDLING = {
    "raise": _raise,
    "clear tree": lambda m: m._plugins.clear(),
    "replace tree": lambda m: setattr(m, "_plugins", {"vennu": {}}),
    "unregister": lambda m: m.plugins.get("brelk", {}).pop("data", None),
    "re-register": lambda m: m.register_plugin(Plugin, os="brelk", chassis_type="stack"),
    "delete attributes": lambda m: m.__dict__.clear(),
}


@pytest.mark.parametrize("action", MEDDLING.values(), ids=MEDDLING.keys())
@pytest.mark.parametrize(
    "call",
    [
        lambda m, os: m.get_plugin(os, "zq4"),
        lambda m, os: m.register_plugin(Plugin, os, "zq4"),
        lambda m, os: m.unregister_plugin(os, chassis_type="single_rp"),
        lambda m, os: m.validate_arguments(os, None, None, "single_rp"),
    ],
    ids=["get", "register", "unregister", "validate"],
)
def test_keys_that_meddle_during_the_walk(populated, call, action):
    Meddler.target, Meddler.action = populated, action
    try:
        call(populated, Meddler("vennu"))
    except Exception:  # noqa: BLE001 - any Python exception is an acceptable outcome
        pass
    finally:
        Meddler.target = Meddler.action = None
    if isinstance(vars(populated).get("_plugins"), dict):
        well_formed(populated._plugins)


class Shape(str):
    """A series whose islower/isdigit misbehave in the way `mode` says."""

    mode = "raise"

    def islower(self):
        if self.mode == "raise":
            raise ValueError("islower")
        if self.mode == "mutate":
            Shape.manager._plugins = {}
            return True
        return Truthless() if self.mode == "bad truth" else [1]

    isdigit = islower


class Truthless:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize(
    ("mode", "outcome"),
    [("raise", ValueError), ("bad truth", ValueError), ("list", Plugin),
     ("mutate", ConnectionInfraError)],
)
def test_str_subclass_shapes(populated, mode, outcome):
    Shape.mode, Shape.manager = mode, populated
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome):
            populated.get_plugin("vennu", Shape("zq4"))
    else:
        assert populated.get_plugin("vennu", Shape("zq4")) is outcome


ODD_VALUES = [0, 1, 2.5, float("nan"), b"vennu", ("vennu",), ["vennu"], {"vennu": 1}, {1}, object(),
              Truthless(), None, "", "VENNU", "data", "\udcff", "v\x00"]


@pytest.mark.parametrize("value", ODD_VALUES, ids=repr)
@pytest.mark.parametrize("where", ["os", "series", "model", "chassis_type"])
@pytest.mark.parametrize("operation", ["get_plugin", "register_plugin", "unregister_plugin"])
def test_odd_values(populated, baseline, operation, where, value):
    arguments = {"os": "vennu", "series": "zq4", "model": "m1", where: value}
    if operation == "register_plugin":
        arguments["cls"] = Plugin
    before = copy.deepcopy(populated._plugins)
    ours = outcome(lambda m: getattr(m, operation)(**arguments), populated)
    theirs = outcome(lambda m: getattr(m, operation)(**arguments),
                     populate(baseline.PluginManager()))
    well_formed(populated._plugins)
    if operation == "register_plugin" and ours[0][0] == "raised":
        # A failed registration leaves the tree as it was (the baseline may have made nodes).
        assert ours[0] == theirs[0] and populated._plugins == before
    else:
        assert_same(ours, theirs)


class Reentrant(PluginManager):
    """Overrides that call back into the manager, raise, or return odd values."""

    def validate_os(self, os):
        self.register_plugin(Plugin, os="tarn") if os == "brelk" else None
        return object()

    def validate_chassis_type(self, chassis_type):
        if chassis_type == "stack":
            raise KeyError(chassis_type)
        return [chassis_type]

    def print_tree(self, data, output="plugin"):
        if output == "__ tarn":
            self.unregister_plugin("tarn")
        return PluginManager.print_tree(self, data, output)


def test_reentrant_overrides():
    manager = Reentrant()
    manager.register_plugin(Plugin, os="brelk")
    assert manager.get_plugin("tarn") is Plugin
    with pytest.raises(KeyError):
        manager.get_plugin("brelk", chassis_type="stack")
    # the override empties the tarn node just before it is rendered: a bare prefix line
    assert repr(manager).endswith("\n  |") and manager._plugins["tarn"] == {}
    well_formed(manager._plugins)


class OddOutput(PluginManager):
    def print_tree(self, data, output="plugin"):
        return 42 if output.startswith("__") else PluginManager.print_tree(self, data, output)


def test_override_returning_a_non_str(populated):
    manager = OddOutput()
    manager.register_plugin(Plugin, os="brelk")
    with pytest.raises(AttributeError):
        repr(manager)


def _mutating(manager, result=None):
    def replacement(*args, **kwargs):
        manager._plugins = {"brelk": {"data": "not a map"}}
        return result
    return replacement


@pytest.mark.parametrize(
    ("name", "replacement", "call"),
    [
        ("log", "raising", lambda m: m.get_plugin("newos")),
        ("getfile", "raising", lambda m: m.register_plugin(Plugin, "brelk")),
        ("ConnectionInfraError", "raising", lambda m: m.get_plugin("tarn")),
        ("ConnectionInfraError", "mutating", lambda m: m.get_plugin("tarn")),
        ("ConnectionInfraError", "class", lambda m: m.get_plugin("tarn")),
    ],
)
def test_replaced_services(populated, module_globals, name, replacement, call):
    class Raising:
        def __getattr__(self, attribute):
            raise RuntimeError(attribute)

        def __call__(self, *args):
            raise RuntimeError("call")

    module_globals[name] = {
        "raising": Raising(),
        "mutating": _mutating(populated),
        "class": lambda message: LookupError,
    }[replacement]
    with pytest.raises(Exception) as caught:  # noqa: PT011
        call(populated)
    if replacement == "mutating" and name == "ConnectionInfraError":
        assert caught.type is TypeError  # what the call returned is not an exception
    if replacement == "class":
        assert caught.type is LookupError


class Eraser:
    """A leaf whose str() removes entries from the tree being rendered."""

    def __init__(self, tree):
        self.tree = tree

    def __str__(self):
        self.tree.clear()
        return "gone"


def test_leaf_that_empties_the_tree_while_rendered(manager):
    manager._plugins = {"a": None, "b": None, "c": None}
    manager._plugins["a"] = Eraser(manager._plugins)
    with pytest.raises(KeyError):
        repr(manager)


def test_large_tree_renders_and_resolves(manager):
    tree = manager._plugins
    for index in range(100_000):
        series = tree.setdefault("vennu", {}).setdefault(f"s{index % 500}", {})
        series.setdefault(f"m{index}", {})["data"] = {"single_rp": {"cls": Plugin, "path": "p"}}
    assert manager.get_plugin("vennu", "s7", "m7") is Plugin
    text = repr(manager)
    assert text.count("\n") == 1 + 500 + 100_000 * 5
    with pytest.raises(ConnectionInfraError):  # s8 exists and holds no data: no fallback
        manager.get_plugin("vennu", "s8", "m7")


@pytest.mark.parametrize("attribute", ["_plugins", "supported_os", "chassis_type_list"])
@pytest.mark.parametrize(
    "value", [None, 5, "vennu", ["vennu"], {"vennu": {}}, ("single_rp",), "deleted"]
)
def test_rebound_attributes(baseline, attribute, value):
    # Each call on a manager whose attribute was rebound or deleted, beside the plain-Python
    # baseline in the same state: the same result or the same exception, and the same tree.
    for call in (
        lambda m: m.get_plugin("vennu", "zq4"),
        lambda m: m.register_plugin(Plugin, "vennu", "zq4"),
        lambda m: m.unregister_plugin("vennu", "zq4"),
        repr,
    ):
        managers = []
        for cls in (PluginManager, baseline.PluginManager):
            manager = populate(cls())
            if value == "deleted":
                delattr(manager, attribute)
            else:
                setattr(manager, attribute, copy.deepcopy(value))
            managers.append(manager)
        assert_same(*[outcome(call, manager) for manager in managers])


ANYTHING = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=6),
    st.binary(max_size=4),
    st.sampled_from(["vennu", "zq4", "m1", "quilos", "single_rp", "data", "mocked", Shape("zq4")]),
    st.lists(st.text(max_size=3), max_size=3), st.tuples(st.text(max_size=3)),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=3), st.builds(object),
)
METHODS = ["validate_model", "validate_series", "validate_os", "validate_chassis_type",
           "validate_arguments", "get_plugin", "unregister_plugin", "register_plugin", "print_tree"]


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(method=st.sampled_from(METHODS), arguments=st.lists(ANYTHING, max_size=6),
       keywords=st.dictionaries(st.sampled_from(["os", "series", "model", "chassis_type", "cls",
                                                 "data", "output", "other"]), ANYTHING, max_size=3))
def test_anything_thrown_at_any_method(populated, baseline, method, arguments, keywords):
    Shape.mode = "raise"
    # The same call on the plain-Python baseline in the same state: the same result or the same
    # exception. A registration that fails leaves the extension's tree as it was, where the
    # baseline may have made nodes before its failure (by design): only the exception is compared.
    ours = outcome(lambda m: getattr(m, method)(*arguments, **keywords), populated, tree=False)
    theirs = outcome(lambda m: getattr(m, method)(*arguments, **keywords),
                     populate(baseline.PluginManager()), tree=False)
    assert_same(ours, theirs)
    if method != "print_tree":
        tree = populated._plugins
        for os_node in tree.values():
            assert isinstance(os_node, dict)
