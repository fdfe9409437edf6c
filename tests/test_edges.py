"""Where the C++ must still behave like the same class written in Python: deep trees rendered
through overrides on small thread stacks and in the main thread, strings that are not ready yet,
str subclasses compared with the reserved key, module globals looked up in the module's own
builtins, and equal texts held by distinct string objects."""

import ctypes
import resource
import subprocess
import sys

import pytest

from mirtal.core import pluginmanager
from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager


class Plugin:
    pass


DEEP_RENDER = """if True:
    import sys, threading
    from mirtal.core.pluginmanager import PluginManager

    class Sub(PluginManager):
        pass

    class Overriding(PluginManager):
        def print_tree(self, data, output="plugin"):
            return super().print_tree(data, output)

    manager = {cls!s}()
    tree = leaf = {{}}
    for _ in range({depth}):
        leaf["k"] = {{}}
        leaf = leaf["k"]
    leaf["k"] = 1
    manager._plugins = tree
    outcome = []

    def render():
        try:
            outcome.append(len(repr(manager)))
        except RecursionError:
            outcome.append("RecursionError")

    if {stack}:
        threading.stack_size({stack})
        thread = threading.Thread(target=render)
        thread.start()
        thread.join()
    else:
        render()
    print(outcome[0])
"""


def main_stack(size):
    """The main thread's C stack limit of a child process: `size` bytes where the hard limit
    allows."""
    def apply():
        hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
        if hard == resource.RLIM_INFINITY or hard >= size:
            resource.setrlimit(resource.RLIMIT_STACK, (size, hard))
    return apply


@pytest.mark.parametrize("cls", ["PluginManager", "Sub", "Overriding"])
@pytest.mark.parametrize("depth, stack", [(1_000, 512 * 1024), (3_500, 2 * 1024 * 1024),
                                          (20_000, 8 * 1024 * 1024), (100_000, None)])
def test_deep_trees_end_in_a_rendering_or_recursion_error(cls, depth, stack):
    # In a child process: a C stack overflow would end it with a signal instead of a result.
    # No stack size: rendered in the main thread, on an 8 MiB stack.
    done = subprocess.run(
        [sys.executable, "-c", DEEP_RENDER.format(cls=cls, depth=depth, stack=stack)],
        capture_output=True, text=True, timeout=120, preexec_fn=main_stack(8 * 1024 * 1024))
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "RecursionError" or int(done.stdout) > depth * 3


@pytest.fixture
def legacy():
    """Strs made through the pre-3.12 Py_UNICODE API: not ready until something asks for it."""
    api = ctypes.pythonapi
    if not hasattr(api, "PyUnicode_FromUnicode"):
        pytest.skip("no legacy str API in this interpreter")
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]

    def make(text):
        value = api.PyUnicode_FromUnicode(None, len(text))
        buffer = (ctypes.c_wchar * len(text)).from_address(api.PyUnicode_AsUnicode(value))
        buffer[:] = text
        return value

    return make


@pytest.mark.filterwarnings("ignore:PyUnicode_FromUnicode:DeprecationWarning")
def test_legacy_strs_read_like_ordinary_ones(legacy):
    manager = PluginManager()
    manager.register_plugin(Plugin, os=legacy("vennu"), series=legacy("zq4"))
    assert manager.get_plugin(legacy("vennu"), legacy("zq4")) is Plugin
    assert manager.get_plugin("vennu", "zq4", legacy("m1"), legacy("single_rp")) is Plugin
    with pytest.raises(ConnectionInfraError, match=r"Series \(ZQ4\) has to be in lowercase"):
        manager.get_plugin(legacy("vennu"), legacy("ZQ4"))
    with pytest.raises(ConnectionInfraError, match="is a reserved name"):
        manager.get_plugin("vennu", legacy("data"))
    manager.supported_os = [legacy("vennu")]
    assert manager.get_plugin("vennu", "zq4") is Plugin
    assert "|__ zq4" in manager.print_tree({legacy("zq4"): {legacy("data"): legacy("x\ny")}})


class Never(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


class Always(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


@pytest.mark.parametrize("cls, reserved", [(Never, False), (Always, True), (str, True)])
@pytest.mark.parametrize("where", ["series", "model"])
def test_reserved_key_compared_as_the_value_compares(cls, reserved, where):
    manager = PluginManager()
    manager.register_plugin(Plugin, os="vennu")
    value = cls("data") if cls is not Always else cls("zq4")
    arguments = {"os": "vennu", "series": "zq4", where: value}
    if reserved:
        with pytest.raises(ConnectionInfraError, match="is a reserved name"):
            manager.get_plugin(**arguments)
    else:
        assert manager.get_plugin(**arguments) is Plugin


def test_missing_global_is_looked_up_in_the_modules_own_builtins(module_globals):
    manager = PluginManager()
    del pluginmanager.log
    calls = []
    caller_builtins = {"log": type("Fake", (), {"debug": lambda self, m: calls.append(m)})()}
    with pytest.raises(NameError, match="name 'log' is not defined"):
        exec("m.validate_os('newos')", {"m": manager, "__builtins__": caller_builtins})
    assert calls == []
    import builtins
    builtins.log = caller_builtins["log"]  # the module's builtins are the interpreter's
    try:
        manager.validate_os("newos")
    finally:
        del builtins.log
    assert calls == ["newos is not part of the built-in list of supported OSes."]


def test_equal_texts_in_distinct_objects_are_equal():
    manager = PluginManager()
    built = "".join(["ven", "nu"])
    assert built is not sys.intern("vennu")
    manager.supported_os = [built]
    manager.chassis_type_list = ["".join(["single", "_rp"])]
    manager.register_plugin(Plugin, os=sys.intern("vennu"))
    assert manager.get_plugin(sys.intern("vennu")) is Plugin
