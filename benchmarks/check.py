"""`mirtal --check` against the same load in one process, over many generated distributions.

Generates, in a scratch folder, a copy of the installed package and 300 distributions with one
entry point each (every module registers one class), then times whole commands, each in a fresh
interpreter that sees only that folder and setuptools:

- load: ``python -c "import mirtal; mirtal.load_plugins(...)"``, the load in one process;
- check: ``python -m mirtal --check``, which loads in a child interpreter and reports.

Both are timed from start to end (the check's second interpreter is part of what it costs), by the
wall clock and by the CPU time of the command and its children. The two take turns, in a random
order each round; the medians and their ratios (check / load) are printed, and how many
interpreters the check started. Usage:

    python benchmarks/check.py [--runs N] [--external N] [--json FILE]
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

from load_plugins import generate, in_turns

COMMANDS = {
    "load": ["-c", "import mirtal\nmirtal.load_plugins(on_error=lambda failure: None)\n"
                   "assert len(mirtal.__plugin_manager__.plugins) >= 3\n"],
    "check": ["-m", "mirtal", "--check"],
}

STARTS = """\
from mirtal.check import run_check
outcome = run_check([], [])
assert outcome.ok, outcome.lines
print(outcome.starts)
"""


def environment(site):
    env = dict(os.environ, PYTHONPATH=site)
    for name in ("MIRTAL_EXCLUDE_PLUGINS", "MIRTAL_PREFER", "PYTHONDONTWRITEBYTECODE"):
        env.pop(name, None)
    return env


def run_once(site, way):
    """Wall-clock and CPU seconds of one command, its children included."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-S", *COMMANDS[way]], capture_output=True,
                          text=True, env=environment(site), cwd=site, timeout=300)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"{way} run failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=15, help="runs of each way (default 15)")
    parser.add_argument("--external", type=int, default=300, help="distributions (default 300)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="mirtal-bench-check-") as root:
        site = generate(root, 0, args.external)
        walls, cpus = in_turns(COMMANDS, lambda way: run_once(site, way), args.runs)
        starts = subprocess.run([sys.executable, "-S", "-c", STARTS], capture_output=True,
                                text=True, env=environment(site), cwd=site, timeout=300)
        if starts.returncode != 0:
            raise SystemExit(starts.stderr)
        interpreters = int(starts.stdout.split()[-1])

    medians = {way: statistics.median(values) for way, values in walls.items()}
    cpu_medians = {way: statistics.median(values) for way, values in cpus.items()}
    ratio = medians["check"] / medians["load"]
    cpu_ratio = cpu_medians["check"] / cpu_medians["load"]
    version = "%d.%d.%d" % sys.version_info[:3]
    print(f"CPython {version}: {args.external} distributions, {args.runs} runs each "
          "(whole commands, children included)")
    for way in COMMANDS:
        print(f"  {way:6} wall median {medians[way] * 1e3:8.1f} ms "
              f"(min {min(walls[way]) * 1e3:.1f}), CPU median {cpu_medians[way] * 1e3:8.1f} ms")
    print(f"  check / load: wall {ratio:.2f}, CPU {cpu_ratio:.2f} (at most 2.0 is the target); "
          f"interpreters the check started: {interpreters} (at most 1 is the target)")
    if args.json:
        with open(args.json, "w") as file:
            json.dump({"python": version, "external": args.external, "runs": args.runs,
                       "wall_times": walls, "cpu_times": cpus, "ratio": ratio,
                       "cpu_ratio": cpu_ratio, "interpreters": interpreters}, file, indent=2)


if __name__ == "__main__":
    main()
