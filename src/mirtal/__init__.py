"""mirtal: a device-connection library (the host package of its plugin manager).

Public names: ``log`` (the library's logger), ``__plugin_manager__`` (the shared manager that
plugins register on), ``__version__``, ``load_plugins`` (loads the plugins and reports what each
one registered, failed or collided; from the module ``loading``), and the subpackages ``core`` and
``plugins``. The manager's class is ``mirtal.core.pluginmanager.PluginManager``.

The extension module, and with it pkg_resources, is imported when the shared manager or
``load_plugins`` is first asked for (``from mirtal import __plugin_manager__`` included), not by
``import mirtal``: what needs neither (the command line's --help, --version, usage errors, and
its --check, which loads in a child interpreter) does without them.
"""

import logging

log = logging.getLogger("mirtal")
del logging

# For type checkers the package has its real names only; at run time the shared manager is made,
# and the version read from the installed distribution's metadata, on first use.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from mirtal import core as core, loading as loading
    from mirtal.core.pluginmanager import PluginManager
    from mirtal.loading import load_plugins as load_plugins

    __plugin_manager__: PluginManager
    __version__: str
else:
    import _thread

    def __getattr__(name):
        if name in ("__plugin_manager__", "load_plugins"):
            with __getattr__.lock:  # one shared manager, whichever thread asks first
                if name not in globals():
                    # The extension binds `log` from this package while it is imported. It
                    # imports pkg_resources, which setuptools 82 removed: that failure gets a
                    # message saying what to do.
                    try:
                        from mirtal.core.pluginmanager import PluginManager
                    except ModuleNotFoundError as error:
                        if error.name != "pkg_resources":
                            raise
                        raise ImportError(
                            "mirtal needs pkg_resources, which setuptools removed in its release "
                            "82: install setuptools<82 (python -m pip install 'setuptools<82')",
                            name=__name__,
                        ) from error
                    manager = PluginManager()
                    from mirtal.loading import load_plugins

                    # The deprecation warning that pkg_resources gives while the extension
                    # imports it is attributed to this module's frame: the extension's filter
                    # hides it, but the warnings module still leaves its registry in this
                    # module's globals.
                    globals().pop("__warningregistry__", None)
                    globals().update(__plugin_manager__=manager, load_plugins=load_plugins)
            return globals()[name]
        if name == "__version__":
            from importlib.metadata import PackageNotFoundError, version

            try:
                value = version("mirtal")
            except PackageNotFoundError:  # a source tree put on the path by hand
                value = "0+unknown"
            globals()["__version__"] = value
            return value
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    __getattr__.lock = _thread.allocate_lock()

    def __dir__():
        return sorted({*globals(), "__plugin_manager__", "__version__", "load_plugins"})

    del _thread

del TYPE_CHECKING
