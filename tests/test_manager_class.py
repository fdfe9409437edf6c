"""PluginManager as a class: its dict, docstrings, signatures, argument errors, the plugins
property, and instances that copy, pickle and get collected like any Python object's."""

import copy
import gc
import inspect
import pickle
import subprocess
import sys
import weakref

import pytest

from mirtal.core.pluginmanager import PluginManager

CHASSIS = ["single_rp", "dual_rp", "stack"]
OSES = ["brelk", "tarn", "vennu", "tarnel", "tarvik", "solvar", "quilos", "mekari", "oru", "dex",
        "plo", "yarrf", "uzu", "kolm", "jepra", "dravo"]
METHODS = ["validate_model", "validate_series", "validate_os", "validate_chassis_type",
           "validate_arguments", "get_plugin", "unregister_plugin", "register_plugin",
           "discover_builtin_plugins", "discover_external_plugins", "print_tree"]

# The same signatures written as a class statement: the interpreter's own binding is the reference
# for every signature and TypeError below.
_reference = {}
exec('''
class PluginManager:
    def __init__(self): pass
    def validate_model(self, os, series, model): pass
    def validate_series(self, os, series): pass
    def validate_os(self, os): pass
    def validate_chassis_type(self, chassis_type): pass
    def validate_arguments(self, os, series, model, chassis_type): pass
    def get_plugin(self, os=None, series=None, model=None, chassis_type="single_rp"): pass
    def unregister_plugin(self, os=None, series=None, model=None, chassis_type=None): pass
    def register_plugin(self, cls, os=None, series=None, model=None, chassis_type="single_rp"): pass
    @staticmethod
    def discover_builtin_plugins(): pass
    @staticmethod
    def discover_external_plugins(): pass
    def print_tree(self, data, output="plugin"): pass
    def __repr__(self): return ""
''', _reference)
Reference = _reference["PluginManager"]


Alpha, Beta = (type(name, (), {"__doc__": "A connection class."}) for name in ("Alpha", "Beta"))


class SubManager(PluginManager):
    pass


def test_class_frame():
    assert type(PluginManager) is type
    assert PluginManager.__bases__ == (object,)
    assert (PluginManager.__module__, PluginManager.__qualname__, PluginManager.__name__) == (
        "mirtal.core.pluginmanager", "PluginManager", "PluginManager")
    assert list(vars(PluginManager)) == ["__module__", "__doc__", "__init__", "plugins", *METHODS,
                                         "__repr__", "__dict__", "__weakref__"]
    assert type(vars(PluginManager)["plugins"]) is property
    for name in ("discover_builtin_plugins", "discover_external_plugins"):
        assert type(vars(PluginManager)[name]) is staticmethod


def lines(doc):
    return [line.strip() for line in doc.strip().splitlines()]


@pytest.mark.parametrize("obj, expected", [
    (PluginManager, ["Loads all plugin implementation,", "provides API's for accessing plugins"]),
    (PluginManager.__init__, ["Initialize"]),
    *((accessor, ["Plugin list getter"]) for accessor in (
        PluginManager.plugins, PluginManager.plugins.fget, PluginManager.plugins.fset)),
    (PluginManager.validate_model, ["Validates Model"]),
    (PluginManager.validate_series, ["Validates series"]),
    (PluginManager.validate_os, ["Validates OS"]),
    (PluginManager.validate_chassis_type, ["Validate chassis"]),
    (PluginManager.validate_arguments, ["Validates the input arguments provided"]),
    (PluginManager.get_plugin,
     ["This method returns the connection class based on the", "input details provided"]),
    (PluginManager.unregister_plugin,
     ["This method unregister a particular implementations from", "the internal database"]),
    (PluginManager.register_plugin, [
        "This method registers all the implementation plugin(i.e connection class)",
        "to the mirtal plugin manager", "It takes OS, SERIES, MODEL information and based on that",
        "registers it", "cls refer to the connection class",
        "chassis_type indicates if the connection class is for single_rp or",
        "dual_rp or stack(default single_rp)"]),
    (PluginManager.discover_builtin_plugins, ["loads all plugins"]),
    (PluginManager.discover_external_plugins,
     ["discover external plugins defined that users pip installed."]),
], ids=lambda v: getattr(v, "__name__", None) if callable(v) else None)
def test_docstrings(obj, expected):
    assert lines(obj.__doc__) == expected


def test_docstrings_without_text_or_with_a_sample():
    assert PluginManager.__repr__.__doc__ is None
    assert lines(PluginManager.print_tree.__doc__)[:2] == [
        "This Method print the plugin list in tree structure", "Sample Tree Structure::"]


@pytest.mark.parametrize("name", METHODS + ["__repr__"])
def test_signatures(name):
    ours, theirs = (inspect.signature(getattr(cls(), name)) for cls in (PluginManager, Reference))
    assert str(ours) == str(theirs)
    assert str(inspect.signature(PluginManager)) == "()"


def test_static_methods_take_no_manager():
    # Discovery imports the plugin modules, which register on the shared manager: a child
    # interpreter keeps that out of this process.
    done = subprocess.run([sys.executable, "-c", """if True:
        from mirtal.core.pluginmanager import PluginManager as P
        print(P.discover_builtin_plugins(), P().discover_builtin_plugins(),
              P.discover_external_plugins(), P().discover_external_plugins())
    """], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "None None None None\n"), done.stderr


# (method, positional arguments, keyword arguments); "__init__" stands for calling the class.
BAD_CALLS = [
    ("__init__", (1,), {}), ("__init__", (), {"x": 1}),
    ("validate_model", (), {}), ("validate_model", (1,), {}), ("validate_model", (), {"model": 1}),
    ("validate_model", (1, 2, 3, 4), {}), ("validate_series", ("a",), {}),
    ("validate_os", (), {}), ("validate_os", (1, 2), {}), ("validate_os", (1,), {"os": 1}),
    ("validate_chassis_type", (), {"chassis": 1}), ("validate_arguments", (1, 2, 3), {}),
    ("get_plugin", (), {"x": 1}), ("get_plugin", (1, 2, 3, 4, 5), {}),
    ("get_plugin", ("vennu",), {"os": "vennu"}), ("get_plugin", (1, 2, 3, 4, 5), {"x": 1}),
    ("get_plugin", (1, 2, 3, 4, 5), {"os": 1}), ("get_plugin", (), {"self": 1}),
    ("unregister_plugin", (1, 2, 3, 4, 5), {}), ("unregister_plugin", (), {"chassis": None}),
    ("register_plugin", (), {}), ("register_plugin", (), {"os": "vennu"}),
    ("register_plugin", (Alpha, 1, 2, 3, 4, 5), {}), ("register_plugin", (Alpha,), {"cls": Alpha}),
    ("register_plugin", (Alpha, "vennu"), {"x": 1, "os": "vennu"}),
    ("discover_builtin_plugins", (1,), {}), ("discover_builtin_plugins", (), {"x": 1}),
    ("discover_external_plugins", (1, 2), {}), ("print_tree", (), {}),
    ("print_tree", ({}, "a", "b"), {}), ("__repr__", (1,), {}),
]


def raised(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize("via", ["instance", "class"])
@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS, ids=[
    f"{n}{(*a, *(f'{k}={v}' for k, v in kw.items()))}" for n, a, kw in BAD_CALLS])
def test_wrong_arguments_raise_the_interpreters_type_error(via, name, args, kwargs):
    texts = []
    for cls in (PluginManager, Reference):
        if name == "__init__":
            texts.append(raised(lambda: cls(*args, **kwargs)))  # noqa: B023 (called at once)
        elif via == "class" and not isinstance(vars(cls)[name], staticmethod):
            texts.append(raised(lambda: getattr(cls, name)(cls(), *args, **kwargs)))  # noqa: B023
        else:
            texts.append(raised(lambda: getattr(cls(), name)(*args, **kwargs)))  # noqa: B023
    assert texts[0] == texts[1]


@pytest.mark.xfail(strict=True, raises=TypeError,
                   reason="C methods take the instance positionally only (method descriptors)")
def test_self_may_be_passed_by_keyword_on_the_class(manager):
    manager.register_plugin(Alpha, "brelk")
    assert PluginManager.get_plugin(self=manager, os="brelk") is Alpha


def test_argument_errors_come_before_any_work(manager):
    with pytest.raises(TypeError):
        manager.register_plugin(Alpha, "vennu", x=1)
    with pytest.raises(TypeError):
        manager.register_plugin(Alpha, "vennu", None, None, "single_rp", 6)
    assert manager._plugins == {}


def test_new_manager(manager):
    assert list(vars(manager)) == ["_plugins", "chassis_type_list", "supported_os"]
    assert manager._plugins == {} and type(manager._plugins) is dict
    assert manager.chassis_type_list == CHASSIS
    assert manager.supported_os == OSES
    other = PluginManager()
    for name in ("_plugins", "chassis_type_list", "supported_os"):
        assert getattr(manager, name) is not getattr(other, name)
    manager.supported_os.append("newos")
    assert other.supported_os == OSES


@pytest.mark.parametrize("value", [None, {}, "current"])
def test_plugins_property_is_read_only(manager, value):
    tree = manager.plugins
    assert tree is manager._plugins
    with pytest.raises(Exception) as info:
        manager.plugins = tree if value == "current" else value
    assert type(info.value) is Exception
    assert info.value.args == (" Protected Member, cannot modify Plugins",)
    assert manager.plugins is tree
    with pytest.raises(AttributeError):
        del manager.plugins
    assert manager._plugins is tree
    manager._plugins = replacement = {"x": {}}
    assert manager.plugins is replacement


def test_instances_have_a_dict_and_weak_references():
    manager = PluginManager()
    assert manager.__dict__ is vars(manager)
    manager.note = 1
    manager.__dict__ = {"_plugins": {"a": {}}}
    assert manager.plugins == {"a": {}} and not hasattr(manager, "note")
    ref = weakref.ref(manager)
    assert ref() is manager and manager.__weakref__ is ref


def populated(cls):
    manager = cls()
    manager.register_plugin(Alpha, "brelk")
    manager.register_plugin(Beta, "vennu", "zq4", chassis_type="dual_rp")
    manager.supported_os.append("newos")
    manager.note = ["mine"]
    return manager


@pytest.mark.parametrize("cls", [PluginManager, SubManager])
@pytest.mark.parametrize("duplicate", [
    copy.deepcopy, *(lambda m, p=p: pickle.loads(pickle.dumps(m, p))
                     for p in range(pickle.HIGHEST_PROTOCOL + 1))],
    ids=["deepcopy", *(f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1))])
def test_deep_copies_and_pickles(cls, duplicate):
    original = populated(cls)
    twin = duplicate(original)
    assert type(twin) is cls
    assert list(vars(twin)) == list(vars(original))
    for name, value in vars(original).items():
        assert getattr(twin, name) == value and getattr(twin, name) is not value
    assert twin.plugins["brelk"]["data"] is not original.plugins["brelk"]["data"]
    assert twin.get_plugin("brelk") is Alpha
    assert twin.get_plugin("vennu", "zq4", chassis_type="dual_rp") is Beta
    twin.unregister_plugin("brelk")
    assert "data" in original.plugins["brelk"]


def test_shallow_copy_shares_the_containers():
    original = populated(PluginManager)
    twin = copy.copy(original)
    assert type(twin) is PluginManager and twin is not original
    assert all(getattr(twin, name) is value for name, value in vars(original).items())


def test_reference_cycles_are_collected():
    manager = PluginManager()
    manager.me = manager
    manager.plugins["loop"] = {"data": {"single_rp": {"cls": manager, "path": ""}}}
    ref = weakref.ref(manager)
    del manager
    gc.collect()
    assert ref() is None
