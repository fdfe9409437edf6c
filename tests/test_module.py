"""Importing mirtal.core.pluginmanager: its globals, docstring, failures and the demonstration run."""

import importlib
import importlib.util
import inspect
import os
import pkgutil
import subprocess
import sys
import textwrap

import pkg_resources
import pytest

import mirtal
from mirtal.core import errors, pluginmanager

MODULE = "mirtal.core.pluginmanager"
OWN_GLOBALS = [
    "os", "pkgutil", "importlib", "log", "getfile", "ConnectionInfraError",
    "iter_entry_points", "ENTRYPOINT_GROUP", "PluginManager",
]


def own_globals(module):
    return [name for name in vars(module) if not (name.startswith("__") and name.endswith("__"))]


def run_python(code, *options):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr)."""
    done = subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout.strip(), done.stderr


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
        "Module:",
        "mirtal.core.pluginmanager",
        "Description:",
        "This module provides",
        "1. Methods for identifying and loading plugin implementations",
        "2. Methods for validating and accessing platform implementation",
    ]


def test_run_as_main_program_registers_sample(shared_tree, capsys):
    spec = importlib.util.find_spec(MODULE)
    m = importlib.util.module_from_spec(spec)
    m.__name__ = "__main__"
    spec.loader.exec_module(m)

    assert own_globals(m) == OWN_GLOBALS + ["Sample"]
    assert list(vars(m))[-2:] == ["__plugin_manager__", "Sample"]
    assert m.__plugin_manager__ is mirtal.__plugin_manager__
    sample = m.Sample
    assert (sample.__name__, sample.__qualname__, sample.__bases__) == ("Sample", "Sample", (object,))
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
            print(type(e).__name__ + ": " + str(e))
    """))
    assert (status, out) == (0, error), err


@pytest.mark.parametrize("prepare, bound", [
    ("import sys; sys.modules['pkg_resources'] = None", OWN_GLOBALS[:6]),
    (EMPTY_ERRORS, OWN_GLOBALS[:5]),
])
def test_failed_initialisation_stops_at_the_failing_step(prepare, bound):
    status, out, err = run_python(f"""
import importlib.util, mirtal
spec = importlib.util.find_spec("{MODULE}")
{textwrap.dedent(prepare)}
m = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(m)
except ImportError:
    print([k for k in vars(m) if not k.startswith("__")])
""")
    assert (status, out) == (0, repr(bound)), err


def test_log_is_taken_from_the_top_level_package():
    status, out, err = run_python(FAKE_TOP_LEVEL + f"""
    fake.log = "the library's logger"
    import {MODULE} as m
    print(m.log)
    """)
    assert (status, out) == (0, "the library's logger"), err


def test_import_emits_no_warning_and_keeps_the_callers_filters():
    status, out, err = run_python("""
        import warnings, pkg_resources
        before = list(warnings.filters)
        import mirtal.core.pluginmanager
        print(warnings.filters == before)
    """, "-W", "error")
    assert (status, out, err) == (0, "True", "")
