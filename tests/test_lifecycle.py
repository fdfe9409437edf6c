"""Threads sharing one manager, subinterpreters with their own module state, and collection of
managers caught in reference cycles."""

import gc
import threading
import weakref

import pytest

from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager
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


def test_subinterpreter_has_its_own_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, (
            "import json, mirtal\n"
            "from mirtal.core.pluginmanager import PluginManager\n"
            "m = PluginManager()\n"
            "m.register_plugin(json.JSONDecoder, os='vennu', series='zq4')\n"
            "assert m.get_plugin(os='vennu', series='zq4') is json.JSONDecoder\n"
            "assert repr(m).startswith('plugins (')\n"
            "assert mirtal.__plugin_manager__.plugins == {}\n"
        ))
    finally:
        interpreters.destroy(interpreter)
    manager = PluginManager()  # the main interpreter's module still works
    manager.register_plugin(Plugin, os="vennu")
    assert manager.get_plugin("vennu") is Plugin


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
