"""Loading many plugins through mirtal.load_plugins against the two discovery methods.

Generates, in a scratch folder, a copy of the installed package with 300 extra built-in plugin
modules and 200 distributions with one entry point each (every module registers one class), then
times, each in a fresh interpreter that sees only that folder and setuptools:

- discovery: discover_builtin_plugins() then discover_external_plugins();
- load: mirtal.load_plugins().

Only the loading is timed, inside the process after `import mirtal`, as the CPU time of the
process (on a shared machine the wall clock also counts the time other processes hold the CPU;
its ratio is printed too). Every run imports the modules anew (their bytecode is cached by
warm-up runs). The two ways take turns, in a random order each round; the medians and their
ratio (load / discovery) are printed. Usage:

    python benchmarks/load_plugins.py [--runs N] [--builtin N] [--external N] [--json FILE]
"""

import argparse
import importlib.metadata
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

import mirtal

PLUGIN = """\
from mirtal import __plugin_manager__


class {cls}:
    \"\"\"Generated plugin class.\"\"\"


__plugin_manager__.register_plugin({cls}, os={os!r}, series={series!r})
"""

TIMED = {
    "discovery": "m = mirtal.__plugin_manager__\n"
                 "m.discover_builtin_plugins()\n"
                 "m.discover_external_plugins()\n",
    "load": "mirtal.load_plugins()\n",
}

RUNNER = """\
import sys, time
import mirtal
wall, cpu = time.perf_counter(), time.process_time()
{code}
cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
assert len(mirtal.__plugin_manager__.plugins) >= 4, "the generated plugins were not loaded"
print(cpu, wall)
"""


def link_distribution(name, site):
    """Links the installed files of a distribution into `site`."""
    dist = importlib.metadata.distribution(name)
    for top in sorted({f.parts[0] for f in dist.files or () if f.parts[0] != ".."}):
        path = dist.locate_file(top)
        if not top.endswith(".pth") and os.path.exists(path):
            os.symlink(os.path.realpath(path), os.path.join(site, top))


def generate(root, builtin, external):
    """The scratch site: mirtal (copied, with `builtin` more plugin modules), setuptools, and
    `external` distributions."""
    site = os.path.join(root, "site")
    os.makedirs(site)
    package = os.path.join(site, "mirtal")
    shutil.copytree(os.path.dirname(mirtal.__file__), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    info = importlib.metadata.distribution("mirtal")._path
    shutil.copytree(info, os.path.join(site, info.name))
    link_distribution("setuptools", site)
    generated = os.path.join(package, "plugins", "generated")
    os.makedirs(generated)
    open(os.path.join(generated, "__init__.py"), "w").close()
    for i in range(builtin):
        with open(os.path.join(generated, f"g{i:04d}.py"), "w") as file:
            file.write(PLUGIN.format(cls=f"Generated{i}", os="kolm", series=f"g{i}"))
    for i in range(external):
        name = f"mirtal_bench{i:04d}"
        with open(os.path.join(site, f"{name}.py"), "w") as file:
            file.write(PLUGIN.format(cls=f"External{i}", os="jepra", series=f"e{i}"))
        dist_info = os.path.join(site, f"{name}-1.0.dist-info")
        os.makedirs(dist_info)
        with open(os.path.join(dist_info, "METADATA"), "w") as file:
            file.write(f"Metadata-Version: 2.1\nName: {name.replace('_', '-')}\nVersion: 1.0\n")
        with open(os.path.join(dist_info, "entry_points.txt"), "w") as file:
            file.write(f"[mirtal.plugins]\nb{i} = {name}\n")
    return site


def run_once(site, way):
    environment = dict(os.environ, PYTHONPATH=site)
    # Bytecode is cached in the scratch folder, as in an installed environment: the runs time the
    # imports, not the compiling.
    for name in ("MIRTAL_EXCLUDE_PLUGINS", "PYTHONDONTWRITEBYTECODE"):
        environment.pop(name, None)
    done = subprocess.run([sys.executable, "-S", "-c", RUNNER.format(code=TIMED[way])],
                          capture_output=True, text=True, env=environment, cwd=site, timeout=300)
    if done.returncode != 0:
        raise SystemExit(f"{way} run failed:\n{done.stderr}")
    cpu, wall = done.stdout.split()[-2:]
    return float(cpu), float(wall)


def in_turns(ways, run, runs):
    """`run(way)` of each way once to warm up (bytecode caches written, files in the page cache),
    then `runs` rounds in a random order each, so that no way always runs after another. Each
    run gives a pair of figures: two dicts, each way's first figures and its second."""
    for way in ways:
        run(way)
    first, second = {way: [] for way in ways}, {way: [] for way in ways}
    for _ in range(runs):
        for way in random.sample(list(ways), len(ways)):
            a, b = run(way)
            first[way].append(a)
            second[way].append(b)
    return first, second


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=21, help="runs of each way (default 21)")
    parser.add_argument("--builtin", type=int, default=300, help="built-in plugin modules")
    parser.add_argument("--external", type=int, default=200, help="entry points")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="mirtal-bench-load-") as root:
        site = generate(root, args.builtin, args.external)
        times, walls = in_turns(TIMED, lambda way: run_once(site, way), args.runs)

    medians = {way: statistics.median(values) for way, values in times.items()}
    ratio = medians["load"] / medians["discovery"]
    wall_ratio = statistics.median(walls["load"]) / statistics.median(walls["discovery"])
    version = "%d.%d.%d" % sys.version_info[:3]
    print(f"CPython {version}: {args.builtin} built-in modules, {args.external} entry points, "
          f"{args.runs} fresh runs each (CPU time of the process while it loads)")
    for way in TIMED:
        print(f"  {way:10} median {medians[way] * 1e3:8.2f} ms   "
              f"(min {min(times[way]) * 1e3:.2f}, max {max(times[way]) * 1e3:.2f})")
    print(f"  ratio load / discovery: {ratio:.3f} (at most 1.10 is the target); "
          f"of the fastest runs {min(times['load']) / min(times['discovery']):.3f}; "
          f"of the wall-clock medians {wall_ratio:.3f}")
    if args.json:
        with open(args.json, "w") as file:
            json.dump({"python": version, "builtin": args.builtin, "external": args.external,
                       "runs": args.runs, "cpu_times": times, "wall_times": walls,
                       "medians": medians, "ratio": ratio, "wall_ratio": wall_ratio},
                      file, indent=2)


if __name__ == "__main__":
    main()
