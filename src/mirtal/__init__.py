"""mirtal: a device-connection library (the host package of its plugin manager).

Public names: ``log`` (the library's logger), ``__plugin_manager__`` (the shared manager that
plugins register on), ``__version__``, and the subpackages ``core`` and ``plugins``. The manager's
class is ``mirtal.core.pluginmanager.PluginManager``.
"""

import logging

log = logging.getLogger("mirtal")

# The extension binds `log` from this package while it is imported: bound above.
from mirtal.core.pluginmanager import PluginManager  # noqa: E402

__plugin_manager__ = PluginManager()

# Only what is documented stays in the namespace. The deprecation warning that pkg_resources gives
# while the extension imports it is attributed to this module's frame: the extension's filter hides
# it, but the warnings module still leaves its registry in this module's globals.
del logging, PluginManager
globals().pop("__warningregistry__", None)


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


def __dir__():
    return sorted({*globals(), "__version__"})
