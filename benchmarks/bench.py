"""Nanoseconds per call of the extension beside two baselines: the plain-Python manager of
baseline.py, and the same file compiled with Cython (build_cython.py; make bench builds it).

All three run the same statement on the same data in the same process, repeats interleaved, so the
ratios hold even on a busy machine where the absolute numbers do not. Before anything is timed,
each case is run once on each and the results, exceptions, messages, debug lines and texts must
agree.

    python benchmarks/bench.py [--quick] [--json PATH] [--cython-dir DIR]
"""

import argparse
import functools
import hashlib
import importlib
import importlib.machinery
import inspect
import json
import logging
import os
import platform
import re
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass, field

import baseline
from mirtal.core import pluginmanager
from mirtal.core.errors import ConnectionInfraError

IMPLS = ("C++", "Python", "Cython")
BENCHMARKS = os.path.dirname(os.path.abspath(__file__))
# Where make bench builds the Cython baseline for this interpreter.
CYTHON_DIR = os.path.join(os.path.dirname(BENCHMARKS), "build",
                          "bench-cython-%d.%d" % sys.version_info[:2])


class OsConnection:
    pass


class SeriesConnection:
    pass


class ModelConnection:
    pass


class LateOsConnection:
    pass


class UnlistedOsConnection:
    pass


class QuilosConnection:
    pass


class Series(str):
    pass


def populate(manager):
    manager.register_plugin(OsConnection, os="vennu")
    manager.register_plugin(SeriesConnection, os="vennu", series="zq4")
    manager.register_plugin(ModelConnection, os="vennu", series="zq4", model="m1")
    manager.register_plugin(LateOsConnection, os="dravo")
    manager.register_plugin(UnlistedOsConnection, os="newos")
    manager.register_plugin(QuilosConnection, os="quilos", chassis_type="line_card")
    return manager


def populate_records(manager, count):
    """`count` records at model depth, spread over every listed OS, five models per series."""
    oses = manager.supported_os
    classes = (OsConnection, SeriesConnection, ModelConnection)
    for i in range(count):
        manager.register_plugin(
            classes[i % 3],
            os=oses[i % len(oses)],
            series="s%d" % (i // (len(oses) * 5)),
            model="m%d" % (i // len(oses) % 5),
            chassis_type=manager.chassis_type_list[i % 2],
        )
    return manager


@dataclass
class Case:
    key: str
    label: str
    stmt: str
    setup: str = "m = _m"
    # The targets this case is held to: least speed-up over plain Python and over its Cython
    # build, largest multiple of the floor.
    min_speedup: float | None = None
    min_speedup_cython: float | None = None
    max_floor: float | None = None
    # The most calls one repeat may make (the new-node case runs out of fresh names).
    max_number: int = 10**7
    # 3: C++ and both baselines; 2: C++ and plain Python; 1: C++ only (the floor and the loop).
    impls: int = 3
    # Implementations that take seconds per call here: timed by one call, and not in a quick run.
    once: tuple = ()
    results: dict = field(default_factory=dict)


HIT = "m.get_plugin"
NEW_NODE_NAMES = 300_000

CASES = [
    Case("hit_os_pos", "get_plugin hit, OS depth, positional", f'{HIT}("vennu")', min_speedup=5,
         min_speedup_cython=3, max_floor=3),
    Case("hit_os_kw", "get_plugin hit, OS depth, keywords", f'{HIT}(os="vennu")'),
    Case("hit_series_pos", "get_plugin hit, series depth, positional", f'{HIT}("vennu", "zq4")'),
    Case("hit_series_kw", "get_plugin hit, series depth, keywords",
         f'{HIT}(os="vennu", series="zq4")', min_speedup=5, min_speedup_cython=3, max_floor=3),
    Case("hit_model_pos", "get_plugin hit, model depth, positional",
         f'{HIT}("vennu", "zq4", "m1")', min_speedup=5, min_speedup_cython=3, max_floor=3),
    Case("hit_model_kw", "get_plugin hit, model depth, keywords",
         f'{HIT}(os="vennu", series="zq4", model="m1")'),
    Case("hit_late_os", "get_plugin hit, last OS of supported_os", f'{HIT}(os="dravo")'),
    # Two managers in turn (two calls per statement): no more per call than one manager.
    Case("hit_alternating", "get_plugin hit, two managers in turn (2 calls)",
         f'{HIT}("vennu", "zq4"); m2.get_plugin("vennu", "zq4")',
         setup="m = _m; m2 = populate(_new())"),
    Case("hit_unlisted_os", "get_plugin hit, unlisted OS (debug off)", f'{HIT}(os="newos")'),
    Case("hit_quilos", "get_plugin hit, quilos, unlisted chassis",
         f'{HIT}(os="quilos", chassis_type="line_card")'),
    Case("hit_str_subclass", "get_plugin hit, str subclass as series",
         f"{HIT}(os=\"vennu\", series=series)", setup="m = _m; series = Series('zq4')"),
    Case("miss", "get_plugin miss, raise and catch",
         f'try:\n    {HIT}(os="vennu", series="zq4", chassis_type="dual_rp")\n'
         "except ConnectionInfraError:\n    pass", min_speedup=3, min_speedup_cython=2.5),
    Case("validate_arguments", "validate_arguments",
         'm.validate_arguments("vennu", "zq4", "m1", "single_rp")', min_speedup=6,
         min_speedup_cython=4),
    Case("register_new", "register_plugin, new node",
         'm.register_plugin(SeriesConnection, os="vennu", series=fresh())',
         setup="m = _new(); fresh = iter(new_names()).__next__", max_number=NEW_NODE_NAMES),
    Case("register_replace", "register_plugin, replace",
         'm.register_plugin(SeriesConnection, os="vennu", series="zq4")'),
    Case("unregister_register", "unregister_plugin + register_plugin",
         'm.unregister_plugin(os="vennu", series="zq4", chassis_type="single_rp")\n'
         'm.register_plugin(SeriesConnection, os="vennu", series="zq4")'),
    Case("print_tree_2k", "print_tree, 2,000 records", "m.print_tree(tree)",
         setup="m = _m; tree = TREE_2K", min_speedup=8),
    # Compiled by Cython, `output += ...` is a generic in-place add, which makes a new str every
    # time (the interpreter appends in place to a str nothing else refers to): the printout's time
    # grows with the square of its length, some seconds per call at 20,000 records.
    Case("print_tree_20k", "print_tree, 20,000 records", "m.print_tree(tree)",
         setup="m = _m; tree = TREE_20K", min_speedup=8, once=("Cython",)),
    Case("repr_2k", "repr, 2,000 records", "repr(m)", setup="m = _m2k", min_speedup=8),
    # The same printout below a header line: Cython's seconds are not spent twice.
    Case("repr_20k", "repr, 20,000 records", "repr(m)", setup="m = _m20k", min_speedup=8,
         impls=2),
]

# The floor: the bare nested subscript of a series-depth hit; and the timing loop's own cost.
FLOOR = Case("floor", 'tree[os][series]["data"][chassis]["cls"]',
             'tree["vennu"]["zq4"]["data"]["single_rp"]["cls"]', setup="tree = _m._plugins",
             impls=1)
LOOP = Case("loop", "empty statement (timing loop)", "pass", setup="", impls=1)

# What each case's cross-check runs: the statement as one call whose outcome is compared, and the
# tree afterwards for the writers.
CHECKS = {
    "hit_os_pos": lambda ns: ns["_m"].get_plugin("vennu"),
    "hit_os_kw": lambda ns: ns["_m"].get_plugin(os="vennu"),
    "hit_series_pos": lambda ns: ns["_m"].get_plugin("vennu", "zq4"),
    "hit_series_kw": lambda ns: ns["_m"].get_plugin(os="vennu", series="zq4"),
    "hit_model_pos": lambda ns: ns["_m"].get_plugin("vennu", "zq4", "m1"),
    "hit_model_kw": lambda ns: ns["_m"].get_plugin(os="vennu", series="zq4", model="m1"),
    "hit_late_os": lambda ns: ns["_m"].get_plugin(os="dravo"),
    "hit_alternating": lambda ns: (ns["_m"].get_plugin("vennu", "zq4"),
                                   populate(ns["_new"]()).get_plugin("vennu", "zq4")),
    "hit_unlisted_os": lambda ns: ns["_m"].get_plugin(os="newos"),
    "hit_quilos": lambda ns: ns["_m"].get_plugin(os="quilos", chassis_type="line_card"),
    "hit_str_subclass": lambda ns: ns["_m"].get_plugin(os="vennu", series=Series("zq4")),
    "miss": lambda ns: ns["_m"].get_plugin(os="vennu", series="zq4", chassis_type="dual_rp"),
    "validate_arguments": lambda ns: ns["_m"].validate_arguments("vennu", "zq4", "m1", "single_rp"),
    "register_new": lambda ns: registered(
        ns["_new"](), lambda m: m.register_plugin(SeriesConnection, os="vennu", series="s1")),
    "register_replace": lambda ns: registered(
        populate(ns["_new"]()),
        lambda m: m.register_plugin(SeriesConnection, os="vennu", series="zq4")),
    "unregister_register": lambda ns: registered(
        populate(ns["_new"]()),
        lambda m: (m.unregister_plugin(os="vennu", series="zq4", chassis_type="single_rp"),
                   m.register_plugin(SeriesConnection, os="vennu", series="zq4"))),
    "print_tree_2k": lambda ns: ns["_m"].print_tree(ns["TREE_2K"]),
    "print_tree_20k": lambda ns: ns["_m"].print_tree(ns["TREE_20K"]),
    "repr_2k": lambda ns: without_header(repr(ns["_m2k"])),
    "repr_20k": lambda ns: without_header(repr(ns["_m20k"])),
}

# Calls whose outcome must agree too, beyond the timed cases: every message on the timed paths.
EXTRA_CHECKS = [
    lambda m: m.get_plugin(os="tarn", series="x9", model="m2", chassis_type="stack"),
    lambda m: m.get_plugin(os="vennu", series="zq4", model="", chassis_type="single_rp"),
    lambda m: m.get_plugin(os="vennu", series=Series("ZQ4")),
    lambda m: m.get_plugin(os="vennu", series="data"),
    lambda m: m.get_plugin(os="vennu", series="zq4", model="M1"),
    lambda m: m.get_plugin(os=None),
    lambda m: m.get_plugin(os="vennu", chassis_type="quad"),
    lambda m: m.get_plugin(os=("a", "b"), chassis_type="single_rp"),
    lambda m: m.unregister_plugin(os="vennu", chassis_type=("a", "b")),
    lambda m: m.print_tree({None: 1, "b": {}, "a": "x\ny", ("t",): [1, 2]}),
    lambda m: m.print_tree(5),
]

# Calls that fail in argument binding, and the signatures. C++ must agree with Python exactly;
# Cython words these TypeErrors its own way whatever the directives (the exception type and all the
# rest agree), so for it the texts are only reported.
BINDING_CHECKS = [
    lambda m: m.get_plugin(bogus=1),
    lambda m: m.get_plugin("vennu", os="vennu"),
    lambda m: m.get_plugin("vennu", "zq4", "m1", "single_rp", "extra"),
    lambda m: m.get_plugin(os="vennu", **{"5": 1}),
    lambda m: m.validate_arguments("vennu"),
    lambda m: m.validate_os(),
    lambda m: m.validate_os("vennu", "zq4"),
    lambda m: m.register_plugin(),
    lambda m: m.unregister_plugin(os="vennu", chassis="single_rp"),
    lambda m: m.print_tree({}, data={}),
    lambda m: type(m)(None),
    lambda m: [str(inspect.signature(getattr(m, name))) for name in (
        "get_plugin", "register_plugin", "unregister_plugin", "validate_arguments", "validate_os",
        "validate_series", "validate_model", "validate_chassis_type", "print_tree")],
]


@functools.cache
def new_names():
    """Series names for registrations that each make a new node."""
    return ["s%d" % i for i in range(NEW_NODE_NAMES)]


def registered(manager, action):
    return outcome(action, manager), manager._plugins


def without_header(text):
    """repr with the class and the address in its header replaced, which differ between the two."""
    return re.sub(r"\Aplugins \(<class '[\w.]+'> at 0x[0-9a-f]+\) ", "plugins (HEADER) ", text)


class Captured(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


def outcome(action, *args):
    """What a call did: its result or its exception, and the debug lines it wrote."""
    log = logging.getLogger("mirtal")
    captured = Captured()
    log.addHandler(captured)
    saved_level = log.level
    log.setLevel(logging.DEBUG)
    try:
        try:
            return ("returned", action(*args), captured.lines)
        except Exception as error:  # noqa: BLE001  (the exception is what is compared)
            return ("raised", type(error), error.args, captured.lines)
    finally:
        log.setLevel(saved_level)
        log.removeHandler(captured)


def load_cython(directory):
    """baseline.py as compiled by build_cython.py into `directory`, checked to be that build."""
    sys.path.insert(0, os.path.abspath(directory))
    try:
        module = importlib.import_module("baseline_cython")
    except ImportError as error:
        sys.exit(f"no Cython build of baseline.py in {directory} ({error}); make bench builds it, "
                 f"or: python benchmarks/build_cython.py {directory}")
    finally:
        del sys.path[0]
    if os.path.dirname(module.__file__) != os.path.abspath(directory) or \
            not module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        sys.exit(f"{module.__file__} is not a compiled module: make bench rebuilds it")
    with open(os.path.join(directory, "stamp.json")) as stamp:
        built = json.load(stamp)
    with open(baseline.__file__, "rb") as source:
        if built["source_sha256"] != hashlib.sha256(source.read()).hexdigest():
            sys.exit(f"the Cython build in {directory} is of an older baseline.py: make bench "
                     "rebuilds it")
    module.CYTHON_VERSION = built["cython"]
    return module


def namespaces(modules, large_trees=True):
    """One namespace per implementation (modules in the order of IMPLS), holding the same data
    built the same way."""
    spaces = []
    sizes = (2_000, 20_000) if large_trees else (0, 0)
    tree_2k, tree_20k = (populate_records(pluginmanager.PluginManager(), n)._plugins for n in sizes)
    for module in modules:
        spaces.append({
            "_m": populate(module.PluginManager()),
            "_new": module.PluginManager,
            "_m2k": populate_records(module.PluginManager(), sizes[0]),
            "_m20k": populate_records(module.PluginManager(), sizes[1]),
            "TREE_2K": tree_2k,
            "TREE_20K": tree_20k,
            "new_names": new_names,
            "Series": Series,
            "SeriesConnection": SeriesConnection,
            "populate": populate,
            "ConnectionInfraError": ConnectionInfraError,
        })
    return spaces


def disagreement(name, got):
    return f"{name}:" + "".join(f"\n  {impl + ':':<8}{one!r:.600}" for impl, one in zip(IMPLS, got))


def cross_check(spaces):
    """Every case and extra call must give the same outcome with all implementations.

    Returns how many calls were compared, and the argument-binding calls whose TypeError Cython
    words differently (everything else of theirs agrees).
    """
    problems, worded = [], []
    cases = {case.key: case for case in CASES}
    for key, check in CHECKS.items():
        # An implementation that takes seconds here is checked on the same code at 2,000 records.
        untimed = cases[key].once + IMPLS[cases[key].impls:]
        got = [outcome(check, ns) if impl not in untimed else None
               for impl, ns in zip(IMPLS, spaces)]
        if any(one not in (got[1], None) for one in got):
            problems.append(disagreement(key, got))
    for i, check in enumerate(EXTRA_CHECKS):
        got = [outcome(check, populate(ns["_new"]())) for ns in spaces]
        if any(one != got[1] for one in got):
            problems.append(disagreement(f"extra #{i}", got))
    for i, check in enumerate(BINDING_CHECKS):
        got = [outcome(check, populate(ns["_new"]())) for ns in spaces]
        cpp, python, cython = got
        if cpp != python:
            problems.append(disagreement(f"binding #{i}", got))
        elif cython != python:
            if (cython[0] == python[0] == "raised" and cython[1] is python[1] is TypeError
                    and cython[3] == python[3]):
                worded.append((python[2][0], cython[2][0]))
            else:
                problems.append(disagreement(f"binding #{i}", got))
    if problems:
        sys.exit("The implementations disagree:\n" + "\n".join(problems))
    return len(CHECKS) + len(EXTRA_CHECKS) + len(BINDING_CHECKS), worded


def calibrate(timer, budget, most):
    """The number of calls that make one repeat last about `budget` seconds, and one call's time."""
    number = 1
    while True:
        took = timer.timeit(number)
        if took >= budget / 10 or number >= most:
            break
        number = min(number * 10, most)
    return max(1, min(most, int(number * budget / max(took, 1e-9)))), took / number


def measure(cases, spaces, repeats, budget, quick=False):
    """ns per call of every case, for each implementation (one namespace each).

    Many short repeats and the best of each: a repeat that the scheduler interrupted is simply
    not the best. The repeats go round all cases and all implementations in turn (each round
    starting with another implementation), so that a busy spell of the machine spoils one repeat
    of many cases rather than every repeat of one. Calls that alone outlast several budgets (the
    large printouts) are repeated every third round; a case's `once` implementations are timed by
    one call in the first round (in a quick run not at all: their results are None).
    """
    plans = []
    for case in cases:
        impls = IMPLS[: case.impls]
        timers = [timeit.Timer(case.stmt, case.setup, globals=ns) for ns in spaces[: case.impls]]
        numbers, call_times = [], []
        for impl, timer in zip(impls, timers):
            number, call_time = (0 if quick else 1, 0) if impl in case.once else \
                calibrate(timer, budget, case.max_number)
            numbers.append(number)
            call_times.append(call_time)
        every = 3 if max(call_times) > 3 * budget else 1
        plans.append((case, impls, timers, numbers, every, [[] for _ in timers]))
    for round_ in range(repeats):
        for case, impls, timers, numbers, every, samples in plans:
            if round_ % every:
                continue
            for i in range(len(timers)):
                i = (i + round_) % len(timers)
                if impls[i] in case.once and (round_ or not numbers[i]):
                    continue
                samples[i].append(timers[i].timeit(numbers[i]) / numbers[i] * 1e9)
    for case, impls, _, _, _, samples in plans:
        for impl, sample in zip(impls, samples):
            case.results[impl] = {
                "best": min(sample),
                "median": statistics.median(sample),
                "samples": sample,
            } if sample else None


IMPORT_AFTER_PKG_RESOURCES = """
import time
import pkg_resources
start = time.perf_counter()
import mirtal.core.pluginmanager
print(time.perf_counter() - start)
"""


def import_costs(repeats):
    """What importing the module costs, each time in a fresh interpreter.

    Beside the wall-clock time of importing pkg_resources and of importing the module (its own
    imports, pkg_resources among them, included), the precise figure: the time the module takes
    once pkg_resources is imported, and the extension's own initialisation (-X importtime, self).
    """
    commands = {
        "nothing": "pass",
        "pkg_resources": "import pkg_resources",
        "mirtal.core.pluginmanager": "import mirtal.core.pluginmanager",
    }
    walls = {name: [] for name in commands}
    beyond, own = [], []
    for _ in range(repeats):
        for name, code in commands.items():
            start = time.perf_counter()
            subprocess.run([sys.executable, "-c", code], check=True, capture_output=True)
            walls[name].append(time.perf_counter() - start)
        run = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", IMPORT_AFTER_PKG_RESOURCES],
            check=True, capture_output=True, text=True,
        )
        beyond.append(float(run.stdout))
        for line in run.stderr.splitlines():
            parts = line.split("|")
            if len(parts) == 3 and parts[2].strip() == "mirtal.core.pluginmanager":
                own.append(int(parts[0].split(":")[1]) / 1000)
                break
    best = {name: min(times) * 1000 for name, times in walls.items()}
    return {
        "interpreter_ms": best["nothing"],
        "pkg_resources_ms": best["pkg_resources"] - best["nothing"],
        "module_ms": best["mirtal.core.pluginmanager"] - best["nothing"],
        "module_beyond_pkg_resources_ms": min(beyond) * 1000,
        "extension_init_ms": min(own) if own else None,
    }


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "system": platform.platform(),
    }


def verdict(ok):
    return "met" if ok else "NOT MET"


def target(name, value, at_least=None, at_most=None):
    met = value >= at_least if at_least is not None else value <= at_most
    return {"name": name, "value": value, "at_least": at_least, "at_most": at_most, "met": met}


def target_text(one):
    bound = f">={one['at_least']:g}" if one["at_least"] is not None else f"<={one['at_most']:g}"
    return f"{one['name']} {bound} {verdict(one['met'])}"


def evaluate(cases, floor):
    """Each case's ratios and its targets, met or not; and how the printouts grow."""
    floor_ns = floor.results["C++"]["best"]
    rows = {}
    for case in cases:
        best = {impl: case.results.get(impl) and case.results[impl]["best"] for impl in IMPLS}
        speedup = {impl: best[impl] and best[impl] / best["C++"] for impl in IMPLS[1:]}
        per_floor = best["C++"] / floor_ns
        targets = []
        if case.min_speedup:
            targets.append(target("Python/C++", speedup["Python"], at_least=case.min_speedup))
        if case.min_speedup_cython:
            targets.append(target("Cython/C++", speedup["Cython"],
                                  at_least=case.min_speedup_cython))
        if case.max_floor:
            targets.append(target("C++/floor", per_floor, at_most=case.max_floor))
        rows[case.key] = {
            "label": case.label,
            **{impl: case.results.get(impl) for impl in IMPLS},
            "speedup": speedup,
            "per_floor": per_floor if case.key.startswith("hit") else None,
            "targets": targets,
        }
    growth = {}
    for what in ("print_tree", "repr"):
        small, large = rows[f"{what}_2k"], rows[f"{what}_20k"]
        ratios = {impl: large[impl] and large[impl]["best"] / small[impl]["best"]
                  for impl in IMPLS}
        growth[what] = {**ratios, "target": target("C++ 20k/2k", ratios["C++"], at_most=11)}
    return rows, growth


def report(rows, growth, floor, loop, imports, info, repeats, import_repeats, cython_version):
    floor_ns = floor.results["C++"]["best"]
    lines = [
        f"Python {info['python']} on {info['cpu']} ({info['cores']} cores), {info['system']}",
        f"best of {repeats} interleaved repeats (fewer for the large printouts), ns per call; "
        f"Cython {cython_version} build of baseline.py beside it; speed-ups = baseline / C++ in "
        "the same run",
        "",
        f"{'case':<44}{'C++ ns':>11}{'Python ns':>12}{'Cython ns':>12}{'Py/C++':>9}{'Cy/C++':>9}"
        f"{'/floor':>8}  targets",
    ]
    def number(value, width, spec=",.0f", unit=""):
        if value is None:
            return f"{'-':>{width}}"
        if not unit and value >= 1e6:
            value, spec, unit = value / 1e6, ",.2f", " ms"
        return f"{value:{width - len(unit)}{spec}}{unit}"

    for row in rows.values():
        best = [row[impl] and row[impl]["best"] for impl in IMPLS]
        lines.append(
            f"{row['label']:<44}{number(best[0], 11)}{number(best[1], 12)}{number(best[2], 12)}"
            f"{number(row['speedup']['Python'], 9, '.2f', 'x')}"
            f"{number(row['speedup']['Cython'], 9, '.2f', 'x')}"
            f"{number(row['per_floor'], 8, '.2f', 'x') if row['per_floor'] else ' ' * 8}  "
            + ", ".join(target_text(one) for one in row["targets"])
        )
    lines += [
        f"{'floor: ' + floor.label:<44}{floor_ns:11,.0f}",
        f"{loop.label:<44}{loop.results['C++']['best']:11,.1f}   (included in every row)",
        "",
    ]
    for what, ratios in growth.items():
        lines.append(f"{what}: 20,000 / 2,000 records take {ratios['C++']:.2f}x the time in C++ "
                     f"(target <=11: {verdict(ratios['target']['met'])}), "
                     f"{ratios['Python']:.2f}x in Python"
                     + (f", {ratios['Cython']:.2f}x in Cython" if ratios["Cython"] else ""))
    beyond = imports["module_beyond_pkg_resources_ms"]
    lines += [
        "",
        f"import, fresh interpreter, best of {import_repeats}:",
        f"  import pkg_resources                        {imports['pkg_resources_ms']:8.1f} ms",
        f"  import mirtal.core.pluginmanager            {imports['module_ms']:8.1f} ms",
        f"  (interpreter start-up of {imports['interpreter_ms']:.1f} ms left out of both)",
        f"  the module once pkg_resources is imported   {beyond:8.2f} ms   "
        f"(target <= 1 ms: {verdict(beyond <= 1)})",
    ]
    if imports["extension_init_ms"] is not None:
        lines.append(
            f"  of which the extension's own initialisation {imports['extension_init_ms']:8.2f} ms"
            "   (-X importtime, self)"
        )
    missed = [f"{row['label']}: {target_text(one)} ({one['value']:.2f})"
              for row in rows.values() for one in row["targets"] if not one["met"]]
    lines += ["", "targets: all met" if not missed else "targets NOT MET:", *missed]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="a fast smoke run: fewer, shorter repeats")
    parser.add_argument("--json", metavar="PATH", help="also write the results to PATH as JSON")
    parser.add_argument("--cython-dir", metavar="DIR", default=CYTHON_DIR,
                        help="where build_cython.py put the Cython build of baseline.py "
                             "(default: build/bench-cython-X.Y)")
    args = parser.parse_args()
    repeats, budget, import_repeats = (3, 0.003, 3) if args.quick else (15, 0.01, 7)

    logging.getLogger("mirtal").setLevel(logging.WARNING)  # the debug line goes nowhere
    baseline_cython = load_cython(args.cython_dir)
    spaces = namespaces((pluginmanager, baseline, baseline_cython))
    checked, worded = cross_check(spaces)
    print(f"cross-check: {checked} calls agree between C++, Python and Cython", flush=True)
    if worded:
        python_text, cython_text = worded[0]
        print(f"  except the wording of {len(worded)} argument-binding TypeErrors in Cython, "
              f"e.g. {cython_text!r} for {python_text!r}", flush=True)

    started = time.perf_counter()
    measure([*CASES, FLOOR, LOOP], spaces, repeats, budget, quick=args.quick)
    imports = import_costs(import_repeats)
    info = machine()
    rows, growth = evaluate(CASES, FLOOR)
    print(report(rows, growth, FLOOR, LOOP, imports, info, repeats, import_repeats,
                 baseline_cython.CYTHON_VERSION))
    print(f"\n(timed in {time.perf_counter() - started:.0f} s)")

    if args.json:
        result = {
            "machine": info,
            "cython": baseline_cython.CYTHON_VERSION,
            "date": time.strftime("%Y-%m-%d"),
            "repeats": repeats,
            "quick": args.quick,
            "cases": rows,
            "growth": growth,
            "floor_ns": FLOOR.results["C++"],
            "loop_ns": LOOP.results["C++"],
            "import": imports,
            "cython_binding_wording": [list(pair) for pair in worded],
        }
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as out:
            json.dump(result, out, indent=2)
            out.write("\n")


if __name__ == "__main__":
    main()
