"""The command line (`mirtal`, `python -m mirtal`) run as a subprocess against the installed
package: answers, exit statuses, JSON, failing plugins and hostile output streams."""

import importlib.metadata
import json
import os
import signal
import subprocess
import sys

import pytest

import mirtal
from sites import PYTHON, distribution, environment as isolated_environment, package_copy

BIN = os.path.dirname(sys.executable)

PLUGIN = """\
from mirtal import __plugin_manager__
class {name}:
    pass
__plugin_manager__.register_plugin({name}, os="kolm")
"""


def run(*args, path=None, env=None, command=(*PYTHON, "-m", "mirtal"), **options):
    """The command line in an interpreter that sees mirtal, setuptools and `path` only."""
    environment = isolated_environment(*([path] if path is not None else []), extra=env)
    options.setdefault("capture_output", True)
    return subprocess.run(
        [*command, *args], text=True, env=environment, cwd=path or BIN, timeout=60, **options,
    )


@pytest.fixture
def site(tmp_path):
    """An installed distribution mirtal-probe whose entry point kolm names probe_kolm."""
    distribution(tmp_path, "mirtal-probe", {"kolm": "probe_kolm"})
    return tmp_path


# Answers -----------------------------------------------------------------------------------------


def test_tree_is_stable_text_under_a_plain_first_line():
    first, second = run(), run()
    assert (first.returncode, first.stderr) == (0, "")
    assert first.stdout == second.stdout
    lines = first.stdout.splitlines()
    assert lines[0] == "plugins"
    assert all(line == line.rstrip() for line in lines)
    assert lines[1:4] == ["  |__ brelk", "  |  |__ data", "  |    |__ dual_rp"]
    assert "|__ cls = <class 'mirtal.plugins.vennu.zq4.m1.M1Connection'>" in first.stdout


@pytest.mark.parametrize("args, cls, node", [
    (["--os", "brelk", "--series", "k7", "--chassis-type", "dual_rp"], "brelk.DualRpConnection",
     ["brelk"]),
    (["--os", "vennu", "--series", "zq4", "--model", "m9"], "vennu.zq4.Zq4Connection",
     ["vennu", "zq4"]),
    (["--os", "vennu", "--series", "zq4", "--model", "m1"], "vennu.zq4.m1.M1Connection",
     ["vennu", "zq4", "m1"]),
])
def test_lookup_names_class_file_and_answering_node(args, cls, node):
    result = run(*args)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[0] == f"class: mirtal.plugins.{cls}"
    module_file = cls.rsplit(".", 1)[0].replace(".", os.sep)
    assert lines[1].startswith("file:  /") and module_file in lines[1]
    assert lines[2:] == ["node:  " + "/".join(node)]

    answer = json.loads(run(*args, "--json").stdout)["lookup"]
    assert answer["class"] == f"mirtal.plugins.{cls}"
    assert (answer["file"], answer["node"]) == (lines[1].split(None, 1)[1], node)


def test_json_tree_keeps_records_apart_from_children():
    result = run("--json")
    assert (result.returncode, result.stderr) == (0, "")
    tree = {node["key"]: node for node in json.loads(result.stdout)["plugins"]}
    assert tree["brelk"]["records"][0]["class"] == "mirtal.plugins.brelk.DualRpConnection"
    assert tree["brelk"]["records"][0]["file"].endswith(
        os.path.join("mirtal", "plugins", "brelk", "__init__.py"))
    vennu = tree["vennu"]
    assert [r["chassis_type"] for r in vennu["records"]] == ["single_rp"]
    assert [child["key"] for child in vennu["children"]] == ["zq4"]
    assert [child["key"] for child in vennu["children"][0]["children"]] == ["m1"]


def test_json_tree_tells_apart_keys_whose_text_is_equal(tmp_path):
    # An OS named "data", a tuple OS and an OS spelled like that tuple: three nodes.
    (tmp_path / "probe_kolm.py").write_text(
        "from mirtal import __plugin_manager__ as m\n"
        "class C:\n    pass\n"
        "for os in ('data', ('tarn',), \"('tarn',)\"):\n"
        "    m.register_plugin(C, os=os)\n"
    )
    distribution(tmp_path, "mirtal-probe", {"kolm": "probe_kolm"})
    result = run("--json", path=tmp_path)
    assert result.returncode == 0
    nodes = json.loads(result.stdout)["plugins"]
    keys = [node["key"] for node in nodes]
    # Ordered as the text tree orders them: by their text, equal texts in registration order.
    assert keys == [["tarn"], "('tarn',)", "brelk", "data", "vennu"]
    ours = [node for node in nodes if node["key"] in ("data", ["tarn"], "('tarn',)")]
    assert [[r["class"] for r in node["records"]] for node in ours] == [["probe_kolm.C"]] * 3


def text_tree(text):
    """The text tree as nested [label, children] lists, read from the prefixes of its lines."""
    root = ["plugins", []]
    stack = [root]
    for line in text.splitlines()[1:]:
        prefix, marker, label = line.partition("|__ ")
        if not marker:
            continue  # an empty node's line, holding only its bar
        depth, position = 0, 0
        while position < len(prefix):
            position += 3 if prefix.startswith("  |", position) else 2
            depth += 1
        node = [label.partition(" = ")[0], []]
        del stack[depth:]
        stack[-1][1].append(node)
        stack.append(node)
    return root


def shown(key):
    """How the text tree shows a key that --json gives as `key`."""
    if isinstance(key, list):
        return str(tuple(key))
    return key["repr"] if isinstance(key, dict) else str(key)


def test_json_and_text_tree_order_mixed_keys_alike(tmp_path):
    (tmp_path / "probe_kolm.py").write_text(
        "from mirtal import __plugin_manager__ as m\n"
        "class C:\n    pass\n"
        "for os in (('t', 1), 'dravo', frozenset({'f'}), 'data', 'Zeta'):\n"
        "    m.register_plugin(C, os=os)\n"
        "for chassis_type in ('stack', ('x',), 7, 'dual_rp', 'Top'):\n"
        "    m.register_plugin(C, os='quilos', chassis_type=chassis_type)\n"
        "for series in ('b2', 'a1', '10'):\n"
        "    m.register_plugin(C, os='dravo', series=series)\n"
    )
    distribution(tmp_path, "mirtal-probe", {"kolm": "probe_kolm"})
    text, answer = run(path=tmp_path), run("--json", path=tmp_path)
    assert (text.returncode, answer.returncode) == (0, 0)

    def compare(nodes, levels):
        # Below the root, a level's "data" holds the records; the other keys are its children.
        assert [shown(node["key"]) for node in nodes] == [label for label, _ in levels]
        for node, (_, level) in zip(nodes, levels):
            data = [records for label, records in level if label == "data"]
            assert [shown(r["chassis_type"]) for r in node["records"]] == [
                label for label, _ in (data[0] if data else [])]
            compare(node["children"], [lv for lv in level if lv[0] != "data"])

    levels = text_tree(text.stdout)[1]
    assert [label for label, _ in levels] == [
        "('t', 1)", "Zeta", "brelk", "data", "dravo", "frozenset({'f'})", "quilos", "vennu"]
    compare(json.loads(answer.stdout)["plugins"], levels)
    quilos = next(node for node in json.loads(answer.stdout)["plugins"] if node["key"] == "quilos")
    assert [r["chassis_type"] for r in quilos["records"]] == [["x"], 7, "Top", "dual_rp", "stack"]


def test_version_and_console_script():
    version = importlib.metadata.version("mirtal")
    assert mirtal.__version__ == version
    script = run("--version", command=[*PYTHON, os.path.join(BIN, "mirtal")])
    assert (script.returncode, script.stdout) == (0, f"mirtal {version}\n")
    args = ("--os", "vennu", "--series", "zq4")
    assert run(*args, command=[*PYTHON, os.path.join(BIN, "mirtal")]).stdout == run(*args).stdout


# Exit statuses -----------------------------------------------------------------------------------

USAGE_ERRORS = [
    (["--series", "zq4"], "--series needs --os"),
    (["--model", "m1"], "--model needs --os"),
    (["--chassis-type", "dual_rp"], "--chassis-type needs --os"),
    (["--os"], "argument --os: expected one argument"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--chassis", "dual_rp", "--os", "brelk"], "unrecognized arguments: --chassis dual_rp"),
    (["--check", "--os", "brelk"], "--check does not take --os"),
    (["--exclude"], "argument --exclude: expected one argument"),
]

REJECTED_LOOKUPS = [
    (["--os", "vennu", "--series", "zq4", "--chassis-type", "dual_rp"],
     "Plugin data not found for (vennu/zq4), type: dual_rp "),
    (["--os", "tarvik", "--series", "r2"],
     "Plugin data not found for (tarvik/r2), type: single_rp "),
    (["--os", "vennu", "--series", "ZQ4"], "Series (ZQ4) has to be in lowercase"),
    (["--os", "vennu", "--series", "data"], "Series (data) is a reserved name"),
    (["--os", "vennu", "--model", "m1"], "OS and Series are required for Model: m1"),
    (["--os", ""], "OS should be one of these ['brelk', "),
    (["--os", "vennu", "--chassis-type", "tower"], "chassis Type should be one of these "
     "['single_rp', 'dual_rp', 'stack'], but got tower"),
]


@pytest.mark.parametrize("args, message", USAGE_ERRORS)
def test_usage_error_exits_2_before_the_manager_is_asked(args, message):
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("usage: python -m mirtal [-h]")
    assert result.stderr.endswith(f"\npython -m mirtal: error: {message}\n")
    assert "should be one of these" not in result.stderr

    answer = run(*args, "--json")
    assert answer.returncode == 2
    assert json.loads(answer.stdout) == {"error": {"type": "UsageError", "message": message}}


@pytest.mark.parametrize("args, message", REJECTED_LOOKUPS)
def test_rejected_or_failed_lookup_exits_1_with_its_message_first(args, message):
    result = run(*args)
    assert (result.returncode, result.stdout) == (1, "")
    first, *more = result.stderr.splitlines()
    assert first.startswith("mirtal: " + message.strip()) and first == first.rstrip()
    # A rejection is one line; a lookup that found nothing adds what may help.
    assert bool(more) == message.startswith("Plugin data not found")

    answer = run(*args, "--json")
    assert answer.returncode == 1
    error = json.loads(answer.stdout)["error"]
    assert error["type"] == "ConnectionInfraError" and error["message"].startswith(message)


@pytest.mark.parametrize("args, hint, suggestion", [
    (["--os", "venu"], ["no OS venu in the tree; did you mean vennu?",
                        "the OSes in the tree: brelk, vennu"], ["os", "venu", "vennu"]),
    (["--os", "vennu", "--series", "zq4", "--chassis-type", "dual_rp"],
     ["node vennu/zq4 answered; it holds the chassis types single_rp, and the models m1"], None),
    (["--os", "vennu", "--series", "zq5", "--chassis-type", "stack"],
     ["no series zq5 under vennu; did you mean zq4?",
      "node vennu answered; it holds the chassis types single_rp, and the series zq4"],
     ["series", "zq5", "zq4"]),
    (["--os", "vennu", "--exclude", "mirtal.plugins"], ["no plugins are loaded"], None),
])
def test_failed_lookup_tells_what_the_tree_holds_and_close_names(args, hint, suggestion):
    result = run(*args)
    assert result.returncode == 1
    assert result.stderr.splitlines()[1:] == [f"mirtal: {line}" for line in hint]
    answer = json.loads(run(*args, "--json").stdout)
    assert answer["hint"]["text"] == hint
    found = answer["hint"]["suggestion"]
    assert (found and [found["level"], found["given"], found["match"]]) == suggestion
    assert answer["hint"]["no_plugins"] == (hint == ["no plugins are loaded"])


def test_help_states_the_exit_statuses():
    result = run("--help")
    assert result.returncode == 0
    status = result.stdout.split("exit status:\n", 1)[1]
    assert [line.split()[0] for line in status.splitlines() if line[2:3].isdigit()] == [
        "0", "1", "2", "130"]
    assert "without --os" in status


# Failing plugins ---------------------------------------------------------------------------------


def test_verbose_shows_loading_of_external_plugin(site):
    (site / "probe_kolm.py").write_text(PLUGIN.format(name="KolmConnection"))
    quiet = run("--os", "kolm", path=site)
    assert (quiet.returncode, quiet.stderr) == (0, "")
    assert quiet.stdout.splitlines()[0] == "class: probe_kolm.KolmConnection"

    verbose = run("-v", "--os", "kolm", path=site)
    assert verbose.stdout == quiet.stdout
    assert "DEBUG mirtal: Loading external plugin kolm from probe_kolm\n" in verbose.stderr


BROKEN = "plugin broken (mirtal_nosuchmodule) of mirtal-broken 1.0 failed to load: "


@pytest.mark.parametrize("module, requires, culprit", [
    (None, (), BROKEN + "ModuleNotFoundError: No module named 'mirtal_nosuchmodule'"),
    ("import os\nraise RuntimeError('broken\\nplugin')\n", (),
     BROKEN + "RuntimeError: broken plugin ({site}/mirtal_nosuchmodule.py, line 2)"),
    ("", ["mirtal-nosuchdep"], BROKEN + "DistributionNotFound: The 'mirtal-nosuchdep' "
     "distribution was not found and is required by the application"),
])
def test_failing_plugin_is_named_and_keep_going_loads_the_others(site, module, requires, culprit):
    (site / "probe_kolm.py").write_text(PLUGIN.format(name="KolmConnection"))
    if module is not None:
        (site / "mirtal_nosuchmodule.py").write_text(module)
    distribution(site, "mirtal-broken", {"broken": "mirtal_nosuchmodule"}, requires)
    line = "mirtal: " + culprit.format(site=site) + "\n"

    for args in [(), ("--os", "brelk")]:
        result = run(*args, path=site)
        assert (result.returncode, result.stdout, result.stderr) == (1, "", line)

    going = run("--keep-going", "--os", "kolm", path=site)
    assert (going.returncode, going.stderr) == (1, line)
    assert going.stdout.startswith("class: probe_kolm.KolmConnection\n")

    stopped = json.loads(run("--json", "--os", "kolm", path=site).stdout)
    assert stopped["error"]["type"] == "PluginLoadError"
    assert stopped["error"]["message"] == line[len("mirtal: "):-1]
    plugin = stopped["error"]["plugin"]
    assert (plugin["entry_point"], plugin["distribution"], plugin["version"]) == (
        "broken", "mirtal-broken", "1.0")

    answer = json.loads(run("-k", "--json", "--os", "kolm", path=site).stdout)
    assert answer["lookup"]["class"] == "probe_kolm.KolmConnection"
    assert [e["exception"] for e in answer["load_errors"]] == [culprit.split(": ")[1]]


def test_failing_builtin_plugin_is_reported_and_keep_going_loads_external_ones(site):
    package = package_copy(site, {"plugins/zz_broken.py": "raise RuntimeError('no luck')\n"})
    package = package / "mirtal"
    (site / "probe_kolm.py").write_text(PLUGIN.format(name="KolmConnection"))
    line = ("mirtal: built-in plugin mirtal.plugins.zz_broken failed to load: RuntimeError: "
            f"no luck ({package}/plugins/zz_broken.py, line 1)\n")

    stopped = run("--os", "kolm", path=site)
    assert (stopped.returncode, stopped.stdout, stopped.stderr) == (1, "", line)
    going = run("-k", "--json", "--os", "kolm", path=site)
    assert (going.returncode, going.stderr) == (1, line)
    answer = json.loads(going.stdout)
    assert answer["lookup"]["class"] == "probe_kolm.KolmConnection"
    assert answer["load_errors"][0]["distribution"] == "mirtal"


def test_keep_going_still_fails_a_lookup_it_cannot_answer(tmp_path):
    distribution(tmp_path, "mirtal-broken", {"broken": "mirtal_nosuchmodule"})
    result = run("-k", "--json", "--os", "kolm", path=tmp_path)
    assert result.returncode == 1
    answer = json.loads(result.stdout)
    assert answer["error"]["message"].startswith("Plugin data not found for (kolm)")
    assert answer["load_errors"][0]["entry_point"] == "broken"
    assert result.stderr.splitlines()[1] == (
        "mirtal: Plugin data not found for (kolm), type: single_rp")


# Output streams ----------------------------------------------------------------------------------


@pytest.mark.parametrize("args", [(), ("--json",), ("--help",)])
def test_closed_pipe_ends_quietly_as_by_sigpipe(args):
    reader, writer = os.pipe()
    process = subprocess.Popen([*PYTHON, "-m", "mirtal", *args], stdout=writer,
                               stderr=subprocess.PIPE, env=isolated_environment(), cwd=BIN)
    os.close(writer)
    os.close(reader)  # before the child has written anything
    _, stderr = process.communicate(timeout=60)
    assert (process.returncode, stderr) == (-signal.SIGPIPE, b"")


@pytest.mark.parametrize("args", [(), ("--json",), ("--os", "brelk"), ("--version",)])
def test_full_disk_is_one_line_and_status_1(args):
    with open("/dev/full", "w") as full:
        result = run(*args, stdout=full, stderr=subprocess.PIPE, capture_output=False)
    assert result.returncode == 1
    assert result.stderr == "mirtal: cannot write the output: No space left on device\n"


def test_unencodable_class_name_is_escaped(site):
    (site / "probe_kolm.py").write_text(PLUGIN.format(name="KölmConnection"), encoding="utf-8")
    ascii_only = {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0",
                  "PYTHONIOENCODING": ""}
    tree = run(path=site, env=ascii_only)
    assert (tree.returncode, tree.stderr) == (0, "")
    assert "|__ cls = <class 'probe_kolm.K\\xf6lmConnection'>" in tree.stdout
    answer = run("--os", "kolm", path=site, env=ascii_only)
    assert answer.stdout.startswith("class: probe_kolm.K\\xf6lmConnection\n")
    answer = run("--os", "kolm", "--json", path=site, env=ascii_only)
    assert json.loads(answer.stdout)["lookup"]["class"] == "probe_kolm.KölmConnection"
