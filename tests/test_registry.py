"""Registering, removing and looking up connection classes in the plugin tree."""

import inspect

import pytest

from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager

NOT_FOUND = "Plugin data not found"
HERE = inspect.getfile(inspect.currentframe())


A, B, C = (type(name, (), {"__doc__": "A connection class."}) for name in "ABC")


def record(cls):
    return {"cls": cls, "path": HERE}


def error_text(call, *args, **kwargs):
    with pytest.raises(ConnectionInfraError) as info:
        call(*args, **kwargs)
    assert type(info.value) is ConnectionInfraError and len(info.value.args) == 1
    return info.value.args[0]


def test_worked_example(manager):
    assert manager.register_plugin(A, os="brelk") is None
    manager.register_plugin(B, os="brelk", chassis_type="dual_rp")
    manager.register_plugin(C, os="vennu", series="zq4")
    tree = manager.plugins
    assert tree == {
        "brelk": {"data": {"single_rp": record(A), "dual_rp": record(B)}},
        "vennu": {"zq4": {"data": {"single_rp": record(C)}}},
    }
    assert list(tree["brelk"]["data"]["single_rp"]) == ["cls", "path"]
    assert all(type(node) is dict for node in (tree["brelk"], tree["vennu"]["zq4"]["data"]))

    assert manager.unregister_plugin(os="brelk", chassis_type="dual_rp") is None
    assert tree["brelk"] == {"data": {"single_rp": record(A)}}
    manager.unregister_plugin(os="vennu", series="zq4")
    assert tree["vennu"] == {"zq4": {}}
    assert manager.plugins is tree


def test_registration_places(manager):
    manager.register_plugin(A, "vennu", "zq4", "m1")
    manager.register_plugin(B, "vennu")
    manager.register_plugin(C, "vennu", None, "")
    manager.register_plugin(A, "VENNU", "123")
    assert manager.plugins == {"vennu": {
        "zq4": {"m1": {"data": {"single_rp": record(A)}}},
        "data": {"single_rp": record(B)},
        None: {"": {"data": {"single_rp": record(C)}}},
    }, "VENNU": {"123": {"data": {"single_rp": record(A)}}}}
    assert manager.get_plugin("vennu", None, "") is C


def test_a_later_registration_replaces_in_place(manager):
    manager.register_plugin(A, "brelk")
    manager.register_plugin(B, "brelk", chassis_type="stack")
    first = manager.plugins["brelk"]["data"]["single_rp"]
    manager.register_plugin(C, "brelk")
    chassis_map = manager.plugins["brelk"]["data"]
    assert list(chassis_map) == ["single_rp", "stack"]
    assert chassis_map["single_rp"] == record(C) and chassis_map["single_rp"] is not first
    assert manager.get_plugin("brelk") is C


@pytest.mark.parametrize("chassis_type", [None, "quad", "", 5, ("a", "b")])
def test_quilos_stores_any_chassis_type(manager, chassis_type):
    manager.register_plugin(A, "quilos", chassis_type=chassis_type)
    assert manager.plugins == {"quilos": {"data": {chassis_type: record(A)}}}
    assert manager.get_plugin("quilos", chassis_type=chassis_type) is A


@pytest.mark.parametrize("registered, lookup, expected", [
    ([(A, "vennu")], ("vennu", "zq4", "m1"), A),
    ([(C, "vennu", "zq4")], ("vennu", "zq4", "m9"), C),
    ([(C, "vennu", "zq4")], ("vennu",), "(vennu), type: single_rp "),
    ([(A, "vennu"), (B, "vennu", "zq4", None, "dual_rp")], ("vennu", "zq4"),
     "(vennu/zq4), type: single_rp "),
    ([(A, "vennu", "zq4", "m1")], ("vennu", "zq4"), "(vennu/zq4), type: single_rp "),
    ([(A, "vennu", "zq4")], ("vennu", "zq4", None, "dual_rp"), "(vennu/zq4), type: dual_rp "),
    ([(A, "brelk")], ("brelk", None, None, "dual_rp"), "(brelk), type: dual_rp "),
    ([(A, "vennu")], ("tarn", "s1", "m2"), "(tarn/s1/m2), type: single_rp "),
    ([], ("vennu", None, ""), "(vennu/None/), type: single_rp "),
    ([(A, "quilos")], ("quilos", None, None, "quad"), "(quilos), type: quad "),
    ([(A, "quilos")], ("quilos", None, None, None), "(quilos), type: None "),
    ([], ("quilos", None, None, ("a", "b")), "(quilos), type: ('a', 'b') "),
    ([(A, "quilos", None, None, "quad")], ("quilos", None, None, "quad"), A),
    # the root never serves as a chassis map, whatever an OS named "data" holds
    ([(A, "data", "single_rp", "cls")], ("tarn",), "(tarn), type: single_rp "),
    ([(A, "data")], ("data", "zq4"), A),
])
def test_lookup(manager, registered, lookup, expected):
    for cls, *where in registered:
        manager.register_plugin(cls, *where)
    before = repr(manager.plugins)
    if isinstance(expected, str):
        assert error_text(manager.get_plugin, *lookup) == "Plugin data not found for " + expected
    else:
        assert manager.get_plugin(*lookup) is expected
        assert manager.get_plugin(*lookup) is expected
    assert repr(manager.plugins) == before


@pytest.mark.parametrize("registered, removal, expected", [
    ([], {"os": "vennu"}, NOT_FOUND),
    ([(A, "brelk")], {"os": "brelk", "series": "s1"}, NOT_FOUND),
    ([(A, "vennu", "zq4", "m1")], {"os": "vennu", "series": "zq4"}, NOT_FOUND),
    ([(A, "vennu", "zq4", "m1")], {"os": "vennu", "series": "zq4", "chassis_type": "single_rp"},
     NOT_FOUND),
    ([(A, "brelk")], {"os": "brelk", "chassis_type": "stack"}, NOT_FOUND + " for stack"),
    ([(A, "brelk")], {"os": "brelk", "chassis_type": "quad"}, NOT_FOUND + " for quad"),
    ([(A, "brelk")], {"os": "brelk", "chassis_type": ""}, NOT_FOUND + " for "),
    ([(A, "brelk")], {"os": "brelk", "chassis_type": ("a", "b")}, NOT_FOUND + " for ('a', 'b')"),
    ([(A, "brelk")], {"os": None}, "OS should be one of these"),
    ([(A, "brelk")], {"os": "brelk", "series": "S1"}, "Series (S1) has to be in lowercase"),
    ([(A, "brelk")], {"os": "brelk", "series": "s1", "model": "data"},
     "Model (data) is a reserved name"),
])
def test_removal_errors_change_nothing(manager, registered, removal, expected):
    for cls, *where in registered:
        manager.register_plugin(cls, *where)
    before = repr(manager.plugins)
    assert error_text(manager.unregister_plugin, **removal).startswith(expected)
    if expected.startswith(NOT_FOUND):
        assert error_text(manager.unregister_plugin, **removal) == expected
    assert repr(manager.plugins) == before


def test_removal_by_chassis_type_then_whole_map(manager):
    manager.register_plugin(A, "brelk")
    manager.register_plugin(B, "brelk", "s1")
    manager.unregister_plugin("brelk", chassis_type="single_rp")
    assert manager.plugins["brelk"]["data"] == {}
    assert error_text(manager.get_plugin, "brelk") == (
        "Plugin data not found for (brelk), type: single_rp ")
    manager.unregister_plugin("brelk")
    assert manager.plugins == {"brelk": {"s1": {"data": {"single_rp": record(B)}}}}
    assert error_text(manager.unregister_plugin, "brelk") == NOT_FOUND
    assert manager.get_plugin("brelk", "s1") is B


def test_failed_validation_leaves_no_trace(manager):
    assert error_text(manager.register_plugin, A).startswith("OS should be one of these ")
    assert error_text(manager.register_plugin, A, "vennu", "zq4", "M1").startswith(" Model (M1)")
    assert manager.plugins == {}


def failing_getfile(failure):
    def getfile(cls):
        raise failure
    return getfile


@pytest.mark.parametrize("cls, getfile, failure", [
    (int, None, TypeError),  # the real getfile rejects built-in classes
    (B, failing_getfile(OSError("no file")), OSError),
    (B, failing_getfile(LookupError("no class")), LookupError),
])
def test_failed_getfile_leaves_no_trace(manager, module_globals, cls, getfile, failure):
    manager.register_plugin(A, "vennu")
    if getfile:
        module_globals["getfile"] = getfile
    with pytest.raises(failure):
        manager.register_plugin(cls, "vennu", "zq4", "m1", "dual_rp")
    assert manager.plugins == {"vennu": {"data": {"single_rp": record(A)}}}
    assert manager.get_plugin("vennu", "zq4", "m1") is A


class Rebinding(PluginManager):
    pass


@pytest.mark.parametrize("cls", [PluginManager, Rebinding])
@pytest.mark.parametrize("path", [("vennu",), ("vennu", "zq4", "m1"), ("brelk",)])
def test_registration_goes_into_the_tree_read_before_getfile(module_globals, cls, path):
    manager = cls()
    manager.register_plugin(A, "brelk")
    held = manager._plugins
    replacement = {"brelk": {"data": "not a map"}}

    def rebinding_getfile(registered):
        manager._plugins = replacement
        return "f"

    module_globals["getfile"] = rebinding_getfile
    manager.register_plugin(B, *path)
    assert manager._plugins is replacement and replacement == {"brelk": {"data": "not a map"}}
    node = held
    for key in path:
        node = node[key]
    assert node["data"]["single_rp"] == {"cls": B, "path": "f"}


def test_failed_registration_after_the_file_leaves_no_trace(manager):
    manager.register_plugin(A, "quilos")
    with pytest.raises(TypeError):
        manager.register_plugin(B, "quilos", "s1", chassis_type=["unhashable"])
    assert manager.plugins == {"quilos": {"data": {"single_rp": record(A)}}}
    assert manager.get_plugin("quilos", "s1") is A


class Unchecked(PluginManager):
    def validate_arguments(self, os, series, model, chassis_type):
        pass


def dict_says(key):
    """What this Python's dict says of an unhashable key (3.14 words it apart from hash())."""
    with pytest.raises(TypeError) as caught:
        key in {}  # noqa: B015
    return str(caught.value)


@pytest.mark.parametrize("tree", [{}, {"vennu": {}}, {"vennu": {"zq4": {}}}])
def test_of_two_unhashable_keys_the_upper_one_is_reported(tree):
    manager = Unchecked()
    manager._plugins = tree
    with pytest.raises(TypeError) as caught:
        manager.register_plugin(A, "vennu", ["series"], {"model": 1})
    assert str(caught.value) == dict_says([])
    with pytest.raises(TypeError) as caught:
        manager.register_plugin(A, "vennu", "zq4", set(), chassis_type={})
    assert str(caught.value) == dict_says(set())
    assert manager._plugins == tree


class OtherError(Exception):
    pass


@pytest.mark.parametrize("raiser, expected_type", [
    (OtherError, OtherError), (lambda message: KeyError(message), KeyError)])
def test_error_type_is_looked_up_at_each_use(manager, module_globals, raiser, expected_type):
    module_globals["ConnectionInfraError"] = raiser
    for call in (lambda: manager.get_plugin("vennu"), lambda: manager.unregister_plugin("vennu"),
                 lambda: manager.register_plugin(A, "vennu", "ZQ4")):
        with pytest.raises(expected_type) as info:
            call()
        assert type(info.value) is expected_type and len(info.value.args) == 1


def test_getfile_and_log_are_looked_up_at_each_use(manager, module_globals):
    seen = []
    module_globals["getfile"] = lambda cls: seen.append(cls) or "/plugins/a.py"
    module_globals["log"] = type("Log", (), {"debug": staticmethod(seen.append)})
    manager.register_plugin(A, "newos")
    assert seen == ["newos is not part of the built-in list of supported OSes.", A]
    assert manager.plugins["newos"]["data"]["single_rp"] == {"cls": A, "path": "/plugins/a.py"}
    del module_globals["getfile"]
    with pytest.raises(NameError, match="name 'getfile' is not defined"):
        manager.register_plugin(B, "brelk")


def permissive(where, monkeypatch, calls):
    """A manager whose validate_arguments, overridden at `where`, records its calls."""
    def validate_arguments(self, *args, **kwargs):
        calls.append((args, kwargs))
        if hasattr(self, "swap_to"):
            self._plugins = self.swap_to
    if where == "subclass":
        return type("Permissive", (PluginManager,), {"validate_arguments": validate_arguments})()
    if where == "class":
        monkeypatch.setattr(PluginManager, "validate_arguments", validate_arguments)
        return PluginManager()
    manager = PluginManager()
    manager.validate_arguments = validate_arguments.__get__(manager)
    return manager


@pytest.mark.parametrize("where", ["subclass", "instance", "class"])
def test_validate_arguments_is_called_on_self_positionally(monkeypatch, where):
    calls = []
    manager = permissive(where, monkeypatch, calls)
    manager.register_plugin(A, None, chassis_type="quad")
    manager.register_plugin(B, "vennu", "zq4", chassis_type="dual_rp")
    assert manager.get_plugin(None, chassis_type="quad") is A
    manager.unregister_plugin(os="vennu", series="zq4", chassis_type="dual_rp")
    assert manager.plugins == {None: {"data": {"quad": record(A)}}, "vennu": {"zq4": {"data": {}}}}
    assert calls == [((None, None, None, "quad"), {}), (("vennu", "zq4", None, "dual_rp"), {}),
                     ((None, None, None, "quad"), {}), (("vennu", "zq4", None, "single_rp"), {})]


@pytest.mark.parametrize("where", ["subclass", "instance", "class"])
def test_tree_is_read_after_validation(monkeypatch, where):
    manager = permissive(where, monkeypatch, [])
    manager.swap_to = fresh = {}
    manager.register_plugin(A, "vennu")
    assert manager.plugins is fresh and fresh == {"vennu": {"data": {"single_rp": record(A)}}}
