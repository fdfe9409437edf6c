"""Daemon threads inside every method while the interpreter exits: `make exitruns`.

A host's background threads (keepalives, pollers) are daemon threads, and the main thread may end
while they are inside the manager. 3.11 to 3.13.0 end such a thread with pthread_exit when it next
asks for the GIL, which unwinds its stack through the extension's frames; later releases park it.
Each case is a child interpreter whose daemon threads loop over one operation while its main
thread sleeps a moment and exits: every run must exit with status 0 and print nothing. Prints the
count of runs and of failed runs; exits with 1 when any failed.

    python tests/exitruns.py [--runs N] [--baseline]

--baseline runs the cases on the plain-Python module (benchmarks/baseline.py) instead.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# What every child sets up: a manager with a small tree, and keys of a str subclass whose methods
# (hash, comparison, the checks' case and digit tests) are Python code run inside the manager.
SETUP = """
import sys, threading, time
if {baseline}:
    sys.path.insert(0, {benchmarks!r})
    from baseline import PluginManager
else:
    from mirtal.core.pluginmanager import PluginManager
from mirtal.core.errors import ConnectionInfraError

class Text(str):  # its methods are Python code: the thread may be switched out inside them
    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)

    def islower(self):
        return str.islower(self)

    def isdigit(self):
        return str.isdigit(self)

class Plugin:
    pass

m = PluginManager()
m.register_plugin(Plugin, os="vennu", series="zq4", model="m1")
m.register_plugin(Plugin, os="brelk", chassis_type="dual_rp")
labelled = {{Text("b"): {{Text("x"): Plugin, "y": {{"z": Plugin}}}}, Text("a"): Plugin}}

def loop(i):
    step = 0
    while True:
        step += 1
        try:
            {operation}
        except ConnectionInfraError:
            pass

for i in range({threads}):
    threading.Thread(target=loop, args=(i,), daemon=True).start()
time.sleep({seconds})
"""

# One operation per case, run by each thread in a loop (i: the thread, step: the iteration).
CASES = {
    "register (unknown OS: the debug line)":
        'm.register_plugin(Plugin, os="spam%d" % i)',
    "unregister": 'm.register_plugin(Plugin, os="tarn", series="s%d" % i); '
                  'm.unregister_plugin(os="tarn", series="s%d" % i)',
    "get_plugin hit": 'm.get_plugin(Text("vennu"), series=Text("zq4"), model=Text("m1"))',
    "get_plugin miss": 'm.get_plugin(Text("tarvik"), series=Text("q%d" % step))',
    "validate with a str subclass":
        'm.validate_arguments(Text("vennu"), Text("zq4"), Text("m1"), Text("stack"))',
    "print_tree of str-subclass keys": 'm.print_tree(labelled, Text("plugins"))',
    "repr of str-subclass keys": 'm._plugins = labelled; repr(m)',
}


def run(name, baseline, folder, threads=3, seconds=0.2):
    """One child interpreter: (exit status, stderr). Its script is a file, so that getfile()
    finds the plugin's source."""
    script = os.path.join(folder, "exiting.py")
    with open(script, "w") as file:
        file.write(SETUP.format(baseline=baseline, operation=CASES[name], threads=threads,
                                seconds=seconds,
                                benchmarks=os.path.join(HERE, "..", "benchmarks")))
    done = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs per case (default 3)")
    parser.add_argument("--baseline", action="store_true", help="the plain-Python module")
    args = parser.parse_args()
    runs = failed = 0
    folder = tempfile.mkdtemp(prefix="mirtal-exit-")
    for name in CASES:
        statuses = []
        for _ in range(args.runs):
            status, stderr = run(name, args.baseline, folder)
            runs += 1
            statuses.append(status)
            if status != 0 or stderr:
                failed += 1
                print(f"  {name}: exit status {status}\n{stderr[-2000:]}", file=sys.stderr)
        print(f"{name}: exit statuses {statuses}")
    shutil.rmtree(folder, ignore_errors=True)
    version = ".".join(map(str, sys.version_info[:3]))
    print(f"exit runs on CPython {version}: {runs}, failed: {failed}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
