"""Every public operation of the plugin manager, its success path and each distinct error path, as
zero-argument callables for the leak checks (tests/test_leaks.py and tests/leakcheck.py).

Plain Python on purpose: the exact check runs it on a debug interpreter without pytest.
"""

import logging
import pickle

import mirtal
from mirtal.core import pluginmanager
from mirtal.core.errors import ConnectionInfraError

PluginManager = pluginmanager.PluginManager


class Alpha:
    pass


class Beta:
    pass


class Zq4Series(str):
    """A str subclass whose own islower/isdigit must be called."""

    def islower(self):
        return str.islower(self)


class RaisingValidator(PluginManager):
    def validate_os(self, os):
        raise ValueError("no")


class RaisingPrinter(PluginManager):
    def print_tree(self, data, output="plugin"):
        raise ValueError("no")


class BadText:
    def __str__(self):
        raise ValueError("no")


class FailingImports:
    """Stands in for the module global `importlib`: every plugin import fails."""

    @staticmethod
    def import_module(name):
        raise ImportError(name)


class EntryPoint:
    name = "sample"
    module_name = "sample_plugin"

    def load(self):
        raise ImportError("sample_plugin")


def failing_entry_points(group):
    return [EntryPoint()]


def _populated():
    manager = PluginManager()
    manager.register_plugin(Alpha, os="brelk")
    manager.register_plugin(Beta, os="brelk", chassis_type="dual_rp")
    manager.register_plugin(Alpha, os="vennu", series="zq4")
    manager.register_plugin(Alpha, os="vennu", series="zq4", model="m1")
    manager.register_plugin(Alpha, os="vennu", model="")  # a node keyed None
    return manager


def _with_global(name, value, operation):
    saved = getattr(pluginmanager, name)
    setattr(pluginmanager, name, value)
    try:
        operation()
    finally:
        setattr(pluginmanager, name, saved)


def _register_then_unregister(manager, **where):
    manager.register_plugin(Beta, **where)
    manager.unregister_plugin(**where)


class RaisingKey:
    """An instance-dict key with the hash of "validate_model" whose comparison raises."""

    def __hash__(self):
        return hash("validate_model")

    def __eq__(self, other):
        raise ValueError("no")


def _replace_dict(manager):
    manager.__dict__ = dict(vars(manager))


def _patch_class_then_restore(manager):
    own = PluginManager.__dict__["validate_os"]
    PluginManager.validate_os = lambda self, os: None
    try:
        manager.get_plugin("brelk")
    finally:
        PluginManager.validate_os = own


class RAdd(str):
    """A key whose "__ " label is its own."""

    def __radd__(self, other):
        return "RADD" + str(self)


class Collecting:
    """An output that collects what is added to it."""

    def __init__(self):
        self.parts = []

    def __add__(self, other):
        self.parts.append(other)
        return self

    __iadd__ = __radd__ = __add__

    def split(self, separator):
        return [str(len(self.parts))]


class Joining(str):
    def __radd__(self, other):
        return Collecting() + other + str(self)


class JoiningLines(str):
    def split(self, separator):
        return [Joining(part) for part in str.split(self, separator)]


class JoiningPrinter(PluginManager):
    """Renders leaves as lines whose joining goes its own way: the level is taken back."""

    def print_tree(self, data, output="plugin"):
        if isinstance(data, str):
            return JoiningLines(output + " = " + data)
        return PluginManager.print_tree(self, data, output)


def _with_import(operation):
    import builtins

    original = builtins.__import__
    builtins.__import__ = lambda *args: original(*args)
    try:
        return operation()
    finally:
        builtins.__import__ = original


def _combined_bases():
    instance = type("Combined", (PluginManager, Exception), {})()
    instance.register_plugin(Alpha, os="brelk")
    return instance.get_plugin("brelk")


def build_cases():
    """(name, operation, expected exception type or None)."""
    logging.getLogger("mirtal").setLevel(logging.WARNING)  # debug lines are built, not printed
    m = _populated()
    raising_validator = RaisingValidator()
    raising_printer = RaisingPrinter()
    raising_printer.register_plugin(Alpha, os="brelk")
    cie = ConnectionInfraError
    overriding = _populated()
    overriding.validate_os = lambda os: None
    hostile = _populated()
    hostile.__dict__[RaisingKey()] = 1
    joining = JoiningPrinter()
    return [
        ("new manager", PluginManager, None),
        ("plugins getter", lambda: m.plugins, None),
        ("plugins setter", lambda: setattr(m, "plugins", {}), Exception),
        ("get os", lambda: m.get_plugin("brelk"), None),
        ("get series keywords", lambda: m.get_plugin(os="vennu", series="zq4"), None),
        ("get model", lambda: m.get_plugin("vennu", "zq4", "m1"), None),
        ("get str subclass series", lambda: m.get_plugin("vennu", Zq4Series("zq4")), None),
        ("get quilos", lambda: m.get_plugin("quilos", chassis_type="anything"), cie),
        ("get unlisted os", lambda: m.get_plugin("newos"), cie),
        ("get no chassis record", lambda: m.get_plugin("brelk", chassis_type="stack"), cie),
        ("get node without data", lambda: m.get_plugin("vennu"), cie),
        ("get None key message", lambda: m.get_plugin("vennu", None, "x"), cie),
        ("model without series", lambda: m.validate_model("vennu", None, "m1"), cie),
        ("model not str", lambda: m.validate_model("vennu", "zq4", 5), cie),
        ("model case", lambda: m.validate_model("vennu", "zq4", "M1"), cie),
        ("model reserved", lambda: m.validate_model("vennu", "zq4", "data"), cie),
        ("series without os", lambda: m.validate_series(None, "zq4"), cie),
        ("series not str", lambda: m.validate_series("vennu", 5), cie),
        ("series case", lambda: m.validate_series("vennu", "ZQ4"), cie),
        ("series reserved", lambda: m.validate_series("vennu", "data"), cie),
        ("os missing", lambda: m.validate_os(None), cie),
        ("os not a container", lambda: m.validate_os(5), TypeError),
        ("chassis type", lambda: m.validate_chassis_type("quad"), cie),
        ("arguments", lambda: m.validate_arguments("vennu", "zq4", "m1", "stack"), None),
        ("wrong arguments", lambda: m.get_plugin(1, 2, 3, 4, 5), TypeError),
        ("unknown keyword", lambda: m.get_plugin(oss="vennu"), TypeError),
        ("missing argument", lambda: m.register_plugin(), TypeError),
        ("register replace", lambda: m.register_plugin(Alpha, os="brelk"), None),
        ("register and unregister", lambda: _register_then_unregister(m, os="tarn"), None),
        ("unregister everything",
         lambda: _register_then_unregister(m, os="tarn", series="x"), None),
        ("register getfile fails", lambda: m.register_plugin(5, os="brelk"), TypeError),
        ("unregister no node", lambda: m.unregister_plugin("tarvik"), cie),
        ("unregister no data", lambda: m.unregister_plugin("vennu"), cie),
        ("unregister no chassis",
         lambda: m.unregister_plugin("brelk", chassis_type=("a", "b")), cie),
        ("override raises", lambda: raising_validator.get_plugin("brelk"), ValueError),
        ("override in instance dict", lambda: overriding.get_plugin("brelk"), None),
        ("instance dict key raises", lambda: hostile.get_plugin("brelk"), ValueError),
        ("instance dict replaced", lambda: _replace_dict(m), None),
        ("class patched and restored", lambda: _patch_class_then_restore(m), None),
        ("self by keyword", lambda: PluginManager.get_plugin(self=m, os="brelk"), None),
        ("self twice", lambda: m.get_plugin(self=m), TypeError),
        ("class call without self", lambda: PluginManager.get_plugin(), TypeError),
        ("function pickled", lambda: pickle.loads(pickle.dumps(PluginManager.get_plugin)), None),
        ("bound method", lambda: m.get_plugin, None),
        ("class with another base", _combined_bases, None),
        ("print tree", lambda: m.print_tree(m.plugins), None),
        ("print key with own label", lambda: m.print_tree({RAdd("k"): {"a": 1}, "b": 2}), None),
        ("print output with own add", lambda: m.print_tree(m.plugins, Collecting()), None),
        ("print level taken back", lambda: joining.print_tree({"a": {"b": "x", "c": {}}}), None),
        ("print key with own label fails", lambda: m.print_tree({RAdd("k"): BadText()}),
         ValueError),
        ("print leaf", lambda: m.print_tree("x\ny", "label"), None),
        ("print output not str", lambda: m.print_tree({"a": 1}, 5), TypeError),
        ("print leaf str raises", lambda: m.print_tree({"a": BadText()}), ValueError),
        ("repr", lambda: repr(m), None),
        ("repr override raises", lambda: repr(raising_printer), ValueError),
        ("discover builtin", PluginManager.discover_builtin_plugins, None),
        ("discover builtin replaced import",
         lambda: _with_import(PluginManager.discover_builtin_plugins), None),
        (
            "discover builtin import fails",
            lambda: _with_global(
                "importlib", FailingImports, PluginManager.discover_builtin_plugins
            ),
            ImportError,
        ),
        (
            "discover external load fails",
            lambda: _with_global(
                "iter_entry_points", failing_entry_points, PluginManager.discover_external_plugins
            ),
            ImportError,
        ),
        ("shared manager",
         lambda: _register_then_unregister(mirtal.__plugin_manager__, os="kolm"), None),
    ]


def run(operation, expected):
    """Runs one operation; returns the exception type it raised (None when none)."""
    try:
        operation()
    except Exception as error:  # noqa: BLE001 - the type is what is checked
        return type(error)
    return None


def _nothing():
    pass


def _round_growth(measure, operation, expected, loops):
    before = measure()
    for _ in range(loops):
        run(operation, expected)
    return measure() - before


def growth(measure, operation, expected, loops, rounds=3):
    """Per-round growth of `measure` over `loops` calls, after a warm-up round, less what the same
    loop around an operation that does nothing grows."""
    _round_growth(measure, operation, expected, loops)
    return [
        _round_growth(measure, operation, expected, loops)
        - _round_growth(measure, _nothing, None, loops)
        for _ in range(rounds)
    ]
