"""Type stub of the plugin manager extension module."""

import importlib as importlib
import os as os
import pkgutil as pkgutil
from collections.abc import Iterator, Mapping
from inspect import getfile as getfile
from logging import Logger
from typing import Any, TypeAlias

from mirtal.core.errors import ConnectionInfraError as ConnectionInfraError

# The services the module reads from its own globals at each use: rebinding one takes effect.
log: Logger
ENTRYPOINT_GROUP: str

def iter_entry_points(group: str, name: str | None = None) -> Iterator[Any]: ...

# The plugin tree: OS nodes, series nodes below them, model nodes below those; every node may
# hold "data", a map from chassis type to a record {"cls": <class>, "path": <file of its module>}.
_PluginTree: TypeAlias = dict[Any, Any]

class PluginManager:
    """Loads all plugin implementation,
    provides API's for accessing plugins"""

    _plugins: _PluginTree
    chassis_type_list: list[str]
    supported_os: list[str]
    def __init__(self) -> None: ...
    # Read-only for type checkers: its setter exists only to raise Exception.
    @property
    def plugins(self) -> _PluginTree: ...
    def validate_model(self, os: object, series: object, model: object) -> None: ...
    def validate_series(self, os: object, series: object) -> None: ...
    def validate_os(self, os: object) -> None: ...
    def validate_chassis_type(self, chassis_type: object) -> None: ...
    def validate_arguments(
        self, os: object, series: object, model: object, chassis_type: object
    ) -> None: ...
    def get_plugin(
        self,
        os: str | None = None,
        series: str | None = None,
        model: str | None = None,
        chassis_type: str = "single_rp",
    ) -> type[Any]: ...
    def unregister_plugin(
        self,
        os: str | None = None,
        series: str | None = None,
        model: str | None = None,
        chassis_type: str | None = None,
    ) -> None: ...
    def register_plugin(
        self,
        cls: type[Any],
        os: str | None = None,
        series: str | None = None,
        model: str | None = None,
        chassis_type: str = "single_rp",
    ) -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: Mapping[Any, Any], output: str = "plugin") -> str: ...
