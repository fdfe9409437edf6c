"""vennu series zq4."""

from mirtal import __plugin_manager__
from mirtal.plugins.vennu import VennuConnection


class Zq4Connection(VennuConnection):
    """Any zq4 device whose model has no class of its own."""


__plugin_manager__.register_plugin(Zq4Connection, os="vennu", series="zq4")
