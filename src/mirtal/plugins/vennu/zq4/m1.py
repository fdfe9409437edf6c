"""vennu series zq4, model m1."""

from mirtal import __plugin_manager__
from mirtal.plugins.vennu.zq4 import Zq4Connection


class M1Connection(Zq4Connection):
    """The zq4 model m1."""


__plugin_manager__.register_plugin(M1Connection, os="vennu", series="zq4", model="m1")
