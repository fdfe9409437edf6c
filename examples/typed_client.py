"""A small client of the plugin manager, written to pass `mypy --strict` against its type stub
and the package's inline annotations (load_plugins and its report).

Run it with the package installed: python examples/typed_client.py
"""

from typing import Any

import mirtal
from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager
from mirtal.loading import LoadReport, PluginLoadError


class Zq4Connection:
    """Connection class of the vennu series zq4."""

    def __init__(self, hostname: str) -> None:
        self.hostname = hostname


def find_class(manager: PluginManager, os: str, series: str | None = None) -> type[Any] | None:
    """The class that serves the device, or None when no plugin answers."""
    try:
        return manager.get_plugin(os=os, series=series)
    except ConnectionInfraError:
        return None


def plugin_problems(report: LoadReport) -> list[str]:
    """One line for each plugin that failed to load and for each place plugins collided at."""
    lines = [f"failed: {source.label}: {source.error}" for source in report.failures]
    for conflict in report.conflicts:
        winner = conflict.current.__qualname__ if conflict.current is not None else "none"
        lines.append(f"conflict at {conflict.node} ({conflict.chassis_type}): {winner} won")
    return lines


def load_everything() -> dict[str, Any]:
    """Loads every plugin, carrying on past failures; the report as plain data."""
    failures: list[PluginLoadError] = []
    report = mirtal.load_plugins(exclude=["mirtal.plugins.brelk"], on_error=failures.append)
    for line in plugin_problems(report):
        print(line)
    loaded = [s.name for s in report.sources if s.status == "loaded"]
    print(f"{len(loaded)} loaded, {len(failures)} failed")
    return report.to_dict()


def main() -> None:
    manager = PluginManager()
    manager.register_plugin(Zq4Connection, os="vennu", series="zq4")
    cls = find_class(manager, "vennu", "zq4")
    if cls is not None:
        print(f"vennu/zq4 -> {cls.__qualname__}: {cls('edge-1').hostname}")
    print(f"vennu/zq9 -> {find_class(manager, 'vennu', 'zq9')}")

    tree: dict[Any, Any] = manager.plugins
    print(manager.print_tree(tree, output="plugins"))
    supported: list[str] = manager.supported_os
    print(f"{len(supported)} OSes known, chassis types {manager.chassis_type_list}")
    manager.unregister_plugin(os="vennu", series="zq4")
    load_everything()


if __name__ == "__main__":
    main()
