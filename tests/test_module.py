"""Importing mirtal.core.pluginmanager: globals, docstring, failures, the demonstration run."""

import importlib
import importlib.util
import inspect
import os
import pkgutil
import struct
import subprocess
import sys
import textwrap

import pkg_resources
import pytest

import mirtal
from mirtal.core import errors, pluginmanager

MODULE = "mirtal.core.pluginmanager"
OWN_GLOBALS = ["os", "pkgutil", "importlib", "log", "getfile", "ConnectionInfraError",
               "iter_entry_points", "ENTRYPOINT_GROUP", "PluginManager"]


def own_globals(module):
    return [name for name in vars(module) if not (name.startswith("__") and name.endswith("__"))]


def run_python(code, *options):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr)."""
    done = subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout.strip(), done.stderr


def test_the_extension_keeps_nothing_in_thread_local_storage():
    """A module loaded by dlopen keeps a thread_local in dynamic TLS, which the leak checker of the
    sanitizer build misreads at exit, or not, depending on where memory lies: ruled out here, not
    left to chance. No ELF segment of type PT_TLS (7)."""
    with open(pluginmanager.__file__, "rb") as file:
        image = file.read()
    if image[:4] != b"\x7fELF" or image[4] != 2:
        pytest.skip("not a 64-bit ELF file")
    order = "<" if image[5] == 1 else ">"
    [table] = struct.unpack_from(order + "Q", image, 0x20)
    size, count = struct.unpack_from(order + "HH", image, 0x36)
    kinds = [struct.unpack_from(order + "I", image, table + i * size)[0] for i in range(count)]
    assert 1 in kinds and 7 not in kinds, kinds  # PT_LOAD read: the table is what we think


def test_globals_bound_in_order():
    assert own_globals(pluginmanager) == OWN_GLOBALS
    assert not hasattr(pluginmanager, "Sample")
    assert not hasattr(pluginmanager, "__plugin_manager__")


@pytest.mark.parametrize("name, expected", [
    ("os", os), ("pkgutil", pkgutil), ("importlib", importlib), ("log", mirtal.log),
    ("getfile", inspect.getfile), ("ConnectionInfraError", errors.ConnectionInfraError),
    ("iter_entry_points", pkg_resources.iter_entry_points),
])
def test_globals_are_the_services_themselves(name, expected):
    assert getattr(pluginmanager, name) is expected


def test_module_constants_and_identity():
    assert pluginmanager.ENTRYPOINT_GROUP == "mirtal.plugins"
    assert pluginmanager.__name__ == MODULE
    assert importlib.import_module(MODULE) is pluginmanager
    assert type(mirtal.__plugin_manager__) is pluginmanager.PluginManager
    assert [line.strip() for line in pluginmanager.__doc__.splitlines()] == [
        "Module:", "mirtal.core.pluginmanager", "Description:", "This module provides",
        "1. Methods for identifying and loading plugin implementations",
        "2. Methods for validating and accessing platform implementation"]


def test_run_as_main_program_registers_sample(shared_tree, capsys):
    spec = importlib.util.find_spec(MODULE)
    m = importlib.util.module_from_spec(spec)
    m.__name__ = "__main__"
    spec.loader.exec_module(m)

    assert own_globals(m) == OWN_GLOBALS + ["Sample"]
    assert list(vars(m))[-2:] == ["__plugin_manager__", "Sample"]
    assert m.__plugin_manager__ is mirtal.__plugin_manager__
    sample = m.Sample
    assert (sample.__qualname__, sample.__bases__) == ("Sample", (object,))
    assert sample.__doc__ == "Sample implementation"
    assert shared_tree == {"vennu": {"zq4": {"data": {"single_rp": {
        "cls": sample, "path": inspect.getfile(sample)}}}}}
    assert mirtal.__plugin_manager__.get_plugin("vennu", "zq4") is sample
    assert capsys.readouterr() == ("", "")
    # the ordinary module is untouched
    assert sys.modules[MODULE] is pluginmanager
    assert not hasattr(pluginmanager, "Sample")


# A fresh interpreter, with sys.modules or the package prepared so that one import step fails.
FAKE_TOP_LEVEL = """
    import importlib.util, sys, types
    fake = types.ModuleType("mirtal")
    fake.__path__ = list(importlib.util.find_spec("mirtal").submodule_search_locations)
    sys.modules["mirtal"] = fake
"""
EMPTY_ERRORS = """
    import sys, types
    sys.modules["mirtal.core.errors"] = types.ModuleType("mirtal.core.errors")
"""
NO_ENTRY_POINT_READER = """
    import sys, types
    sys.modules["pkg_resources"] = types.ModuleType("pkg_resources")
"""


@pytest.mark.parametrize("prepare, error", [
    # The extension's own exception (the package adds what to do when its shared manager is
    # asked for: tests/test_package.py).
    ("import sys; sys.modules['pkg_resources'] = None",
     "ModuleNotFoundError: import of pkg_resources halted; None in sys.modules"),
    ("import sys; sys.modules['mirtal.core.errors'] = None",
     "ModuleNotFoundError: import of mirtal.core.errors halted; None in sys.modules"),
    (FAKE_TOP_LEVEL, "ImportError: cannot import name log"),
    (EMPTY_ERRORS, "ImportError: cannot import name ConnectionInfraError"),
    (NO_ENTRY_POINT_READER, "ImportError: cannot import name iter_entry_points"),
], ids=["no-pkg_resources", "no-errors", "no-log", "no-error-type", "no-iter_entry_points"])
def test_import_failure_propagates_unchanged(prepare, error):
    status, out, err = run_python(textwrap.dedent(prepare) + textwrap.dedent(f"""
        try:
            import {MODULE}
        except BaseException as e:
            cause = e.__cause__
            print(type(e).__name__ + ": " + str(e), end="")
            print("" if cause is None else " <- " + type(cause).__name__ + ": " + str(cause))
    """))
    assert (status, out) == (0, error), err


# What pkg_resources itself says on import in the releases that deprecate it.
NOISY_PKG_RESOURCES = """
import warnings
warnings.warn("pkg_resources is deprecated as an API. See the setuptools documentation.",
              {category}, stacklevel=2)
def iter_entry_points(group, name=None):
    return iter(())
"""


@pytest.mark.parametrize("category", [None, "DeprecationWarning", "UserWarning"])
def test_import_emits_no_warning_and_keeps_every_filter(tmp_path, category):
    # The caller's filters stay, and so do those pkg_resources installs (as after its own import).
    if category:
        (tmp_path / "pkg_resources.py").write_text(NOISY_PKG_RESOURCES.format(category=category))
    filters = {}
    # The plain import of the installed package (a stand-in installs no filter) is told to ignore
    # its deprecation warning on the command line: that one entry is left out of the comparison.
    plain = ["-W", "ignore:pkg_resources is deprecated as an API"]
    for target, options in [("mirtal.core.pluginmanager, pkg_resources", [])] + \
            [("pkg_resources", plain)] * (not category):
        done = subprocess.run([sys.executable, "-W", "error", *options, "-c", textwrap.dedent(f"""
            import warnings
            before = list(warnings.filters)
            import {target}
            print([f for f in warnings.filters if f in before] == before, pkg_resources.__file__)
            print([repr(f) for f in warnings.filters if "pkg_resources" not in repr(f)])
        """)], capture_output=True, text=True, timeout=120, cwd=tmp_path)
        assert (done.returncode, done.stderr) == (0, "")
        kept, origin = done.stdout.splitlines()[0].split()
        assert kept == "True" and origin.startswith(str(tmp_path)) == bool(category)
        filters[target] = done.stdout.splitlines()[1]
    assert filters.get("pkg_resources", filters["mirtal.core.pluginmanager, pkg_resources"]) == \
        filters["mirtal.core.pluginmanager, pkg_resources"]
