"""Compiles baseline.py with Cython into DIR as the module baseline_cython: the second baseline.

The plain-Python manager compiled as it stands, unchanged, which is what a user would try first to
make it faster. The directives keep the compiled methods behaving like Python functions: methods
that bind like functions and carry their signature (binding), keyword arguments accepted by every
method, also the one-argument ones that the manager calls by keyword (always_allow_keywords), and
Python 3 semantics (language_level). Cython words the TypeErrors of argument binding its own way
whatever the directives; bench.py's cross-check reports that and compares everything else exactly.

Each interpreter gets its own DIR (make bench uses build/bench-cython-X.Y). Nothing is done when
DIR already holds a build of the same source by the same interpreter, Cython and directives.

    python benchmarks/build_cython.py DIR
"""

import hashlib
import importlib.machinery
import json
import os
import shutil
import subprocess
import sys

MODULE = "baseline_cython"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "baseline.py")
DIRECTIVES = {"language_level": "3", "binding": "True", "always_allow_keywords": "True"}
STAMP = "stamp.json"


def wanted_stamp(cython_version):
    with open(SOURCE, "rb") as source:
        digest = hashlib.sha256(source.read()).hexdigest()
    return {
        "source_sha256": digest,
        "cython": cython_version,
        "directives": DIRECTIVES,
        "python": sys.version,
        "executable": os.path.realpath(sys.executable),
        "ext_suffix": importlib.machinery.EXTENSION_SUFFIXES[0],
    }


def read_stamp(directory):
    try:
        with open(os.path.join(directory, STAMP)) as stamp:
            return json.load(stamp)
    except (OSError, ValueError):
        return None


def built_module(directory):
    """The compiled module's file in `directory`, or None."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(directory, MODULE + suffix)
        if os.path.exists(path):
            return path
    return None


def clean(directory):
    for name in os.listdir(directory):
        if name == "build" or name == STAMP or name.startswith(MODULE + "."):
            path = os.path.join(directory, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)


def build(directory):
    try:
        import Cython
    except ImportError:
        sys.exit("Cython is not installed in this environment (make bench installs the pinned one)")
    stamp = wanted_stamp(Cython.__version__)
    if read_stamp(directory) == stamp and built_module(directory):
        print(f"{directory}: Cython {Cython.__version__} build of baseline.py is up to date")
        return
    os.makedirs(directory, exist_ok=True)
    clean(directory)
    shutil.copyfile(SOURCE, os.path.join(directory, MODULE + ".py"))
    directives = [arg for key, value in DIRECTIVES.items() for arg in ("-X", f"{key}={value}")]
    print(f"{directory}: compiling baseline.py with Cython {Cython.__version__} "
          f"({', '.join(f'{k}={v}' for k, v in DIRECTIVES.items())})", flush=True)
    subprocess.run(
        [sys.executable, "-c", "from Cython.Build.Cythonize import main; main()",
         "-i", "-q", *directives, MODULE + ".py"],
        cwd=directory, check=True, stdout=subprocess.DEVNULL,
    )
    module = built_module(directory)
    if module is None:
        sys.exit(f"Cython left no extension module {MODULE} in {directory}")
    # The compiled module, not the .py copy beside it, is what an import finds.
    subprocess.run(
        [sys.executable, "-c",
         f"import sys; sys.path.insert(0, {os.path.abspath(directory)!r}); import {MODULE}; "
         f"assert {MODULE}.__file__ == {os.path.abspath(module)!r}, {MODULE}.__file__"],
        check=True,
    )
    with open(os.path.join(directory, STAMP), "w") as out:
        json.dump(stamp, out, indent=2)
        out.write("\n")


def main():
    if len(sys.argv) != 2 or sys.argv[1].startswith("-"):
        sys.exit("usage: python benchmarks/build_cython.py DIR")
    build(sys.argv[1])


if __name__ == "__main__":
    main()
