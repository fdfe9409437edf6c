"""Command line of the plugin manager: ``python -m mirtal``.

Without options it discovers the built-in and the external plugins and prints the plugin tree;
with ``--os`` (and optionally ``--series``, ``--model``, ``--chassis-type``) it tells which class
serves that device and which node of the tree answered.
"""

import argparse
import json
import logging
import os
import sys
import sysconfig
import traceback

import mirtal
from mirtal.core.errors import ConnectionInfraError

EPILOG = """\
examples:
  python -m mirtal                                  the plugin tree
  python -m mirtal --os vennu --series zq4          the class serving a vennu zq4 device
  python -m mirtal --os brelk --chassis-type dual_rp --json

A lookup walks the key path os/series/model as far as nodes exist; the deepest node reached
alone decides (no fallback to a shallower node, none between chassis types).

exit status: 0 on success, 1 when the lookup fails or a plugin cannot be loaded,
2 on a usage error."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m mirtal",
        description="Discover mirtal's plugins (built-in ones and those of installed "
        "distributions),\nthen show the plugin tree or resolve a device to its connection class.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    device = parser.add_argument_group("device lookup (any of these asks for a lookup)")
    device.add_argument("--os", help="operating system of the device, e.g. vennu")
    device.add_argument("--series", help="series within the OS, e.g. zq4")
    device.add_argument("--model", help="model within the series (needs --series), e.g. m1")
    device.add_argument(
        "--chassis-type",
        metavar="TYPE",
        help="single_rp (the default), dual_rp or stack",
    )
    parser.add_argument(
        "--json", action="store_true", help="print the tree or the answer as JSON"
    )
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="show the library's debug lines (logger 'mirtal') on stderr",
    )
    return parser


def qualified_name(obj):
    module = getattr(obj, "__module__", None)
    name = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    return f"{module}.{name}" if module and name else repr(obj)


def jsonable(node):
    """The tree with its classes as "module.qualname"; keys that are not str by their str()."""
    if isinstance(node, dict):
        return {str(key): jsonable(value) for key, value in node.items()}
    if node is None or isinstance(node, (str, int, float, bool)):
        return node
    return qualified_name(node)


def key_path(args):
    """The node address of a lookup, decided as the manager decides it: by tests against None."""
    if args.model is not None:
        return [args.os, args.series, args.model]
    if args.series is not None:
        return [args.os, args.series]
    return [args.os]


def deepest_node(tree, path):
    """The node a lookup stops at, and the keys that lead to it."""
    node, reached = tree, []
    for key in path:
        if key not in node:
            break
        node = node[key]
        reached.append(key)
    return node, reached


class LoadError(Exception):
    """A plugin module raised while discovery imported it."""

    def __str__(self):
        error = self.args[0]
        # Point at the innermost frame outside the import machinery: the plugin's own code.
        entry_points = sys.modules["pkg_resources"].__file__  # imported by the plugin manager
        machinery = ("<", sysconfig.get_path("stdlib"), os.path.dirname(entry_points))
        frames = traceback.extract_tb(error.__traceback__.tb_next)
        frames = [f for f in frames if not f.filename.startswith(machinery)]
        where = f" ({frames[-1].filename}, line {frames[-1].lineno})" if frames else ""
        return f"a plugin failed to load: {type(error).__name__}: {error}{where}"


def discover():
    """Both discoveries on the shared manager; a plugin that fails to load raises LoadError."""
    manager = mirtal.__plugin_manager__
    try:
        manager.discover_builtin_plugins()
        manager.discover_external_plugins()
    except Exception as error:
        raise LoadError(error) from error
    return manager


def show_tree(manager, args):
    if args.json:
        print(json.dumps(jsonable(manager.plugins), indent=2, sort_keys=True))
    else:
        print(str(manager) or "(no plugins registered)")


def show_lookup(manager, args):
    chassis_type = "single_rp" if args.chassis_type is None else args.chassis_type
    cls = manager.get_plugin(args.os, args.series, args.model, chassis_type)
    node, reached = deepest_node(manager.plugins, key_path(args))
    answer = {
        "os": args.os,
        "series": args.series,
        "model": args.model,
        "chassis_type": chassis_type,
        "class": qualified_name(cls),
        "file": node["data"][chassis_type]["path"],
        "node": "/".join(map(str, reached)),
    }
    if args.json:
        print(json.dumps(answer, indent=2))
    else:
        for key in ("class", "file", "node"):
            print(f"{key + ':':7}{answer[key]}")


def main(argv=None):
    args = build_parser().parse_args(argv)
    logging.basicConfig(stream=sys.stderr, format="%(levelname)s %(name)s: %(message)s")
    if args.verbose:
        mirtal.log.setLevel(logging.DEBUG)
    lookup = any(v is not None for v in (args.os, args.series, args.model, args.chassis_type))
    try:
        manager = discover()
        (show_lookup if lookup else show_tree)(manager, args)
    except (LoadError, ConnectionInfraError) as error:
        print("mirtal:", " ".join(str(error).split()), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
