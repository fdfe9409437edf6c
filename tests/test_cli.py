"""`python -m mirtal` run as a subprocess against the installed package."""

import json
import os
import subprocess
import sys

import pytest

PLUGIN = """\
from mirtal import __plugin_manager__
class KolmConnection:
    pass
__plugin_manager__.register_plugin(KolmConnection, os="kolm")
"""


def run(*args, path=None):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if path is not None:
        env["PYTHONPATH"] = str(path)
    return subprocess.run(
        [sys.executable, "-m", "mirtal", *args], capture_output=True, text=True, env=env,
        cwd=path or os.path.dirname(sys.executable), timeout=60,
    )


@pytest.fixture
def site(tmp_path):
    """An installed distribution whose entry point names probe_kolm (written by each test)."""
    info = tmp_path / "mirtal_probe-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: mirtal-probe\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[mirtal.plugins]\nkolm = probe_kolm\n")
    return tmp_path


def test_tree_shows_builtin_plugins_with_nothing_on_stderr():
    result = run()
    assert (result.returncode, result.stderr) == (0, "")
    header = "plugins (<class 'mirtal.core.pluginmanager.PluginManager'> at "
    assert result.stdout.startswith(header)
    assert "  |__ brelk\n  |  |__ data\n  |    |__ dual_rp\n" in result.stdout
    assert "|__ cls = <class 'mirtal.plugins.vennu.zq4.m1.M1Connection'>\n" in result.stdout


@pytest.mark.parametrize("args, cls, node", [
    (["--os", "brelk", "--series", "k7", "--chassis-type", "dual_rp"], "brelk.DualRpConnection",
     "brelk"),
    (["--os", "vennu", "--series", "zq4", "--model", "m9"], "vennu.zq4.Zq4Connection", "vennu/zq4"),
    (["--os", "vennu", "--series", "zq4", "--model", "m1"], "vennu.zq4.m1.M1Connection",
     "vennu/zq4/m1"),
])
def test_lookup_names_class_file_and_answering_node(args, cls, node):
    result = run(*args)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[0] == f"class: mirtal.plugins.{cls}"
    module_file = cls.rsplit(".", 1)[0].replace(".", os.sep)
    assert lines[1].startswith("file:  /") and module_file in lines[1]
    assert lines[2:] == [f"node:  {node}"]

    answer = json.loads(run(*args, "--json").stdout)
    assert answer["class"] == f"mirtal.plugins.{cls}"
    assert (answer["file"], answer["node"]) == (lines[1].split(None, 1)[1], node)


@pytest.mark.parametrize("args, message", [
    (["--os", "vennu", "--series", "zq4", "--chassis-type", "dual_rp"],
     "Plugin data not found for (vennu/zq4), type: dual_rp"),
    (["--os", "tarvik", "--series", "r2"],
     "Plugin data not found for (tarvik/r2), type: single_rp"),
    (["--os", "vennu", "--series", "ZQ4"], "Series (ZQ4) has to be in lowercase"),
    (["--series", "zq4"], "OS information not provided for Series: zq4"),
    (["--os", "vennu", "--chassis-type", "tower"], "chassis Type should be one of these "
     "['single_rp', 'dual_rp', 'stack'], but got tower"),
])
def test_failed_lookup_prints_one_line_and_exits_1(args, message):
    result = run(*args)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"mirtal: {message}\n"


def test_json_tree_holds_qualified_names_and_files():
    result = run("--json")
    assert result.returncode == 0
    tree = json.loads(result.stdout)
    record = tree["brelk"]["data"]["dual_rp"]
    assert record["cls"] == "mirtal.plugins.brelk.DualRpConnection"
    assert record["path"].endswith(os.path.join("mirtal", "plugins", "brelk", "__init__.py"))
    assert set(tree["vennu"]) == {"data", "zq4"}


def test_verbose_shows_loading_of_external_plugin(site):
    (site / "probe_kolm.py").write_text(PLUGIN)
    quiet = run("--os", "kolm", path=site)
    assert (quiet.returncode, quiet.stderr) == (0, "")
    assert quiet.stdout.splitlines()[0] == "class: probe_kolm.KolmConnection"

    verbose = run("-v", "--os", "kolm", path=site)
    assert verbose.stdout == quiet.stdout
    assert "DEBUG mirtal: Loading external plugin kolm from probe_kolm\n" in verbose.stderr


@pytest.mark.parametrize("module, message", [
    ("import os\nraise RuntimeError('broken plugin')\n",
     "RuntimeError: broken plugin ({site}/probe_kolm.py, line 2)"),
    (None, "ModuleNotFoundError: No module named 'probe_kolm'"),
])
def test_failing_plugin_import_prints_one_line_and_exits_1(site, module, message):
    if module is not None:
        (site / "probe_kolm.py").write_text(module)
    for args in [(), ("--os", "brelk", "--json")]:
        result = run(*args, path=site)
        assert (result.returncode, result.stdout) == (1, "")
        expected = "mirtal: a plugin failed to load: " + message.format(site=site)
        assert result.stderr == expected + "\n"
