"""The pytest plugin of mirtal (entry point ``mirtal`` of the group ``pytest11``).

It gives plugin authors the fixture ``mirtal_manager`` and the marker ``mirtal_forget``. It lives
outside the package ``mirtal`` on purpose: pytest imports it at start-up in every run, and
importing ``mirtal`` imports the extension and pkg_resources, which only a test that uses the
fixture pays for (and a broken installation of mirtal breaks only such tests). Turned off with
``-p no:mirtal``.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from mirtal.core.pluginmanager import PluginManager


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "mirtal_forget(*names): modules (each with those below it) that the fixture "
        "mirtal_manager makes the test import afresh, as mirtal.testing.fresh_manager(forget=...)")


@pytest.fixture
def mirtal_manager(request: pytest.FixtureRequest) -> Iterator[PluginManager]:
    """A new, empty PluginManager as ``mirtal.__plugin_manager__`` for the test: plugins
    imported by the test register on it. Afterwards the shared manager is back and the modules
    that the test imported are forgotten (``mirtal.testing.fresh_manager``)."""
    from mirtal.testing import fresh_manager

    forget: list[Any] = []
    for marker in request.node.iter_markers("mirtal_forget"):
        forget.extend(marker.args)
    with fresh_manager(forget=forget) as manager:
        yield manager
