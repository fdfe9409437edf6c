"""Two builds of the extension against each other: the hot cases of bench.py, timed in turn in
two interpreters of the same version, each with its own build of mirtal installed.

    python benchmarks/compare.py A=PYTHON_A B=PYTHON_B [--rounds N] [--json PATH]

PYTHON_A and PYTHON_B are the interpreters of two virtual environments (e.g. .venv/bin/python and
.venv-release/bin/python). Each round starts one worker process per build, A then B, then B then A
in the next round, so that a busy spell of the machine falls on both. A worker times every case on
the extension and on the plain-Python baseline (baseline.py) in the same process; the baseline
does not change between the builds, so dividing by it takes out what the machine did between two
workers. The verdict per case is B against A, by the median over the rounds of those quotients:
above 1.00 means B is slower.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

BENCHMARKS = os.path.dirname(os.path.abspath(__file__))
# The cases a build is held to: the lookups, the checks, the caught miss, the printouts.
HOT = ("hit_os_pos", "hit_series_kw", "hit_model_pos", "miss", "validate_arguments",
       "print_tree_2k", "repr_2k")


def worker(path, repeats, budget):
    """Times the hot cases here, on the installed extension and on baseline.py; writes JSON."""
    import logging

    import baseline
    import bench
    from mirtal.core import pluginmanager

    logging.getLogger("mirtal").setLevel(logging.WARNING)
    cases = [case for case in bench.CASES if case.key in HOT]
    for case in cases:
        case.impls = 2
    spaces = bench.namespaces((pluginmanager, baseline))
    bench.measure(cases, spaces, repeats, budget)
    result = {
        "extension": pluginmanager.__file__,
        "cases": {case.key: {impl: case.results[impl]["best"] for impl in ("C++", "Python")}
                  for case in cases},
    }
    with open(path, "w") as out:
        json.dump(result, out)


def run_worker(python, repeats, budget):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([python, os.path.abspath(__file__), "--worker", out.name,
                        "--repeats", str(repeats), "--budget", str(budget)], check=True)
        with open(out.name) as result:
            return json.load(result)


def compare(builds, rounds, repeats, budget):
    """builds: [(label, python)] * 2. Per case and build the C++ and Python ns of every round."""
    samples = {label: [] for label, _ in builds}
    extensions = {}
    for round_ in range(rounds):
        order = builds if round_ % 2 == 0 else builds[::-1]
        for label, python in order:
            result = run_worker(python, repeats, budget)
            extensions[label] = result["extension"]
            samples[label].append(result["cases"])
        print(f"round {round_ + 1}/{rounds} done", file=sys.stderr, flush=True)
    return samples, extensions


def summarise(builds, samples):
    (a, _), (b, _) = builds
    rows = {}
    for key in HOT:
        row = {}
        for label in (a, b):
            runs = samples[label]
            row[label] = {
                "cpp_ns": statistics.median(run[key]["C++"] for run in runs),
                "python_ns": statistics.median(run[key]["Python"] for run in runs),
                "normalised": statistics.median(run[key]["C++"] / run[key]["Python"]
                                                for run in runs),
            }
        # Rounds pair an A and a B run made next to each other.
        paired = [rb[key]["C++"] / rb[key]["Python"] / (ra[key]["C++"] / ra[key]["Python"])
                  for ra, rb in zip(samples[a], samples[b])]
        row["b_over_a"] = statistics.median(paired)
        row["b_over_a_range"] = (min(paired), max(paired))
        rows[key] = row
    return rows


def report(builds, rows, extensions, rounds):
    (a, _), (b, _) = builds
    lines = [
        f"A = {a}: {extensions[a]}",
        f"B = {b}: {extensions[b]}",
        f"{rounds} rounds, A and B alternated; ns per call are medians of each round's best; "
        "B/A is the median over rounds of (B C++/Python) / (A C++/Python)",
        "",
        f"{'case':<22}{'A ns':>12}{'B ns':>12}{'A Py/C++':>10}{'B Py/C++':>10}{'B/A':>7}"
        f"{'B/A range':>15}",
    ]
    for key, row in rows.items():
        low, high = row["b_over_a_range"]
        lines.append(
            f"{key:<22}{row[a]['cpp_ns']:12,.0f}{row[b]['cpp_ns']:12,.0f}"
            f"{1 / row[a]['normalised']:9.2f}x{1 / row[b]['normalised']:9.2f}x"
            f"{row['b_over_a']:7.3f}{f'{low:.3f}-{high:.3f}':>15}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="*", metavar="LABEL=PYTHON")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--budget", type=float, default=0.01)
    parser.add_argument("--json", metavar="PATH")
    parser.add_argument("--worker", metavar="OUT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.repeats, args.budget)
        return
    if len(args.builds) != 2 or not all("=" in one for one in args.builds):
        parser.error("give two builds, A=PYTHON B=PYTHON")
    builds = [tuple(one.split("=", 1)) for one in args.builds]
    samples, extensions = compare(builds, args.rounds, args.repeats, args.budget)
    rows = summarise(builds, samples)
    print(report(builds, rows, extensions, args.rounds))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"builds": builds, "extensions": extensions, "rounds": args.rounds,
                       "cases": rows, "samples": samples}, out, indent=2)
            out.write("\n")


if __name__ == "__main__":
    main()
