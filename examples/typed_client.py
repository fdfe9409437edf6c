"""A small client of the plugin manager, written to pass `mypy --strict` against its type stub.

Run it with the package installed: python examples/typed_client.py
"""

from typing import Any

from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager


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


if __name__ == "__main__":
    main()
