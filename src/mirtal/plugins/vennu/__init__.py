"""vennu: a class for the OS as a whole; series and models below it refine it."""

from mirtal import __plugin_manager__
from mirtal.plugins.base import Connection


class VennuConnection(Connection):
    """Any vennu device whose series has no class of its own."""


__plugin_manager__.register_plugin(VennuConnection, os="vennu")
