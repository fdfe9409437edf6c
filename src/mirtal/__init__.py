"""mirtal: a device-connection library (the host package of its plugin manager).

Public names: ``log`` (the library's logger), ``__plugin_manager__`` (the shared manager that
plugins register on), ``__version__``, ``load_plugins`` (loads the plugins and reports what each
one registered, failed or collided; from the module ``loading``), and the subpackages ``core`` and
``plugins``. The manager's class is ``mirtal.core.pluginmanager.PluginManager``.
"""

import logging

log = logging.getLogger("mirtal")

# The extension binds `log` from this package while it is imported: bound above. It imports
# pkg_resources, which setuptools 82 removed: that failure gets a message saying what to do.
try:
    from mirtal.core.pluginmanager import PluginManager
except ModuleNotFoundError as error:
    if error.name != "pkg_resources":
        raise
    raise ImportError(
        "mirtal needs pkg_resources, which setuptools removed in its release 82: install "
        "setuptools<82 (python -m pip install 'setuptools<82')",
        name=__name__,
    ) from error

__plugin_manager__ = PluginManager()

from mirtal.loading import load_plugins as load_plugins  # noqa: E402

# Only what is documented stays in the namespace. The deprecation warning that pkg_resources gives
# while the extension imports it is attributed to this module's frame: the extension's filter hides
# it, but the warnings module still leaves its registry in this module's globals.
del logging, PluginManager
globals().pop("__warningregistry__", None)

# For type checkers the package has its real names only; at run time the version is read from the
# installed distribution's metadata on first use, so that importing the package costs no lookup.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from mirtal import core as core

    __version__: str
else:

    def __getattr__(name):
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


del TYPE_CHECKING
