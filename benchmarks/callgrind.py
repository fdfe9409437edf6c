"""Instructions per call, counted by callgrind: repeatable where wall-clock time is not.

Each count runs a fresh interpreter under `valgrind --tool=callgrind` twice, making N calls of a
case of bench.py and then 2N; the difference divided by N is the cost of one call, start-up and
imports excluded (hash randomisation is fixed, so both runs start up alike, to the instruction).
By default: the get_plugin hit at series depth with keywords, in C++, in plain Python and in its
Cython build (make bench builds it), the bare nested subscript it is compared with, and the timing
loop's own cost.

    python benchmarks/callgrind.py [--calls N] [--cases KEY ...] [--impls IMPL ...]
                                   [--cython-dir DIR]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import bench

DEFAULT_CASES = ["hit_series_kw", "floor", "loop"]
SINGLE = {"floor": bench.FLOOR, "loop": bench.LOOP}  # measured on the C++ namespace only
ALL_CASES = {case.key: case for case in bench.CASES} | SINGLE
LARGE = {"print_tree_2k", "print_tree_20k", "repr_2k", "repr_20k"}


def run_calls(key, impl, calls, cython_dir):
    """What runs under valgrind: `calls` runs of one case's statement, in timeit's loop."""
    import timeit

    case = ALL_CASES[key]
    modules = [bench.pluginmanager, bench.baseline]
    if impl == "Cython":
        modules.append(bench.load_cython(cython_dir))
    space = bench.namespaces(modules, large_trees=key in LARGE)[bench.IMPLS.index(impl)]
    timeit.Timer(case.stmt, case.setup, globals=space).timeit(calls)


def instructions(key, impl, calls, cython_dir, workdir):
    """Instructions executed by a fresh interpreter making `calls` calls."""
    out = os.path.join(workdir, f"callgrind.{key}.{bench.IMPLS.index(impl)}.{calls}")
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         sys.executable, os.path.abspath(__file__), "--child", key, impl, str(calls), cython_dir],
        env={**os.environ, "PYTHONHASHSEED": "0"},
        capture_output=True, text=True,
    )
    found = re.search(r"Collected : (\d+)", run.stderr)
    if run.returncode != 0 or not found:
        sys.exit(f"callgrind run of {key} ({impl}) x{calls} failed:\n{run.stderr[-2000:]}")
    return int(found.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=5_000, help="N (default 5000)")
    parser.add_argument("--cases", nargs="+", choices=list(ALL_CASES), default=DEFAULT_CASES,
                        metavar="KEY",
                        help=f"cases of bench.py (default: {' '.join(DEFAULT_CASES)})")
    parser.add_argument("--impls", nargs="+", choices=bench.IMPLS, default=list(bench.IMPLS),
                        metavar="IMPL", help="implementations (default: C++ Python Cython)")
    parser.add_argument("--cython-dir", metavar="DIR", default=bench.CYTHON_DIR,
                        help="the Cython build of baseline.py (default: build/bench-cython-X.Y)")
    parser.add_argument("--child", nargs=4, metavar=("KEY", "IMPL", "CALLS", "DIR"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        key, impl, calls, cython_dir = args.child
        run_calls(key, impl, int(calls), cython_dir)
        return
    if "Cython" in args.impls:
        bench.load_cython(args.cython_dir)  # fails early, with what to do, if it is not built
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed (apt-get install valgrind)")

    n = args.calls
    measured = [(key, impl) for key in args.cases
                for impl in (["C++"] if key in SINGLE else args.impls)]
    jobs = [(key, impl, calls) for key, impl in measured for calls in (n, 2 * n)]
    with tempfile.TemporaryDirectory() as workdir, ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        counts = dict(zip(jobs, pool.map(
            lambda job: instructions(*job, args.cython_dir, workdir), jobs)))
    per_call = {(key, impl): (counts[key, impl, 2 * n] - counts[key, impl, n]) / n
                for key, impl in measured}

    loop = per_call.get(("loop", "C++"), 0.0)
    floor = per_call.get(("floor", "C++"))
    print(f"instructions per call (callgrind; runs of {2 * n} and {n} calls, difference / {n}"
          + (f"; 'net' leaves out the timing loop's {loop:,.0f}" if loop else "") + "):")
    print(f"  {'case':<46}{'impl':>7}{'total':>15}{'net':>15}")
    for key, impl in measured:
        print(f"  {ALL_CASES[key].label:<46}{impl:>7}{per_call[key, impl]:15,.0f}"
              f"{per_call[key, impl] - loop:15,.0f}")
    for key in args.cases:
        if key in SINGLE or (key, "C++") not in per_call:
            continue
        cpp = per_call[key, "C++"] - loop
        ratios = [f"{impl} / C++ {(per_call[key, impl] - loop) / cpp:.1f}x"
                  for impl in args.impls if impl != "C++"]
        line = f"  {key}: " + ", ".join(ratios)
        if floor is not None and key.startswith("hit"):
            line += f", C++ / floor {cpp / (floor - loop):.1f}x"
        print(line)


if __name__ == "__main__":
    main()
