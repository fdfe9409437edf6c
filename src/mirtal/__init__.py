"""mirtal: a device-connection library (the host package of its plugin manager)."""

import logging

log = logging.getLogger("mirtal")

from mirtal.core.pluginmanager import PluginManager  # noqa: E402  (needs `log` bound first)

__plugin_manager__ = PluginManager()


def __getattr__(name):
    # The version is read from the installed distribution's metadata on first use, so that
    # importing the package costs no metadata lookup.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("mirtal")
        except PackageNotFoundError:  # a source tree put on the path by hand
            value = "0+unknown"
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
