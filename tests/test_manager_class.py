"""PluginManager as a class: its dict, docstrings, signatures, argument errors, the plugins
property, and instances that copy, pickle and get collected like any Python object's."""

import copy
import gc
import inspect
import pickle
import pydoc
import subprocess
import weakref

import pytest

from mirtal.core.pluginmanager import PluginManager
from sites import PYTHON, environment

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
    done = subprocess.run([*PYTHON, "-c", """if True:
        from mirtal.core.pluginmanager import PluginManager as P
        print(P.discover_builtin_plugins(), P().discover_builtin_plugins(),
              P.discover_external_plugins(), P().discover_external_plugins())
    """], capture_output=True, text=True, env=environment(), timeout=120)
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


CLASS_CALLS_WITHOUT_SELF = [
    ("validate_os", (), {}), ("validate_os", (), {"os": 1}), ("get_plugin", (), {}),
    ("get_plugin", (), {"os": 1}), ("register_plugin", (), {"cls": 1}), ("print_tree", (), {}),
    ("__repr__", (), {}), ("__init__", (), {}), ("get_plugin", (), {"self": 1, "x": 1}),
    ("register_plugin", (), {"cls": 1, "self": 1, "os": 1, "series": 1, "model": 1,
                             "chassis_type": 1, "other": 1}),
    ("validate_model", (1, 2, 3, 4, 5), {}), ("__init__", (1, 2), {}),
    ("get_plugin", (1,), {"self": 1}),
]


@pytest.mark.parametrize("name, args, kwargs", CLASS_CALLS_WITHOUT_SELF)
def test_calls_on_the_class_bind_self_like_any_parameter(name, args, kwargs):
    texts = [raised(lambda: getattr(cls, name)(*args, **kwargs))  # noqa: B023 (called at once)
             for cls in (PluginManager, Reference)]
    assert texts[0] == texts[1]


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


# (method, arguments after self by keyword, expected result); run on a populated manager.
SELF_BY_KEYWORD = [
    ("__init__", {}, None), ("validate_model", {"os": "brelk", "series": "a", "model": "b"}, None),
    ("validate_series", {"os": "brelk", "series": "a"}, None),
    ("validate_os", {"os": "brelk"}, None),
    ("validate_chassis_type", {"chassis_type": "stack"}, None),
    ("validate_arguments", {"os": "brelk", "series": None, "model": None,
                            "chassis_type": "stack"}, None),
    ("get_plugin", {"os": "brelk"}, Alpha), ("register_plugin", {"cls": Beta, "os": "tarn"}, None),
    ("unregister_plugin", {"os": "brelk"}, None),
    ("print_tree", {"data": {"a": 1}}, "plugin\n  |__ a = 1"),
]


@pytest.mark.parametrize("name, kwargs, expected", SELF_BY_KEYWORD,
                         ids=[case[0] for case in SELF_BY_KEYWORD])
def test_self_may_be_passed_by_keyword_on_the_class(manager, name, kwargs, expected):
    manager.register_plugin(Alpha, "brelk")
    assert getattr(PluginManager, name)(self=manager, **kwargs) == expected
    assert PluginManager.__repr__(self=PluginManager()) == ""


class Double:
    """A test double: what the methods look up on self, and nothing of PluginManager."""

    def __init__(self):
        self._plugins = {"brelk": {"data": {"single_rp": {"cls": Alpha, "path": "f"}}}}
        self.calls = []

    def validate_arguments(self, *args):
        self.calls.append(args)

    def print_tree(self, data, output="plugin"):
        return f"{output}: {sorted(data)}"


@pytest.mark.parametrize("call, expected, calls", [
    (lambda d: PluginManager.get_plugin(self=d, os="brelk"), Alpha,
     [("brelk", None, None, "single_rp")]),
    (lambda d: PluginManager.get_plugin(d, "brelk"), Alpha, [("brelk", None, None, "single_rp")]),
    (lambda d: PluginManager.unregister_plugin(**{"self": d, "os": "brelk"}), None,
     [("brelk", None, None, "single_rp")]),
    (lambda d: PluginManager.__repr__(d)[:9], "plugins (", []),
    (lambda d: PluginManager.print_tree(d, {"a": {"b": 1}}), "plugin\n  |__ a: ['b']", []),
])
def test_any_object_will_do_as_self(call, expected, calls):
    double = Double()
    assert call(double) == expected
    assert double.calls == calls


@pytest.mark.parametrize("self", [None, 5, object()])
def test_self_without_the_attributes_fails_as_in_python(self):
    with pytest.raises(AttributeError, match="validate_arguments"):
        PluginManager.get_plugin(self, "brelk")
    with pytest.raises(AttributeError, match="_plugins"):
        PluginManager.__init__(self)


@pytest.mark.parametrize("name", ["__init__", *METHODS, "__repr__"])
def test_methods_are_functions_to_inspect_pydoc_and_pickle(name):
    ours, theirs = getattr(PluginManager, name), getattr(Reference, name)
    assert (ours.__defaults__, ours.__kwdefaults__) == (theirs.__defaults__, theirs.__kwdefaults__)
    assert (ours.__name__, ours.__qualname__, ours.__module__) == (
        name, f"PluginManager.{name}", "mirtal.core.pluginmanager")
    assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
    assert getattr(PluginManager, name) is ours
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(ours, protocol)) is ours
    assert copy.copy(ours) is ours and copy.deepcopy(ours) is ours
    # help() shows the signature as for the class statement's function (3.13+ notes its class).
    header = pydoc.plaintext.document(theirs, name, None, Reference).split(" from ")[0]
    assert pydoc.plaintext.document(ours, name, None, PluginManager).startswith(header.rstrip())
    assert pydoc.plaintext.document(ours, name, None, PluginManager) in pydoc.render_doc(
        PluginManager, renderer=pydoc.plaintext).replace("\n |  ", "\n").replace("\n |", "\n")


def test_bound_methods_pickle_and_repr_like_a_functions(manager):
    manager.register_plugin(Alpha, "brelk")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        bound = pickle.loads(pickle.dumps(manager.get_plugin, protocol))
        assert bound("brelk") is Alpha
    assert repr(PluginManager.get_plugin).startswith("<function PluginManager.get_plugin at 0x")
    assert repr(manager.get_plugin).startswith("<bound method PluginManager.get_plugin of ")
    assert manager.get_plugin.__func__ is PluginManager.get_plugin
    assert inspect.ismethod(manager.get_plugin) and inspect.isroutine(PluginManager.get_plugin)


class Slotted:
    __slots__ = ("x",)


@pytest.mark.parametrize("other", [Exception, Slotted, dict, type("Plain", (), {})])
def test_the_class_combines_with_other_bases(other):
    # As a class statement's does: the interpreter manages the instance dict and weak references.
    combined = type("Combined", (PluginManager, other), {})
    instance = combined()
    instance.register_plugin(Alpha, "brelk")
    assert instance.get_plugin("brelk") is Alpha and weakref.ref(instance)() is instance
    assert repr(instance).startswith("plugins (<class")
    mirrored = type("Mirrored", (other, PluginManager), {})()
    PluginManager.__init__(mirrored)
    mirrored.register_plugin(Alpha, "brelk")
    assert mirrored.get_plugin("brelk") is Alpha


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


def test_type_checkers_name_the_class_users_wrote(tmp_path):
    from mypy import api
    client = tmp_path / "client.py"
    client.write_text("from mirtal.core.pluginmanager import PluginManager\n"
                      "m = PluginManager()\n"
                      "m.plugins = {}\n"
                      "m.get_plugin(1)\n"
                      "PluginManager.get_plugin(self=m, os='vennu')\n")
    out, _, status = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"), str(client)])
    errors = [line.split(": error: ", 1)[1] for line in out.splitlines() if ": error: " in line]
    assert status == 1 and len(errors) == 2, out
    assert errors[0].startswith('Property "plugins" defined in "PluginManager" is read-only')
    assert errors[1].startswith('Argument 1 to "get_plugin" of "PluginManager" has incompatible')
