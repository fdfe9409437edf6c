"""brelk: one class per chassis type, for every series and model of the OS.

Registered at OS level, so a lookup for any brelk series or model that has no class of its own
ends here.
"""

from mirtal import __plugin_manager__
from mirtal.plugins.base import Connection


class SingleRpConnection(Connection):
    """brelk device with one route processor."""


class DualRpConnection(Connection):
    """brelk device with an active and a standby route processor."""


__plugin_manager__.register_plugin(SingleRpConnection, os="brelk")
__plugin_manager__.register_plugin(DualRpConnection, os="brelk", chassis_type="dual_rp")
