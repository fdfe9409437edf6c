"""Both discovery routes end to end.

The built-in plugins come from the packages below mirtal.plugins; the tarn plugin comes from the
distribution in examples/external_plugin, which `make demo` installs first.
"""

import logging

import mirtal
from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager

logging.basicConfig(format="%(levelname)s %(name)s: %(message)s")
logging.getLogger("mirtal").setLevel(logging.DEBUG)

manager = mirtal.__plugin_manager__
PluginManager.discover_builtin_plugins()
PluginManager.discover_external_plugins()
print(manager)
print()

devices = [
    {"os": "brelk"},
    {"os": "brelk", "series": "k7", "chassis_type": "dual_rp"},
    {"os": "vennu", "series": "zq4"},
    {"os": "vennu", "series": "zq4", "model": "m1"},
    {"os": "vennu", "series": "zq9"},
    {"os": "tarn", "chassis_type": "stack"},
]
for device in devices:
    cls = manager.get_plugin(**device)
    where = ", ".join(f"{key}={value}" for key, value in device.items())
    print(f"get_plugin({where}) -> {cls.__module__}.{cls.__qualname__}")

try:
    manager.get_plugin(os="tarvik", series="r2")
except ConnectionInfraError as error:
    print(f"get_plugin(os=tarvik, series=r2) -> ConnectionInfraError: {error}")
