"""Allocation-failure injection: `make nomemory` (any interpreter whose _testcapi has set_nomemory).

Each case is one operation of the extension. It runs once without injection for the reference
outcome, then again and again with the N-th allocation it makes failing (every domain of the
interpreter's allocator: objects, memory and raw), N = 1, 2, 3, ... until a run completes before
the N-th allocation. Every run must end in the reference outcome (a result, or the same exception)
or in MemoryError, and must leave the state the operation works on (the tree, the warning filters)
as the reference run left it, or, after a MemoryError, as it was before (discovery: as after some
of its registrations, each whole). The printout's arrays are in the interpreter's memory too, so
their failures are injected as well (and a large one is tested under an address-space limit in
test_printout.py).

Each case runs in a subprocess of its own, so that a crash is reported (with the allocation that
caused it) and the other cases still run. Prints the count of injected failures per case and in
total; exits with 1 when a case failed or crashed.

    python tests/nomemory.py                 every case
    python tests/nomemory.py --case NAME     one case, in this process
"""

import argparse
import functools
import gc
import importlib
import importlib.util
import json
import os
import py_compile
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


# --- trees and what is compared ------------------------------------------------------------------

def snapshot(value):
    """A tree as nested (key, value) pairs in dict order; other values stand for themselves."""
    if type(value) is dict:
        return tuple((key, snapshot(item)) for key, item in value.items())
    if isinstance(value, type):  # a plugin module imported anew makes its classes anew
        return ("class", value.__module__, value.__qualname__)
    return value


def big_tree(manager, classes, records=2000):
    """`records` registrations spread over OSes, series, models and chassis types."""
    for i in range(records):
        os_name = f"os{i % 16}"
        series = f"s{i % 37}" if i % 3 else None
        model = f"m{i % 11}" if i % 3 == 2 else None
        chassis = ("single_rp", "dual_rp", "stack")[i % 3]
        manager.register_plugin(classes[i % len(classes)], os=os_name, series=series, model=model,
                                chassis_type=chassis)


def copy_tree(value):
    return {k: copy_tree(v) for k, v in value.items()} if type(value) is dict else value


class Label(str):
    """A str subclass as a key: the printout goes the interpreter's way for its level."""


# --- the cases -----------------------------------------------------------------------------------
# Each case is a function returning `prepare`; prepare() sets up one run (outside the injection)
# and returns (operation, state, states_after_failure):
#   operation()            the call under test
#   state()                what the operation may change, comparable with ==
#   states_after_failure   None: after a MemoryError the state must equal the one before the run;
#                          else a list of the states a MemoryError may leave.


def _manager_cases():
    from mirtal.core.pluginmanager import PluginManager

    class Alpha:
        pass

    class Beta:
        pass

    def small():
        manager = PluginManager()
        manager.register_plugin(Alpha, os="vennu")
        manager.register_plugin(Beta, os="vennu", series="zq4", model="m9", chassis_type="dual_rp")
        manager.register_plugin(Alpha, os="brelk", chassis_type="stack")
        return manager

    # Each operation is a bound method called through functools.partial: no Python frame of the
    # harness lies between it and the loop, whose frame object exists beforehand, so that an
    # exception leaving it allocates only its traceback entry (see run_case).
    def on_small(method, *args, **kwargs):
        def prepare():
            manager = small()
            return (functools.partial(getattr(manager, method), *args, **kwargs),
                    lambda: snapshot(manager._plugins), None)
        return prepare

    def tree_replaced():
        # The manager's tree replaced (the old one freed) while a reading of the instance is kept
        # from a call before: the next call must see the new tree, whichever allocation failed.
        manager = small()
        manager.get_plugin(os="vennu")
        tree = {"tarn": {"data": {"single_rp": {"cls": Beta, "path": "p"}}}}

        def state():
            try:
                found = manager.get_plugin(os="tarn")
            except Exception as error:  # noqa: BLE001 - what the lookup gives is the state
                found = type(error).__name__
            return found, snapshot(manager._plugins)
        return (functools.partial(setattr, manager, "_plugins", tree), state, None)

    big = PluginManager()
    big_tree(big, [Alpha, Beta])
    mixed = PluginManager()
    mixed.register_plugin(Alpha, os="vennu", series="zq4")
    mixed.register_plugin(Beta, os="vennu", model="")  # a node keyed None
    mixed._plugins[("tuple", "os")] = {"data": {"single_rp": {"cls": Alpha, "path": "p"}}}
    mixed._plugins[Label("labelled")] = {"data": {"stack": {"cls": Beta, "path": "q"}}}

    def on_tree(manager, operation):
        # The operation only reads the tree: the live tree is compared with its copy (in C).
        copy = copy_tree(manager._plugins)

        def prepare():
            return operation, (lambda: manager._plugins == copy), None
        return prepare

    return {
        "get_plugin hit": on_small(
            "get_plugin", os="vennu", series="zq4", model="m9", chassis_type="dual_rp"),
        "get_plugin miss": on_small(
            "get_plugin", os="vennu", series="zq5", model="m1", chassis_type="stack"),
        "register_plugin new nodes": on_small(
            "register_plugin", Beta, os="tarn", series="x1", model="m2"),
        "register_plugin existing node": on_small(
            "register_plugin", Beta, os="vennu", chassis_type="stack"),
        "unregister_plugin": on_small(
            "unregister_plugin", os="vennu", series="zq4", model="m9", chassis_type="dual_rp"),
        "unregister_plugin miss": on_small(
            "unregister_plugin", os="vennu", series="zq4", chassis_type="stack"),
        "validate_arguments": on_small("validate_arguments", "quilos", "zq4", "m9", "single_rp"),
        "validate_arguments rejected": on_small(
            "validate_arguments", "vennu", "zq4", "M9", "single_rp"),
        "tree replaced, then a lookup": lambda: tree_replaced(),
        "print_tree 2000 records": on_tree(
            big, functools.partial(big.print_tree, big._plugins, "plugins")),
        "repr 2000 records": on_tree(big, functools.partial(repr, big)),
        "print_tree mixed keys": on_tree(
            mixed, functools.partial(mixed.print_tree, mixed._plugins, "plugins")),
    }


def sourceless(path):
    """Leaves only the module's byte code beside it: importing it then compiles nothing (the
    compiler's own allocation failures are not what is tested here)."""
    py_compile.compile(path, cfile=path + "c", doraise=True)
    os.remove(path)


def _forget_modules(prefix):
    for name in [n for n in sys.modules if n == prefix or n.startswith(prefix + ".")]:
        del sys.modules[name]


class _Recorder:
    """Stands for the shared manager in the reference run: the tree after each registration."""

    def __init__(self, manager, states):
        self._manager, self._states = manager, states

    def register_plugin(self, *args, **kwargs):
        self._manager.register_plugin(*args, **kwargs)
        self._states.append(snapshot(self._manager._plugins))


def _discovery(method, forget, keep=()):
    import mirtal

    shared = mirtal.__plugin_manager__
    states = [()]
    kept = {name: sys.modules[name] for name in keep}

    def reset():
        shared._plugins = {}
        for prefix in forget:
            _forget_modules(prefix)
        sys.modules.update(kept)
        importlib.invalidate_caches()
        gc.collect()

    # The states a failed discovery may leave: the tree after each of its registrations.
    reset()
    mirtal.__plugin_manager__ = _Recorder(shared, states)
    try:
        getattr(shared, method)()
    finally:
        mirtal.__plugin_manager__ = shared

    def prepare():
        reset()
        return getattr(shared, method), (lambda: snapshot(shared._plugins)), states
    return prepare


def case_discover_builtin():
    # The plugin package and its plugin modules are imported anew each run; mirtal.plugins.base,
    # the plain base class they share, stays imported: on 3.15 the interpreter itself crashes when
    # an allocation of its class statement fails (reproduced in plain Python, without this module
    # loaded). Every plugin module's own class statements still run under the injection.
    import mirtal.plugins.base  # noqa: F401

    return _discovery("discover_builtin_plugins", ["mirtal.plugins.brelk", "mirtal.plugins.vennu",
                                                   "mirtal.plugins"], keep=["mirtal.plugins.base"])


EXTERNAL_MODULE = """\
from mirtal import __plugin_manager__
class External:
    pass
__plugin_manager__.register_plugin(External, os="nomemory_os", series="s1")
"""


def case_discover_external():
    import pkg_resources

    site = tempfile.mkdtemp(prefix="mirtal-nomemory-")
    with open(os.path.join(site, "nomemory_plugin.py"), "w") as f:
        f.write(EXTERNAL_MODULE)
    sourceless(os.path.join(site, "nomemory_plugin.py"))
    info = os.path.join(site, "nomemory_plugin-1.0.dist-info")
    os.mkdir(info)
    with open(os.path.join(info, "METADATA"), "w") as f:
        f.write("Metadata-Version: 2.1\nName: nomemory-plugin\nVersion: 1.0\n")
    with open(os.path.join(info, "entry_points.txt"), "w") as f:
        f.write("[mirtal.plugins]\nnomemory = nomemory_plugin\n")
    sys.path.insert(0, site)
    pkg_resources.working_set.add_entry(site)
    return _discovery("discover_external_plugins", ["nomemory_plugin"])


def _filters():
    import warnings

    current = warnings._get_filters() if hasattr(warnings, "_get_filters") else warnings.filters
    return [repr(f) for f in current]


def _import_case(fresh_pkg_resources):
    """A new module object of the extension, executed (what an import does, minus sys.modules)."""
    spec = importlib.util.find_spec("mirtal.core.pluginmanager")
    if fresh_pkg_resources:
        # pkg_resources imported anew each run: a small stand-in that warns as the deprecating
        # releases do and installs a filter, so that the filter of ours goes in and out around it.
        site = tempfile.mkdtemp(prefix="mirtal-nomemory-")
        with open(os.path.join(site, "pkg_resources.py"), "w") as f:
            f.write("import warnings\n"
                    "warnings.warn('pkg_resources is deprecated as an API. See the docs.',\n"
                    "              UserWarning, stacklevel=2)\n"
                    "warnings.filterwarnings('ignore', category=BytesWarning, append=True)\n"
                    "def iter_entry_points(group, name=None):\n"
                    "    return iter(())\n")
        sourceless(os.path.join(site, "pkg_resources.py"))
        sys.path.insert(0, site)
        import warnings

        stand_in_filter = ("ignore", None, BytesWarning, None, 0)

    def prepare():
        if fresh_pkg_resources:
            sys.modules.pop("pkg_resources", None)
            importlib.invalidate_caches()
            while stand_in_filter in warnings.filters:
                warnings.filters.remove(stand_in_filter)
            warnings._filters_mutated()
        gc.collect()
        before = _filters()

        def run():
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            return sorted(n for n in vars(module) if not n.startswith("__"))

        def state():
            # Our filter never stays; the stand-in's filter is there when it was imported.
            return [f for f in _filters() if "BytesWarning" not in f] == \
                [f for f in before if "BytesWarning" not in f]
        return run, state, None
    return prepare


def case_import():
    return _import_case(False)


def case_import_fresh_pkg_resources():
    return _import_case(True)


def all_cases():
    cases = {"import": case_import,
             "import, pkg_resources imported anew": case_import_fresh_pkg_resources}
    for name in _manager_cases():
        cases[name] = (lambda name=name: _manager_cases()[name])
    # On 3.13.18 the interpreter itself crashes when an allocation of pkgutil.walk_packages fails
    # (so does the plain-Python module there; 3.13.0 does not): that case is the interpreter's.
    if not (3, 13, 18) <= sys.version_info < (3, 14):
        cases["discover_builtin_plugins"] = case_discover_builtin
    cases["discover_external_plugins"] = case_discover_external
    return cases


# --- one case, in this process -------------------------------------------------------------------

def outcome_of(result, error):
    if error is not None:
        return ("raised", type(error).__name__, str(error))
    return ("returned", result)


def chain(error):
    """The exception and those it was raised while handling, innermost last."""
    seen = []
    while error is not None and error not in seen:
        seen.append(error)
        error = error.__context__
    return [f"{type(e).__name__}: {e}" for e in seen]


# Objects taken from the interpreter's free lists once and held for good: what an operation makes
# then comes from the allocator, where the injection reaches it. Each run takes again the few that
# the run before gave back (drained_free_lists).
_HELD_FOR_GOOD = []


def drained_free_lists(size=100):
    held = [{index: None} for index in range(size)] + [[index] for index in range(size)]
    for length in range(1, 8):
        held += [tuple(range(index, index + length)) for index in range(size)]
    return held


# Errors the interpreter makes in its own frames when one of its allocations fails there, with none
# of our code on the C stack: 3.11's evaluation loop and call checks can lose the MemoryError in
# importlib's and warnings' frames. Counted apart, with the frame named, never ours.
INTERPRETER_ERRORS = ("error return without exception set",
                      "returned a result with an exception set")


def interpreter_error(error):
    if type(error) is not SystemError or not str(error).endswith(INTERPRETER_ERRORS):
        return None
    frame = error.__traceback__
    while frame is not None and frame.tb_next is not None:
        frame = frame.tb_next
    where = frame.tb_frame.f_code.co_filename if frame is not None else ""
    import mirtal

    ours = os.path.dirname(mirtal.__file__) + os.sep
    if where == __file__ or where.startswith(ours) or "pluginmanager" in str(error):
        return None
    return where


def run_case(name, progress, cases=None):
    import _testcapi

    prepare = (cases or all_cases())[name]()
    gc.disable()  # the collector's own allocations would move with its timing
    # This frame's frame object, made now: an exception raised into it then allocates nothing but
    # its traceback entry. When that one allocation is the failing one, the interpreter raises
    # MemoryError in this frame with the operation's own exception as its context.
    sys._getframe()

    _HELD_FOR_GOOD.append(drained_free_lists(2100))
    operation, state, allowed = prepare()
    try:
        expected = outcome_of(operation(), None)
    except Exception as e:  # noqa: BLE001  (the reference outcome may be an error)
        expected = outcome_of(None, e)
    expected_state = state()

    counts = {"MemoryError": 0, "lock allocation (RuntimeError)": 0, "reference outcome": 0}
    problems = []
    n = 0
    while True:
        n += 1
        operation, state, allowed = prepare()
        before = state()
        progress(n)
        result = error = None
        reached = False
        held = drained_free_lists()
        _testcapi.set_nomemory(n - 1, n)  # the n-th allocation from here on fails, only that one
        try:
            result = operation()
        except BaseException as e:  # noqa: BLE001
            error = e
        try:
            bytearray(64)  # the first allocation after the operation: fails if it was the n-th
            reached = True
        except MemoryError:
            pass
        _testcapi.remove_mem_hooks()
        del held
        after = state()
        if (isinstance(error, MemoryError) and error.__context__ is not None
                and outcome_of(None, error.__context__) == expected):
            # The operation ended in its own exception; the failing allocation was the traceback
            # entry of this frame, after it.
            break
        where = interpreter_error(error)
        if where is not None:
            counts[f"interpreter's own SystemError in {os.path.basename(where)}"] = \
                counts.get(f"interpreter's own SystemError in {os.path.basename(where)}", 0) + 1
            error = MemoryError(str(error))
            counts["MemoryError"] -= 1
        if isinstance(error, RuntimeError) and str(error).startswith("can't allocate"):
            # The interpreter reports a lock it could not allocate this way (imports, files).
            error = MemoryError(str(error))
            counts["lock allocation (RuntimeError)"] += 1
            counts["MemoryError"] -= 1
        if isinstance(error, MemoryError):
            counts["MemoryError"] += 1
            fine = after in allowed if allowed is not None else after == before
            if not fine:
                problems.append(f"allocation {n}: MemoryError left the state changed")
        else:
            got = outcome_of(result, error)
            if reached:
                counts["reference outcome"] += 1
            if got != expected:
                problems.append(f"allocation {n}: {chain(error) or got!r}, expected {expected!r} "
                                "or MemoryError")
            elif after != expected_state:
                problems.append(f"allocation {n}: the state differs from the reference run's")
        del result, error
        if problems or not reached:
            break
    gc.enable()
    return {"case": name, "injected": n - 1, "counts": counts, "problems": problems}


# --- every case, each in a subprocess ------------------------------------------------------------

def run_all(names):
    import sites  # beside this file

    total = 0
    failed = []
    started = time.monotonic()
    for name in names:
        case_started = time.monotonic()
        with tempfile.TemporaryDirectory() as tmp:
            progress_file = os.path.join(tmp, "progress")
            # Each case sees mirtal and setuptools only, not what else is installed (a plugin
            # distribution would be loaded by external discovery and change what it registers).
            done = subprocess.run(
                [*sites.PYTHON, __file__, "--case", name, "--progress", progress_file],
                capture_output=True, text=True, env=sites.environment())
            last = open(progress_file).read().strip() if os.path.exists(progress_file) else "?"
        lines = done.stdout.strip().splitlines()
        report = json.loads(lines[-1]) if done.returncode == 0 and lines else None
        seconds = time.monotonic() - case_started
        if report is None:
            how = (f"signal {-done.returncode}" if done.returncode < 0
                   else f"exit status {done.returncode}")
            print(f"CRASH {name}: {how} with allocation {last} failing\n{done.stderr[-3000:]}")
            failed.append(name)
            continue
        total += report["injected"]
        counts = ", ".join(f"{v} {k}" for k, v in report["counts"].items())
        status = "FAIL" if report["problems"] else "ok  "
        print(f"{status} {name}: {report['injected']} injected failures ({counts}) "
              f"[{seconds:.1f} s]")
        for problem in report["problems"]:
            print(f"     {problem}")
        if report["problems"]:
            failed.append(name)
        if done.stderr.strip():
            print("     stderr: " + done.stderr.strip()[-2000:].replace("\n", "\n     "))
    print(f"{total} injected allocation failures in {len(names)} operations "
          f"({time.monotonic() - started:.0f} s)")
    if failed:
        print("failed: " + ", ".join(failed))
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case")
    parser.add_argument("--progress")
    args = parser.parse_args()
    try:
        from _testcapi import set_nomemory  # noqa: F401
    except ImportError:
        sys.exit(f"nomemory: {sys.executable} has no _testcapi.set_nomemory")
    sys.path.insert(0, HERE)
    if args.case is None:
        sys.exit(run_all(list(all_cases())))

    def progress(n):
        if args.progress:
            with open(args.progress, "w") as f:
                f.write(str(n))
    report = run_case(args.case, progress)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
