"""tarn connection classes, registered when mirtal loads this distribution's entry point."""

from mirtal import __plugin_manager__


class TarnConnection:
    """tarn device with one route processor."""


class TarnStackConnection(TarnConnection):
    """A stack of tarn switches managed as one device."""


__plugin_manager__.register_plugin(TarnConnection, os="tarn")
__plugin_manager__.register_plugin(TarnStackConnection, os="tarn", chassis_type="stack")
