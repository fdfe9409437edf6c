"""Command line of the plugin manager: ``mirtal`` or ``python -m mirtal``.

Without options it discovers the built-in and the external plugins and prints the plugin tree;
with ``--os`` (and optionally ``--series``, ``--model``, ``--chassis-type``) it tells which class
serves that device and which node of the tree answered.
"""

import argparse
import json
import logging
import math
import os
import signal
import sys
import sysconfig
import traceback

import mirtal
from mirtal.core import pluginmanager
from mirtal.core.errors import ConnectionInfraError

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

EPILOG = """\
examples:
  mirtal                                  the plugin tree
  mirtal --os vennu --series zq4          the class serving a vennu zq4 device
  mirtal --os brelk --chassis-type dual_rp --json

A lookup walks the key path os/series/model as far as nodes exist; the deepest node reached
alone decides (no fallback to a shallower node, none between chassis types).

exit status:
  0  success
  1  the library rejected the device (an uppercase series, --model without
     --series, ...) or found no class for it; a plugin failed to load (with
     --keep-going: after the answer); or the output could not be written
  2  usage error, found before the plugin manager is asked: an unknown option,
     a missing value, or --series, --model or --chassis-type without --os"""


class UsageError(Exception):
    """A command line that cannot be acted on (exit status 2)."""


class PluginLoadError(Exception):
    """A plugin module raised while it was loaded; names the plugin it came from."""

    def __init__(self, error, entry_point=None):
        super().__init__(error)
        self.error = error
        self.entry_point = entry_point

    def culprit(self):
        """What failed, as entry point name, module, distribution and version (None if unknown)."""
        plugin = self.entry_point
        if plugin is None:
            return {"entry_point": None, "module": None, "distribution": "mirtal",
                    "version": mirtal.__version__}
        dist = getattr(plugin, "dist", None)
        return {
            "entry_point": str(getattr(plugin, "name", "?")),
            "module": str(getattr(plugin, "module_name", "?")),
            "distribution": getattr(dist, "project_name", None),
            "version": getattr(dist, "version", None),
        }

    def __str__(self):
        found = self.culprit()
        if found["entry_point"] is None:
            source = "a built-in plugin"
        else:
            source = f"plugin {found['entry_point']} ({found['module']})"
            if found["distribution"]:
                source += f" of {found['distribution']} {found['version']}"
        error = self.error
        return one_line(f"{source} failed to load: {type(error).__name__}: {error}{where(error)}")

    def as_json(self):
        return {**self.culprit(), "exception": type(self.error).__name__,
                "exception_message": str(self.error), "message": str(self)}


def one_line(text):
    return " ".join(str(text).split())


def where(error):
    """The innermost frame outside the import machinery (the plugin's own code), as text."""
    machinery = ["<", os.path.dirname(pluginmanager.__file__), __file__]
    resources = sys.modules.get("pkg_resources")
    if resources is not None:
        machinery.append(os.path.dirname(resources.__file__))
    stdlib = sysconfig.get_path("stdlib")
    installed = (sysconfig.get_path("purelib"), sysconfig.get_path("platlib"))

    def plugin_code(name):
        if name.startswith(tuple(machinery)):
            return False
        return name.startswith(installed) or not name.startswith(stdlib)

    frames = [f for f in traceback.extract_tb(error.__traceback__) if plugin_code(f.filename)]
    return f" ({frames[-1].filename}, line {frames[-1].lineno})" if frames else ""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def build_parser(prog):
    parser = Parser(
        prog=prog,
        description="Discover mirtal's plugins (built-in ones and those of installed "
        "distributions),\nthen show the plugin tree or resolve a device to its connection class.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,  # a later option must not change what a script's abbreviation means
        add_help=False,  # help and version are written by emit(), which reports a failed write
    )
    parser.add_argument("-h", "--help", action="store_true", help="show this help and exit")
    device = parser.add_argument_group("device lookup (--os asks for a lookup)")
    device.add_argument("--os", help="operating system of the device, e.g. vennu")
    device.add_argument("--series", help="series within the OS, e.g. zq4 (needs --os)")
    device.add_argument("--model", help="model within the series (needs --os and --series)")
    device.add_argument(
        "--chassis-type", metavar="TYPE",
        help="single_rp (the default), dual_rp or stack (needs --os)",
    )
    parser.add_argument(
        "--json", action="store_true",
        help="print the tree, the answer or the error as JSON on stdout",
    )
    parser.add_argument(
        "-k", "--keep-going", action="store_true",
        help="when a plugin fails to load, report it on stderr, load the others, "
        "answer, and exit with status 1",
    )
    parser.add_argument(
        "-v", "--verbose", action="store_true",
        help="show the library's debug lines (logger 'mirtal') on stderr",
    )
    parser.add_argument("--version", action="store_true", help="show the version and exit")
    return parser


def parse(parser, argv):
    args = parser.parse_args(argv)
    if args.os is None:
        given = [name for name in ("series", "model", "chassis_type")
                 if getattr(args, name) is not None]
        if given:
            raise UsageError(f"--{given[0].replace('_', '-')} needs --os")
    return args


# Loading plugins ---------------------------------------------------------------------------------


def load_builtin_plugins(manager, failed):
    try:
        manager.discover_builtin_plugins()
    except Exception as error:
        failed(PluginLoadError(error))


def load_external_plugins(failed):
    """The loop of discover_external_plugins, with each failure handed to `failed`.

    The entry points come from the extension's own globals, so a rebinding of iter_entry_points
    or ENTRYPOINT_GROUP reaches the command line as it reaches the library.
    """
    entry_points = pluginmanager.iter_entry_points(group=pluginmanager.ENTRYPOINT_GROUP)
    for plugin in entry_points:
        try:
            pluginmanager.log.debug(
                "Loading external plugin " + str(plugin.name) + " from " + str(plugin.module_name)
            )
            plugin.load()
        except Exception as error:
            failed(PluginLoadError(error, plugin))


def load_plugins(manager, keep_going, failures):
    """Both discoveries. A failure is raised, or with keep_going reported and added to failures."""

    def failed(error):
        if not keep_going:
            raise error
        report(error)
        failures.append(error)

    load_builtin_plugins(manager, failed)
    load_external_plugins(failed)


# Answers -----------------------------------------------------------------------------------------


def qualified_name(obj):
    module = getattr(obj, "__module__", None)
    name = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    return f"{module}.{name}" if module and name else repr(obj)


def json_key(key):
    """A tree key as JSON; distinct keys never share a representation.

    Text as a string, None, booleans and finite numbers as themselves, tuples as arrays of such
    keys, anything else as {"type": ..., "repr": ...}.
    """
    if key is None or isinstance(key, (str, bool, int)):
        return key
    if isinstance(key, float) and math.isfinite(key):
        return key
    if isinstance(key, tuple):
        return [json_key(item) for item in key]
    return {"type": type(key).__qualname__, "repr": repr(key)}


def ordered(mapping):
    """Items in the order of the text tree (print_tree): sorted by key when every key is a str,
    otherwise by the keys' str() texts, keys of equal text keeping their order."""
    keys = list(mapping.keys())
    if all(isinstance(key, str) for key in keys):
        keys.sort()
    else:
        keys.sort(key=str)
    return [(key, mapping[key]) for key in keys]


def json_node(key, node):
    chassis_map = node.get("data") if isinstance(node, dict) else None
    records = [
        {"chassis_type": json_key(chassis_type), "class": qualified_name(record.get("cls")),
         "file": record.get("path")}
        for chassis_type, record in ordered(chassis_map or {})
    ]
    children = node if isinstance(node, dict) else {}
    return {
        "key": json_key(key),
        "records": records,
        "children": [json_node(k, v) for k, v in ordered(children) if k != "data"],
    }


def tree_as_json(tree):
    # The root holds OS nodes only: an OS called "data" is a child like any other.
    return [json_node(key, node) for key, node in ordered(tree)]


def tree_as_text(manager):
    text = manager.print_tree(manager.plugins, "plugins")
    if not text:
        return "plugins (none registered)"
    return "\n".join(line.rstrip() for line in text.split("\n"))


def lookup(manager, args):
    chassis_type = "single_rp" if args.chassis_type is None else args.chassis_type
    cls = manager.get_plugin(args.os, args.series, args.model, chassis_type)
    # The node that answered: the walk of get_plugin, along the same key path.
    path = [args.os] + [v for v in (args.series, args.model) if v is not None]
    node, reached = manager.plugins, []
    for key in path:
        if not isinstance(node, dict) or key not in node:
            break
        node = node[key]
        reached.append(key)
    return {
        "os": args.os,
        "series": args.series,
        "model": args.model,
        "chassis_type": chassis_type,
        "class": qualified_name(cls),
        "file": node["data"][chassis_type]["path"],
        "node": reached,
    }


# Output ------------------------------------------------------------------------------------------


class OutputError(Exception):
    """Standard output could not be written (a full disk, a closed terminal)."""


def emit(text):
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(error.strerror or error) from error


def emit_json(value):
    # ASCII only: the answer reads the same whatever the terminal's encoding.
    emit(json.dumps(value, indent=2))


def report(error):
    print(f"mirtal: {one_line(error)}", file=sys.stderr, flush=True)


def error_json(error):
    if isinstance(error, PluginLoadError):
        return {"type": "PluginLoadError", "message": str(error), "plugin": error.as_json()}
    return {"type": type(error).__name__, "message": str(error)}


def run(argv, prog):
    wants_json = "--json" in (sys.argv[1:] if argv is None else argv)
    parser = build_parser(prog)
    try:
        args = parse(parser, argv)
    except UsageError as error:
        print(parser.format_usage().rstrip(), file=sys.stderr)
        print(f"{prog}: error: {error}", file=sys.stderr, flush=True)
        if wants_json:
            emit_json({"error": error_json(error)})
        return EXIT_USAGE
    if args.help or args.version:
        emit(parser.format_help().rstrip() if args.help else f"{prog} {mirtal.__version__}")
        return EXIT_OK

    logging.basicConfig(stream=sys.stderr, format="%(levelname)s %(name)s: %(message)s")
    if args.verbose:
        mirtal.log.setLevel(logging.DEBUG)

    manager = mirtal.__plugin_manager__
    failures = []
    result = {}
    try:
        load_plugins(manager, args.keep_going, failures)
        if args.os is not None:
            result["lookup"] = lookup(manager, args)
        elif args.json:
            result["plugins"] = tree_as_json(manager.plugins)
        else:
            text = tree_as_text(manager)
    except (PluginLoadError, ConnectionInfraError) as error:
        report(error)
        result = {"error": error_json(error)}

    if args.json:
        if failures:
            result["load_errors"] = [failure.as_json() for failure in failures]
        emit_json(result)
    elif "lookup" in result:
        answer = result["lookup"]
        emit(f"class: {answer['class']}\nfile:  {answer['file']}\nnode:  "
             + "/".join(map(str, answer["node"])))
    elif "error" not in result:
        emit(text)
    return EXIT_FAILED if failures or "error" in result else EXIT_OK


def silence_stdout():
    """Points stdout at /dev/null, so that the flush at exit finds nothing to complain about."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv=None):
    """The command line; returns the exit status."""
    prog = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "mirtal"
    if prog in ("__main__.py", "-m", "-c"):
        prog = "python -m mirtal"
    # A terminal that cannot show a character gets it escaped, as stderr already does.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        return run(argv, prog)
    except BrokenPipeError:
        # The reader went away (`mirtal | head -1`): end quietly, as a tool killed by SIGPIPE.
        silence_stdout()
        if hasattr(signal, "SIGPIPE"):
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGPIPE)
        return EXIT_FAILED
    except OutputError as error:
        print(f"mirtal: cannot write the output: {error}", file=sys.stderr)
        silence_stdout()
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
