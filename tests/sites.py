"""Interpreters that see only mirtal, what it needs, and the distributions a test makes itself.

The command lines that the tests run must not see what else is installed in the environment (the
example plugin of `make demo`, a deployment's plugins). They run the interpreter with -S (no
site-packages) and a PYTHONPATH of the test's own folders followed by a site folder that holds
only mirtal and setuptools (for pkg_resources), linked from the environment.
"""

import atexit
import functools
import importlib.metadata
import os
import shutil
import sys
import tempfile

# The distributions that a plain run of mirtal needs.
NEEDED = ("mirtal", "setuptools")


def with_requirements(names):
    """The distributions named and those they require (with the markers of this interpreter)."""
    from packaging.requirements import Requirement

    found, pending = [], list(names)
    while pending:
        dist = importlib.metadata.distribution(pending.pop(0))
        name = dist.metadata["Name"]
        if name in found:
            continue
        found.append(name)
        for text in dist.requires or ():
            requirement = Requirement(text)
            if requirement.marker is None or requirement.marker.evaluate({"extra": ""}):
                pending.append(requirement.name)
    return found


@functools.cache
def clean_site(*extra):
    """A folder of links to the installed files of mirtal and setuptools, and nothing else;
    with `extra`, those distributions too, with what they require (e.g. "pytest")."""
    root = tempfile.mkdtemp(prefix="mirtal-site-")
    atexit.register(shutil.rmtree, root, True)
    for name in with_requirements((*NEEDED, *extra)):
        dist = importlib.metadata.distribution(name)
        tops = {f.parts[0] for f in dist.files or () if f.parts[0] != ".."}
        for top in sorted(tops):
            path = dist.locate_file(top)
            if top.endswith(".pth") or not os.path.exists(path):
                continue
            os.symlink(os.path.realpath(path), os.path.join(root, top))
    return root


# The environment variables of the deployment settings (mirtal.settings).
SETTINGS = ("MIRTAL_EXCLUDE_PLUGINS", "MIRTAL_PREFER")

# The interpreter, without site-packages: the command line is `python -S -m mirtal`.
PYTHON = (sys.executable, "-S")


def environment(*paths, extra=None, distributions=()):
    """os.environ, without the deployment settings (which plugins to leave out or prefer) and
    what tells pytest which plugins to load, updated with `extra`, and PYTHONPATH set to `paths`,
    then the clean site folder (with the installed `distributions` too)."""
    ignored = (*SETTINGS, "PYTEST_ADDOPTS", "PYTEST_PLUGINS", "PYTEST_DISABLE_PLUGIN_AUTOLOAD")
    result = {k: v for k, v in os.environ.items() if k not in ignored}
    result.update(extra or {})
    result["PYTHONPATH"] = os.pathsep.join([*map(str, paths), clean_site(*distributions)])
    return result


def write_scripts(folder):
    """`python` and `mirtal` in `folder`, both run isolated, for examples run through a shell."""
    os.makedirs(folder, exist_ok=True)
    python = os.path.join(folder, "python")
    with open(python, "w") as file:
        file.write(f'#!/bin/sh\nexec {sys.executable} -S "$@"\n')
    mirtal = os.path.join(folder, "mirtal")
    with open(mirtal, "w") as file:
        file.write(f"#!{sys.executable} -S\nfrom mirtal.__main__ import leave, main\n"
                   "leave(main())\n")
    for script in (python, mirtal):
        os.chmod(script, 0o755)
    return folder


def distribution(site, name, entry_points, requires=()):
    """A distribution installed into `site`, advertising `entry_points` in mirtal.plugins."""
    info = site / f"{name.replace('-', '_')}-1.0.dist-info"
    info.mkdir()
    metadata = f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n"
    metadata += "".join(f"Requires-Dist: {r}\n" for r in requires)
    (info / "METADATA").write_text(metadata)
    lines = "".join(f"{key} = {module}\n" for key, module in entry_points.items())
    (info / "entry_points.txt").write_text("[mirtal.plugins]\n" + lines)


def install(site, *distributions):
    """Distributions (name, entry points, {path: text} of their modules), laid out as pip
    installs them, in the folder `site`."""
    site.mkdir(exist_ok=True)
    for name, entry_points, modules in distributions:
        distribution(site, name, entry_points)
        for path, text in modules.items():
            (site / path).write_text(text)
    return site


# A plugin module's registration of one class.
REGISTER = """\
from mirtal import __plugin_manager__
class {cls}:
    pass
__plugin_manager__.register_plugin({cls}, {place})
"""


def plugin(dist, entry_point, *places, fail=False):
    """A distribution (for `install`) with one entry point, whose module registers a class C0,
    C1, ... at each place (the arguments of register_plugin after the class), then raises a
    RuntimeError('broken') if `fail`."""
    module = dist.replace("-", "_").lower()
    text = "".join(REGISTER.format(cls=f"C{i}", place=place) for i, place in enumerate(places))
    return (dist, {entry_point: module},
            {f"{module}.py": text + ("raise RuntimeError('broken')\n" if fail else "")})


def package_copy(site, files):
    """A copy of the installed mirtal package in `site`, with `files` (path: text) added."""
    import mirtal

    package = site / "mirtal"
    shutil.copytree(os.path.dirname(mirtal.__file__), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    for path, text in files.items():
        (package / path).parent.mkdir(parents=True, exist_ok=True)
        (package / path).write_text(text)
    return site
