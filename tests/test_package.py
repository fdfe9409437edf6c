"""The package `mirtal` as a user meets it: its namespace after import."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import mirtal
from schema import assert_valid_report

# The deprecation warning that pkg_resources gives on import in the setuptools releases that
# deprecate it (older ones, as in some virtual environments, give none).
WARNING_PKG_RESOURCES = """
import warnings
warnings.warn("pkg_resources is deprecated as an API. See the setuptools documentation.",
              DeprecationWarning, stacklevel=2)
def iter_entry_points(group, name=None):
    return iter(())
"""

# The extension is imported when the shared manager (or load_plugins) is first asked for.
DOCUMENTED = ["__plugin_manager__", "__version__", "load_plugins", "log"]


@pytest.mark.parametrize("warns", [False, True], ids=["installed-pkg_resources", "warning"])
def test_namespace_holds_only_the_documented_names(tmp_path, warns):
    if warns:
        (tmp_path / "pkg_resources.py").write_text(WARNING_PKG_RESOURCES)
    code = textwrap.dedent("""
        import json, mirtal
        public = [n for n in dir(mirtal) if not (n.startswith("__") and n.endswith("__"))
                  or n in ("__plugin_manager__", "__version__", "__warningregistry__")]
        before = public
        mirtal.__plugin_manager__.discover_builtin_plugins()
        print(json.dumps([before, [n for n in dir(mirtal) if not n.startswith("_")]]))
    """)
    done = subprocess.run([sys.executable, "-W", "always", "-c", code], capture_output=True,
                          text=True, timeout=120, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    imported, discovered = json.loads(done.stdout)
    assert imported == DOCUMENTED
    assert discovered == ["core", "load_plugins", "loading", "log", "plugins", "settings", "text",
                          "tree"]


def test_missing_pkg_resources_is_explained(tmp_path):
    # A site holding mirtal but no setuptools, as after `pip install 'setuptools>=82'`.
    site = tmp_path / "site"
    site.mkdir()
    (site / "mirtal").symlink_to(Path(mirtal.__file__).parent)
    env = dict(os.environ, PYTHONPATH=str(site))
    advice = ("mirtal needs pkg_resources, which setuptools removed in its release 82: install "
              "setuptools<82 (python -m pip install 'setuptools<82')")

    # The package imports; its shared manager is what needs pkg_resources.
    imported = subprocess.run([sys.executable, "-S", "-c", "import mirtal\nprint(mirtal.log.name)\n"
                               "mirtal.__plugin_manager__"], capture_output=True,
                              text=True, timeout=120, cwd=tmp_path, env=env)
    assert (imported.returncode, imported.stdout) == (1, "mirtal\n")
    assert imported.stderr.rstrip().endswith(f"ImportError: {advice}")
    assert "ModuleNotFoundError: No module named 'pkg_resources'" in imported.stderr
    assert "direct cause of the following exception" in imported.stderr

    script = Path(sys.executable).parent / "mirtal"

    def command(*args):
        return subprocess.run([sys.executable, "-S", str(script), *args], capture_output=True,
                              text=True, timeout=120, cwd=tmp_path, env=env)

    looked_up = command("--os", "vennu")
    assert (looked_up.returncode, looked_up.stdout, looked_up.stderr) == (
        1, "", f"mirtal: {advice}\n")
    # What needs no manager works without it: help, version, usage errors; --json answers with
    # one JSON object whatever happens.
    assert command("--help").returncode == 0 and "exit status:" in command("--help").stdout
    assert command("--version").stdout.startswith("mirtal ")
    assert command("--bogus").returncode == 2
    answer = command("--os", "vennu", "--json")
    assert (answer.returncode, json.loads(answer.stdout)) == (
        1, {"error": {"type": "ImportError", "message": advice}})
    checked = command("--check", "--json")
    document = json.loads(checked.stdout)
    assert_valid_report(document)
    assert checked.returncode == 1 and not document["ok"]
    assert document["unfinished"] == f"the check's loader failed: ImportError: {advice}"


MISTYPED = """\
import mirtal
manager = mirtal.__plugin_manger__
version: int = mirtal.__version__
checked: str = mirtal.__version__
mirtal.__plugin_manager__.get_plugin("vennu")
mirtal.log.debug("%s", mirtal.core.pluginmanager.ENTRYPOINT_GROUP)
"""


def test_type_checkers_see_the_packages_real_names(tmp_path):
    from mypy import api

    client = tmp_path / "client.py"
    client.write_text(MISTYPED)
    out, _, status = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"), str(client)])
    errors = [line.split(": error: ", 1) for line in out.splitlines() if ": error: " in line]
    assert status == 1, out
    assert [(where.rsplit(":", 1)[1], message.split(";")[0]) for where, message in errors] == [
        ("2", 'Module has no attribute "__plugin_manger__"'),
        ("3", 'Incompatible types in assignment (expression has type "str", variable has type '
              '"int")  [assignment]'),
    ]
