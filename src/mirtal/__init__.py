"""mirtal: a device-connection library (the host package of its plugin manager)."""

import logging

log = logging.getLogger("mirtal")

from mirtal.core.pluginmanager import PluginManager  # noqa: E402  (needs `log` bound first)

__plugin_manager__ = PluginManager()
