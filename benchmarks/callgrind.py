"""Instructions per get_plugin hit, counted by callgrind: repeatable where wall-clock time is not.

Each measurement runs a fresh interpreter under `valgrind --tool=callgrind` twice, once making N
calls and once 2N; the difference divided by N is the cost of one call, start-up and import
excluded. Hash randomisation is fixed so that both runs start up alike.

    python benchmarks/callgrind.py [--calls N] [--only KIND ...]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

KINDS = {
    "cpp": "get_plugin hit, series depth, keywords (C++)",
    "python": "get_plugin hit, series depth, keywords (plain Python)",
    "floor": 'floor: tree["vennu"]["zq4"]["data"]["single_rp"]["cls"]',
    "loop": "empty loop iteration",
}


class SeriesConnection:
    pass


def run_calls(kind, calls):
    """What runs under valgrind: `calls` repetitions of one kind, inside a function."""
    import mirtal  # noqa: F401  (binds the logger before the extension needs it)
    from mirtal.core import pluginmanager

    if kind == "python":
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import baseline

        manager = baseline.PluginManager()
    else:
        manager = pluginmanager.PluginManager()
    manager.register_plugin(SeriesConnection, os="vennu", series="zq4")
    tree = manager._plugins

    def hits(m, n):
        for _ in range(n):
            m.get_plugin(os="vennu", series="zq4")

    def floor(tree, n):
        for _ in range(n):
            tree["vennu"]["zq4"]["data"]["single_rp"]["cls"]

    def loop(n):
        for _ in range(n):
            pass

    if kind in ("cpp", "python"):
        hits(manager, calls)
    elif kind == "floor":
        floor(tree, calls)
    else:
        loop(calls)


def instructions(kind, calls, workdir):
    """Instructions executed by a fresh interpreter making `calls` calls of `kind`."""
    out = os.path.join(workdir, f"callgrind.{kind}.{calls}")
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         sys.executable, os.path.abspath(__file__), "--child", kind, str(calls)],
        env={**os.environ, "PYTHONHASHSEED": "0"},
        capture_output=True, text=True,
    )
    found = re.search(r"Collected : (\d+)", run.stderr)
    if run.returncode != 0 or not found:
        sys.exit(f"callgrind run of {kind} x{calls} failed:\n{run.stderr[-2000:]}")
    return int(found.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=5_000, help="N (default 5000)")
    parser.add_argument("--only", nargs="+", choices=KINDS, default=list(KINDS),
                        help="measure only these (default: all)")
    parser.add_argument("--child", nargs=2, metavar=("KIND", "CALLS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_calls(args.child[0], int(args.child[1]))
        return
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed (apt-get install valgrind)")

    n = args.calls
    jobs = [(kind, calls) for kind in args.only for calls in (n, 2 * n)]
    with tempfile.TemporaryDirectory() as workdir, ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        counts = dict(zip(jobs, pool.map(lambda job: instructions(*job, workdir), jobs)))
    per_call = {kind: (counts[kind, 2 * n] - counts[kind, n]) / n for kind in args.only}

    print(f"instructions per call (callgrind; runs of {2 * n} and {n} calls, difference / {n}):")
    for kind in args.only:
        print(f"  {KINDS[kind]:<58}{per_call[kind]:10,.0f}")
    loop = per_call.get("loop", 0)
    if "cpp" in per_call:
        print(f"  C++ hit, loop excluded{'':<35}{per_call['cpp'] - loop:10,.0f}")
        if "python" in per_call:
            print(f"  plain Python / C++ (loop excluded){'':<24}"
                  f"{(per_call['python'] - loop) / (per_call['cpp'] - loop):10.1f}x")
        if "floor" in per_call:
            print(f"  C++ / floor (loop excluded){'':<31}"
                  f"{(per_call['cpp'] - loop) / (per_call['floor'] - loop):10.1f}x")


if __name__ == "__main__":
    main()
