"""Shared fixtures. Tests import the installed package, never the source tree."""

import pytest

import mirtal
from mirtal.core import pluginmanager
from mirtal.core.errors import ConnectionInfraError  # noqa: F401  (re-exported for tests)


@pytest.fixture
def manager():
    return pluginmanager.PluginManager()


@pytest.fixture
def shared_tree():
    """The shared manager's tree, restored after the test."""
    shared = mirtal.__plugin_manager__
    saved = shared._plugins
    shared._plugins = {}
    yield shared._plugins
    shared._plugins = saved


@pytest.fixture
def module_globals():
    """The extension's globals; any rebinding made by the test is undone afterwards."""
    saved = dict(vars(pluginmanager))
    yield vars(pluginmanager)
    for name in list(vars(pluginmanager)):
        if name not in saved:
            delattr(pluginmanager, name)
    for name, value in saved.items():
        setattr(pluginmanager, name, value)
