"""Threads sharing one manager, subinterpreters with their own module state, and collection of
managers caught in reference cycles."""

import gc
import subprocess
import sys
import threading
import weakref

import pytest

from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager
from sites import PYTHON, environment
from test_hostile import well_formed


class Plugin:
    pass


def test_threads_hammering_one_manager():
    manager = PluginManager()
    failures = []
    places = [dict(os="vennu"), dict(os="vennu", series="zq4"),
              dict(os="brelk", chassis_type="stack"), dict(os="vennu", series="zq4", model="m1"),
              dict(os="quilos", chassis_type=None)]

    def worker(seed):
        try:
            for step in range(1500):
                place = places[(seed + step) % len(places)]
                action = (seed * 7 + step) % 4
                try:
                    if action == 0:
                        manager.register_plugin(Plugin, **place)
                    elif action == 1:
                        manager.unregister_plugin(**place)
                    elif action == 2:
                        assert manager.get_plugin(**place) is Plugin
                    else:
                        assert isinstance(repr(manager), str)
                except ConnectionInfraError:
                    pass
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not failures
    well_formed(manager._plugins)


# Run in a subinterpreter: each gets a module of its own, with its own class and state.
SUBINTERPRETER_WORK = """if True:
    import json, mirtal
    from mirtal.core import pluginmanager
    from mirtal.core.pluginmanager import PluginManager
    m = PluginManager()
    m.register_plugin(json.JSONDecoder, os='vennu', series='zq4')
    assert m.get_plugin('vennu', series='zq4') is json.JSONDecoder
    assert m.get_plugin('vennu', 'zq4', 'm1') is json.JSONDecoder
    own_check = PluginManager.validate_os
    PluginManager.validate_os = lambda self, os: None  # a class patch in this interpreter only
    m.register_plugin(json.JSONDecoder, os='newos')
    PluginManager.validate_os = own_check
    assert repr(m).startswith('plugins (') and '|__ zq4' in repr(m)
    m.unregister_plugin(os='vennu', series='zq4')
    PluginManager.discover_builtin_plugins()
    PluginManager.discover_external_plugins()
    shared = mirtal.__plugin_manager__
    assert shared.get_plugin('brelk').__name__ == 'SingleRpConnection'
"""

SUBINTERPRETER_RUNNERS = {
    # Shares the main interpreter's GIL: every version.
    "shared GIL": """if True:
        import _testcapi
        assert _testcapi.run_in_subinterp(WORK) == 0
    """,
    # Its own GIL: 3.13 and later (3.12's pyexpat, needed by pkg_resources, refuses to load there).
    "own GIL": """if True:
        import sys
        if sys.version_info >= (3, 14):
            from concurrent import interpreters
            interpreter = interpreters.create()
            interpreter.exec(WORK)
            interpreter.close()
        else:
            import _interpreters
            interpreter = _interpreters.create("isolated")
            failure = _interpreters.exec(interpreter, WORK)
            _interpreters.destroy(interpreter)
            assert failure is None, failure
    """,
}


@pytest.mark.parametrize("kind", SUBINTERPRETER_RUNNERS)
def test_subinterpreter_has_its_own_module(kind):
    if kind == "own GIL" and sys.version_info < (3, 13):
        pytest.skip("no isolated subinterpreters that can load pkg_resources before 3.13")
    pytest.importorskip("_testcapi" if kind == "shared GIL" else "_interpreters")
    # A child process: an interpreter bug in the subinterpreter cannot take the suite down, and
    # the plugins that discovery registers stay out of this process. The main interpreter imports
    # the module first (as a host would) and keeps using its own manager afterwards. (The other
    # order, pkg_resources imported first in a subinterpreter, leaks a few objects of the
    # interpreter's own on 3.11, with or without this module.)
    script = ("from mirtal.core.pluginmanager import PluginManager\n"
              "m = PluginManager()\n"
              "m.register_plugin(PluginManager, os='vennu')\n"
              f"WORK = {SUBINTERPRETER_WORK!r}\n{SUBINTERPRETER_RUNNERS[kind]}\n"
              "assert m.get_plugin('vennu') is PluginManager\n"
              "assert PluginManager().plugins == {}\n")
    # Only mirtal's own distributions: what else is installed is not discovered.
    done = subprocess.run([*PYTHON, "-c", script], capture_output=True, text=True,
                          env=environment(), timeout=120)
    assert (done.returncode, done.stderr) == (0, "")


class Holder(PluginManager):
    pass


@pytest.mark.parametrize("build", [
    lambda m: m._plugins.setdefault("vennu", {}).setdefault("self", m),
    lambda m: setattr(m, "me", m),
    lambda m: m.__dict__.setdefault("cycle", [m]),
])
@pytest.mark.parametrize("cls", [PluginManager, Holder])
def test_managers_in_cycles_are_collected(cls, build):
    manager = cls()
    build(manager)
    ref = weakref.ref(manager)
    del manager
    gc.collect()
    assert ref() is None
