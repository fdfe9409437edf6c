"""Command line of the plugin manager: ``mirtal`` or ``python -m mirtal``.

Without options it discovers the built-in and the external plugins and prints the plugin tree;
with ``--os`` (and optionally ``--series``, ``--model``, ``--chassis-type``) it tells which class
serves that device and which node of the tree answered.
"""

import argparse
import contextlib
import difflib
import json
import logging
import os
import signal
import sys
import types

import mirtal
from mirtal import settings
from mirtal.check import DEFAULT_TIMEOUT, run_check
from mirtal.core.errors import ConnectionInfraError
from mirtal.text import json_key, key_text, one_line, qualified_name, safe_str, shown
from mirtal.tree import DATA, default_chassis_type, key_path, ordered, record, walk

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

EPILOG = """\
examples:
  mirtal                                  the plugin tree
  mirtal --os vennu --series zq4          the class serving a vennu zq4 device
  mirtal --os brelk --chassis-type dual_rp --json
  mirtal --check --json                   what each plugin registered, failed, collided

A lookup walks the key path os/series/model as far as nodes exist; the deepest node reached
alone decides (no fallback to a shallower node, none between chassis types).

Plugins named in the environment variable MIRTAL_EXCLUDE_PLUGINS (comma-separated)
are not loaded, as with --exclude.

--check loads the plugins in a child interpreter: a plugin that exits, crashes or
hangs there (--timeout) is reported as failed, and the others are still checked.

exit status:
  0  success
  1  the library rejected the device (an uppercase series, --model without
     --series, ...) or found no class for it; a plugin failed to load (with
     --keep-going: after the answer); --check found a failure, a conflict, or
     a plugin that tampered with the report, or could not finish; or the
     output could not be written
  2  usage error, found before the plugin manager is asked: an unknown option,
     a missing value, or --series, --model or --chassis-type without --os
  130  interrupted (Ctrl-C); --check still tells what it had learnt"""


class UsageError(Exception):
    """A command line that cannot be acted on (exit status 2)."""


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
        "--check", action="store_true",
        help="load every plugin (carrying on past failures), list the failures and the "
        "conflicts (places that several plugins registered different classes at); "
        "exit with status 1 if there is any",
    )
    parser.add_argument(
        "--timeout", metavar="SECONDS", type=float, default=DEFAULT_TIMEOUT,
        help="with --check: how long one plugin may take to load before it is reported "
        f"as hanging (default {DEFAULT_TIMEOUT:g})",
    )
    parser.add_argument(
        "--traceback", action="store_true",
        help="print the traceback of each plugin that failed to load on stderr",
    )
    parser.add_argument(
        "--exclude", metavar="NAME", action="append", default=[],
        help="do not load this plugin: an entry point's name, a built-in plugin "
        "module's dotted name or dist:DISTRIBUTION (repeatable; else MIRTAL_EXCLUDE_PLUGINS)",
    )
    parser.add_argument(
        "--prefer", metavar="NODE[:CHASSIS]=SOURCE", action="append", default=[],
        help="keep SOURCE's class at that place whatever the load order, and accept its "
        "conflict there (repeatable; else MIRTAL_PREFER)",
    )
    parser.add_argument(
        "-v", "--verbose", action="store_true",
        help="show the library's debug lines (logger 'mirtal') on stderr",
    )
    parser.add_argument("--version", action="store_true", help="show the version and exit")
    return parser


def parse(parser, argv):
    args = parser.parse_args(argv)
    if not args.timeout > 0 or args.timeout != args.timeout or args.timeout == float("inf"):
        raise UsageError(f"--timeout must be a positive number of seconds, not {args.timeout}")
    if args.check and args.os is not None:
        raise UsageError("--check does not take --os")
    try:
        chosen = settings.deployment(args.exclude or None, args.prefer or None,
                                     names=("--exclude", "--prefer"))
    except (settings.SettingsError, TypeError) as error:
        raise UsageError(str(error)) from error
    # The settings as texts, read once: the check's child gets them as they are.
    args.exclude = [selector.text for selector in chosen.exclude]
    args.prefer = [preference.text for preference in chosen.prefer]
    if args.os is None:
        given = [name for name in ("series", "model", "chassis_type")
                 if getattr(args, name) is not None]
        if given:
            raise UsageError(f"--{given[0].replace('_', '-')} needs --os")
    return args


# Loading plugins ---------------------------------------------------------------------------------


@contextlib.contextmanager
def plugin_output_to_stderr():
    """While plugins load, what they write to stdout (through sys.stdout or the descriptor) goes
    to stderr: stdout carries the command's answer only."""
    sys.stdout.flush()
    saved_stream, saved_fd = sys.stdout, os.dup(1)
    os.dup2(2, 1)
    try:
        yield
    finally:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        os.dup2(saved_fd, 1)
        os.close(saved_fd)
        sys.stdout = saved_stream


def load(args):
    """Both discoveries; the load report. A failure is raised, or with -k reported, and the
    other plugins load."""
    from mirtal.loading import load_plugins

    with plugin_output_to_stderr():
        loaded = load_plugins(exclude=args.exclude, prefer=args.prefer,
                              on_error=tell if args.keep_going else "raise")
    warn_unmatched(loaded.unmatched_exclusions, loaded.sources)
    if args.traceback:
        for source in loaded.failures:
            print_traceback(source.error)
    return loaded


def warn_unmatched(names, sources=()):
    for name in names:
        meant = settings.unmatched_hint(name, sources)
        tell(f"warning: no plugin named {name} to exclude"
               + (f" (a distribution is: {meant})" if meant else ""))


def print_traceback(failure):
    trace = failure.traceback() if failure is not None else ""
    if trace:
        print("\n".join(shown(line) for line in trace.rstrip("\n").split("\n")),
              file=sys.stderr, flush=True)


# Answers -----------------------------------------------------------------------------------------


def json_node(key, node):
    chassis_map = node.get(DATA) if isinstance(node, dict) else None
    records = [
        {"chassis_type": json_key(chassis_type), "class": qualified_name(record.get("cls")),
         "file": file_text(record.get("path"))}
        for chassis_type, record in ordered(chassis_map or {})
    ]
    children = node if isinstance(node, dict) else {}
    return {
        "key": json_key(key),
        "records": records,
        "children": [json_node(k, v) for k, v in ordered(children) if not is_data(k)],
    }


def is_data(key):
    return isinstance(key, str) and key_text(key) == DATA


def file_text(path):
    return None if path is None else safe_str(path)


def tree_as_json(tree):
    # The root holds OS nodes only: an OS called "data" is a child like any other.
    return [json_node(key, node) for key, node in ordered(tree)]


def tree_as_text(manager):
    """The manager's print_tree of a copy of the tree whose text keys and leaves are safe to
    show: a key or a class name cannot forge a line or reach the terminal as a control
    sequence."""
    text = manager.print_tree(displayed(manager.plugins), "plugins")
    if not text:
        return "plugins (none registered)"
    return "\n".join(line.rstrip() for line in text.split("\n"))


def displayed(level):
    if not isinstance(level, dict):
        return shown(level)
    return {shown(key) if isinstance(key, str) else key: displayed(value)
            for key, value in level.items()}


def chassis_type_of(args):
    return default_chassis_type() if args.chassis_type is None else args.chassis_type


def lookup_path(args):
    return key_path(args.os, args.series, args.model)


def lookup(manager, args):
    """The class that answers, and the answer as the command line shows it."""
    chassis_type = chassis_type_of(args)
    cls = manager.get_plugin(args.os, args.series, args.model, chassis_type)
    node, reached = walk(manager.plugins, lookup_path(args))
    found = record(node, chassis_type) or {}
    return cls, {
        "os": args.os,
        "series": args.series,
        "model": args.model,
        "chassis_type": chassis_type,
        "class": qualified_name(cls),
        "file": file_text(found.get("path")),
        "node": reached,
    }


def missed(manager, args):
    """Whether a lookup that raised found nothing (rather than rejected the device): its
    arguments pass the manager's checks, and the deepest node of its walk holds no record of
    the chassis type. Decided from the walk, not from the words of the error."""
    try:
        manager.validate_arguments(args.os, args.series, args.model, chassis_type_of(args))
    except ConnectionInfraError:
        return False
    node, _ = walk(manager.plugins, lookup_path(args))
    return record(node, chassis_type_of(args)) is None


def registered_by_failed_plugin(loaded, answer):
    """The failure of the source that registered the class that answered, if that source failed
    after registering it (None otherwise)."""
    for registration in reversed(list(loaded.registrations)):
        if registration.cls is answer and registration.source_failed:
            return registration.source.error
    return None


LEVELS = [("OS", "OSes"), ("series", "series"), ("model", "models")]


def names(node):
    """The text keys of a node's children, sorted (the records' key "data" left out)."""
    return sorted(key_text(k) for k in node if isinstance(k, str) and not is_data(k))


def listed(items, limit=12):
    items = [str(item) for item in items]
    return ", ".join(items[:limit]) + (", ..." if len(items) > limit else "")


def miss_hint(manager, args):
    """What may help after a lookup that found nothing: the deepest node reached, what it holds,
    a close match for a misspelt key, or that no plugin is loaded at all."""
    chassis_type = chassis_type_of(args)
    tree = manager.plugins
    path = lookup_path(args)
    node, reached = walk(tree, path)
    node = node if isinstance(node, dict) else {}
    children = names(node)
    data = node.get(DATA) if reached else None
    chassis_types = sorted(map(key_text, data)) if isinstance(data, dict) else []
    hint = {"node": [json_key(k) for k in reached], "children": children,
            "chassis_types": chassis_types, "suggestion": None, "no_plugins": not tree,
            "text": []}
    if not tree:
        hint["text"].append("no plugins are loaded")
        return hint
    depth = len(reached)
    place = "/".join(map(key_text, reached))
    if depth < len(path):
        level = LEVELS[depth][0]
        missing = path[depth]
        close = difflib.get_close_matches(str(missing), children, n=1)
        text = f"no {level} {missing}" + (f" under {place}" if place else " in the tree")
        if close:
            hint["suggestion"] = {"level": level.lower(), "given": missing, "match": close[0]}
            text += f"; did you mean {close[0]}?"
        hint["text"].append(text)
    if depth == 0:
        hint["text"].append(f"the OSes in the tree: {listed(children)}")
        return hint
    held = f"node {place} answered; it holds "
    held += (f"the chassis types {listed(chassis_types)}" if chassis_types
             else "no chassis type")
    if depth < len(LEVELS) and children:
        held += f", and the {LEVELS[depth][1]} {listed(children)}"
    hint["text"].append(held)
    if chassis_type not in chassis_types and chassis_types:
        close = difflib.get_close_matches(str(chassis_type), chassis_types, n=1)
        if close and hint["suggestion"] is None:
            hint["suggestion"] = {"level": "chassis_type", "given": chassis_type,
                                  "match": close[0]}
    return hint


def check(args):
    """--check: the plugins loaded in a child interpreter; the failures, the conflicts and what
    made the report unsure. Status 0 only when the check finished and found none."""
    outcome = run_check(args.exclude, args.prefer, timeout=args.timeout, verbose=args.verbose)
    if args.traceback:
        for text in outcome.tracebacks:
            print(text, file=sys.stderr, flush=True)
    document = outcome.document
    if document is not None:
        sources = [types.SimpleNamespace(distribution=source.get("distribution"))
                   for source in document.get("sources") or ()]
        warn_unmatched(document.get("unmatched_exclusions") or (), sources)
        if args.json:
            emit_json(document)
        else:
            emit("\n".join(outcome.lines))
        return EXIT_OK if outcome.ok else EXIT_FAILED
    # Not finished: what was learnt, and why it is not a verdict.
    reason = outcome.unfinished or "the check did not finish"
    tell(f"the check did not finish: {reason}")
    if args.json:
        from mirtal.report_format import unfinished_document

        emit_json(unfinished_document(outcome.partial, reason))
    else:
        emit("\n".join([*outcome.partial_lines, f"the check did not finish: {shown(reason)}"]))
    return 128 + signal.SIGINT if outcome.interrupted else EXIT_FAILED


# Output ------------------------------------------------------------------------------------------


class OutputError(Exception):
    """Standard output could not be written (a full disk, a closed terminal)."""


def emit(text):
    try:
        write_out(text + "\n")
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError(error.strerror or error) from error


def write_out(text):
    """Writes to stdout's descriptor until all of it is taken: a reader that goes away in the
    middle of a long text is a broken pipe, never a short write taken for success."""
    stream = sys.stdout
    try:
        fd = stream.fileno()
    except (OSError, ValueError, AttributeError):  # not a file (a caller's own stream)
        stream.write(text)
        stream.flush()
        return
    stream.flush()
    data = memoryview(text.encode(stream.encoding or "utf-8", "backslashreplace"))
    while data:
        data = data[os.write(fd, data):]


def emit_json(value):
    # ASCII only: the answer reads the same whatever the terminal's encoding.
    emit(json.dumps(strict_json(value), indent=2, default=safe_str))


def strict_json(value):
    """The value with every lone surrogate of its texts written as an escape (\\udc80): a
    strict parser rejects them in JSON, escaped or not."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return value.encode("utf-8", "backslashreplace").decode("utf-8")
        return value
    if isinstance(value, dict):
        return {strict_json(key): strict_json(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [strict_json(item) for item in value]
    return value


def tell(error):
    """One line for people on stderr, naming the command, safe to show."""
    if sys.stderr is not None:
        print(f"mirtal: {shown(one_line(error))}", file=sys.stderr, flush=True)


def error_json(error):
    if type(error).__name__ == "PluginLoadError":
        return {"type": "PluginLoadError", "message": str(error), "plugin": error.as_json()}
    return {"type": type(error).__name__, "message": str(error)}


def run(argv, prog):
    wants_json = "--json" in (sys.argv[1:] if argv is None else argv)
    parser = build_parser(prog)
    try:
        args = parse(parser, argv)
    except UsageError as error:
        print(parser.format_usage().rstrip(), file=sys.stderr)
        print(f"{prog}: error: {shown(error)}", file=sys.stderr, flush=True)
        if wants_json:
            emit_json({"error": error_json(error)})
        return EXIT_USAGE
    if args.help or args.version:
        text = parser.format_help().rstrip() if args.help else f"{prog} {mirtal.__version__}"
        if args.json:
            emit_json({"help": text} if args.help else {"version": mirtal.__version__})
        else:
            emit(text)
        return EXIT_OK

    logging.basicConfig(stream=sys.stderr, format="%(levelname)s %(name)s: %(message)s")
    if args.verbose:
        mirtal.log.setLevel(logging.DEBUG)
    if args.check:
        return check(args)

    try:
        # The extension, and pkg_resources with it: the modes below need the manager.
        manager = mirtal.__plugin_manager__
        from mirtal.loading import PluginLoadError
    except ImportError as error:
        tell(error)
        if args.json:
            emit_json({"error": error_json(error)})
        return EXIT_FAILED
    failures = []
    result = {}
    try:
        loaded = load(args)
        failures = [source.error for source in loaded.failures]
        if args.os is not None:
            cls, result["lookup"] = lookup(manager, args)
            from_failed = registered_by_failed_plugin(loaded, cls)
            if from_failed is not None:
                result["lookup"]["registered_by_failed_plugin"] = from_failed.culprit()
                tell(f"warning: {result['lookup']['class']} was registered by "
                     f"{from_failed.source.label}, which then failed to load")
        elif args.json:
            result["plugins"] = tree_as_json(manager.plugins)
        else:
            text = tree_as_text(manager)
    except (PluginLoadError, ConnectionInfraError) as error:
        tell(error)
        result = {"error": error_json(error)}
        if isinstance(error, ConnectionInfraError) and missed(manager, args):
            try:
                result["hint"] = miss_hint(manager, args)
            except Exception as failed:
                tell(f"cannot tell what the tree holds: {type(failed).__name__}: "
                     f"{safe_str(failed)}")
            else:
                for line in result["hint"]["text"]:
                    tell(line)
    except Exception as error:
        # The tree holds what cannot be shown (a key whose hash, order or text fails).
        result = {"error": {"type": type(error).__name__, "message": safe_str(error)}}
        tell(f"cannot show the plugin tree: {type(error).__name__}: {safe_str(error)}")

    if args.json:
        if failures:
            result["load_errors"] = [failure.as_json() for failure in failures]
        emit_json(result)
    elif "lookup" in result:
        answer = result["lookup"]
        emit(f"class: {shown(answer['class'])}\nfile:  {shown(answer['file'])}\nnode:  "
             + shown("/".join(map(key_text, answer["node"]))))
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
    if sys.stdout is None:  # started with stdout closed
        # The descriptor is taken, so that no file or pipe opened later becomes stdout.
        fd = os.open(os.devnull, os.O_WRONLY)
        if fd != 1:
            os.close(fd)
        tell("cannot write the output: standard output is closed")
        return EXIT_FAILED
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


def leave(status):
    """Ends the command with its status. Threads that plugins started and left running are not
    waited for (the interpreter would wait for them at exit, for ever): they are named, and the
    process ends at once."""
    import threading

    left = [thread for thread in threading.enumerate() if thread is not threading.main_thread()
            and not thread.daemon and thread.is_alive()]
    if not left:
        sys.exit(status)
    tell("note: not waiting for the threads that plugins left running: "
         + ", ".join(safe_str(thread.name) for thread in left))
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    os._exit(status)


if __name__ == "__main__":
    leave(main())
