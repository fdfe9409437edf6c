"""`mirtal --check` against plugin distributions on disk that misbehave while they are imported:
whatever one does, the check finishes, names it and the reason, still checks the others, and under
--json prints exactly one JSON object on stdout."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from schema import assert_valid_report
from sites import PYTHON, distribution, environment

REGISTER = """\
from mirtal import __plugin_manager__
class {cls}:
    pass
__plugin_manager__.register_plugin({cls}, os={os!r})
"""
GOOD_MODULE = REGISTER.format(cls="KolmConnection", os="kolm")


def lay_out(root, body, entry_point="bad", metadata=None, entry_points_text=None):
    """Two sys.path folders: `first` with the distribution mirtal-bad whose module runs `body`,
    `second` with mirtal-good (entry point kolm), loaded after it."""
    first, second = root / "first", root / "second"
    first.mkdir()
    second.mkdir()
    distribution(first, "mirtal-bad", {entry_point: "mirtal_bad"})
    info = first / "mirtal_bad-1.0.dist-info"
    if metadata is not None:
        (info / "METADATA").write_text(metadata)
    if entry_points_text is not None:
        (info / "entry_points.txt").write_bytes(entry_points_text)
    (first / "mirtal_bad.py").write_text(textwrap.dedent(body))
    distribution(second, "mirtal-good", {"kolm": "mirtal_good"})
    (second / "mirtal_good.py").write_text(GOOD_MODULE)
    return first, second


def check(paths, *args, timeout=120, **options):
    return subprocess.run([*PYTHON, "-m", "mirtal", "--check", *args], capture_output=True,
                          env=environment(*paths), cwd=paths[0], timeout=timeout, **options)


def both(paths, *args):
    """The check as text and as JSON: (text run, JSON run, the JSON document)."""
    text = check(paths, *args)
    as_json = check(paths, "--json", *args)
    document = json.loads(as_json.stdout.decode("ascii"))
    assert_valid_report(document)
    return text, as_json, document


def warned_load(paths, result):
    """`load_plugins(on_error="warn")` in one process, its warnings caught: `result`, a Python
    expression of `caught`, `report` and `statuses` (the external sources'), decoded from JSON."""
    code = ("import json, warnings, mirtal\n"
            "with warnings.catch_warnings(record=True) as caught:\n"
            "    warnings.simplefilter('always')\n"
            "    report = mirtal.load_plugins(on_error='warn')\n"
            "statuses = [s.status for s in report.sources if s.kind == 'external']\n"
            f"print(json.dumps([{result}]))\n")
    done = subprocess.run([*PYTHON, "-c", code], capture_output=True, text=True,
                          env=environment(*paths), timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def source_of(document, module):
    [source] = [s for s in document["sources"] if s["module"] == module]
    return source


def assert_sound(text, as_json, document, *expected):
    """Exit 1, the culprit and reason named in the text and the JSON, mirtal-good still loaded."""
    out = text.stdout.decode()
    assert text.returncode == as_json.returncode == 1, (out, text.stderr.decode())
    for piece in expected:
        assert piece in out, out
        assert piece.replace("tampering: ", "") in json.dumps(document), piece
    assert document["ok"] is False
    assert source_of(document, "mirtal_good")["status"] == "loaded"
    assert all(ord(c) >= 32 or c == "\n" for c in out)


# What a plugin does while it is imported, and what the check says of it.
ENDS = [
    ("import sys\nsys.exit(0)\n", ["plugin bad (mirtal_bad)", "SystemExit: 0"]),
    ("import sys\nsys.exit(3)\n", ["SystemExit: 3"]),
    ("import sys\nsys.exit('bye')\n", ["SystemExit: bye"]),
    ("raise GeneratorExit('gen')\n", ["GeneratorExit: gen"]),
    ("class Stop(BaseException):\n    pass\nraise Stop('custom')\n", ["Stop: custom"]),
    ("raise KeyboardInterrupt\n", ["KeyboardInterrupt"]),
    ("import os\nos._exit(0)\n", ["plugin bad (mirtal_bad)", "ended the process with status 0"]),
    ("import os\nos._exit(3)\n", ["ended the process with status 3"]),
    # A crash: SIGSEGV, or SIGABRT where a preloaded sanitizer turns the crash into an abort.
    ("import os, signal\nos.kill(os.getpid(), signal.SIGSEGV)\n", ["killed by signal"]),
    ("import ctypes\nctypes.string_at(0)\n", ["killed by signal"]),
]


@pytest.mark.parametrize("body, expected", ENDS)
def test_a_plugin_that_ends_or_stops_the_import_is_a_failure_and_the_rest_is_checked(
        tmp_path, body, expected):
    paths = lay_out(tmp_path, body)
    text, as_json, document = both(paths)
    assert_sound(text, as_json, document, *expected)
    [failure] = document["failures"]
    assert failure["entry_point"] == "bad" and failure["distribution"] == "mirtal-bad"


UNPRINTABLE = [
    ("class E(Exception):\n    def __str__(self):\n        raise ValueError('no')\nraise E()\n",
     "E: <unprintable E>"),
    ("class E(Exception):\n    def __str__(self):\n        return 5\nraise E()\n",
     "E: <unprintable E>"),
    ("class Meta(type):\n    @property\n    def __name__(cls):\n        raise RuntimeError\n"
     "class E(Exception, metaclass=Meta):\n    pass\nraise E('named')\n", "E: named"),
]


@pytest.mark.parametrize("body, expected", UNPRINTABLE)
def test_an_exception_that_cannot_be_printed_is_named_all_the_same(tmp_path, body, expected):
    paths = lay_out(tmp_path, body)
    text, as_json, document = both(paths)
    assert_sound(text, as_json, document, expected)
    # In one process, warnings go on past it with the report whole.
    count, statuses, message = warned_load(
        paths, "len(caught), statuses, str(report.failures[0].error)")
    assert (count, statuses) == (1, ["failed", "loaded"]) and expected in message


WRITES = [
    "print('chatter from a plugin')\n" + REGISTER.format(cls="Bad", os="oru"),
    "import logging, sys\nlogging.basicConfig(stream=sys.stdout, level=logging.DEBUG)\n"
    "logging.getLogger('mirtal').warning('logged on stdout')\n",
    "import os\nos.write(1, b'straight to the descriptor\\n')\n",
    "import os, sys\nsys.stdout = open(os.devnull, 'w')\n",
]


@pytest.mark.parametrize("body", WRITES)
def test_what_a_plugin_writes_never_becomes_the_checks_output(tmp_path, body):
    paths = lay_out(tmp_path, body)
    text = check(paths)
    as_json = check(paths, "--json")
    assert text.returncode == as_json.returncode == 0, text.stderr
    assert text.stdout.decode().splitlines()[-1].endswith("0 failed to load, 0 conflicts")
    document = json.loads(as_json.stdout)
    assert_valid_report(document)
    assert document["ok"] is True
    assert b"chatter" not in text.stdout + as_json.stdout
    assert b"descriptor" not in text.stdout


def test_a_thread_left_running_does_not_keep_the_check_and_is_told(tmp_path):
    paths = lay_out(tmp_path, "import threading, time\n"
                              "threading.Thread(target=time.sleep, args=(600,), name='poller')"
                              ".start()\n")
    text = check(paths, timeout=120)  # the thread sleeps 600 s: not waited for
    out = text.stdout.decode()
    assert text.returncode == 0, out
    assert "note: plugin bad (mirtal_bad) of mirtal-bad 1.0 left threads running: poller" in out
    # Nor by the other modes, which load in their own process.
    tree = subprocess.run([*PYTHON, "-m", "mirtal", "--os", "kolm"], capture_output=True,
                          text=True, env=environment(*paths), timeout=120)
    assert (tree.returncode, tree.stdout.splitlines()[0]) == (
        0, "class: mirtal_good.KolmConnection")
    assert tree.stderr == ("mirtal: note: not waiting for the threads that plugins left running: "
                           "poller\n")


# Ctrl-C as the child has just been started, before run_check knows it: the child is ended then
# and there, not left to the end of the calling process.
AS_THE_CHILD_STARTS = """\
import os, signal, subprocess
from mirtal.check import run_check
started = []
class Started(subprocess.Popen):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        started.append(self)
        os.kill(os.getpid(), signal.SIGINT)
subprocess.Popen = Started
outcome = run_check([], [])
print(outcome.interrupted, outcome.unfinished, [child.poll() for child in started])
"""


def interruptible(args, paths):
    """The command with SIGINT at its default, as from a terminal, whatever this process
    inherited (a background job's SIGINT is ignored, and Python then leaves it so)."""
    return subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=environment(*paths), cwd=paths[0],
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def test_ctrl_c_before_the_loading_began_leaves_no_child_behind(tmp_path):
    paths = lay_out(tmp_path, "import time\ntime.sleep(600)\n")
    process = interruptible([*PYTHON, "-m", "mirtal", "--check"], paths)
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    # Pipes that a child left alive would hold this open.
    process.communicate(timeout=60)
    assert process.returncode in (1, 130, -signal.SIGINT)

    process = interruptible([*PYTHON, "-c", AS_THE_CHILD_STARTS], paths)
    out, err = process.communicate(timeout=60)
    assert (process.returncode, out) == (0, f"True interrupted [{-signal.SIGKILL}]\n"), err


def test_a_crash_is_named_by_its_signal(tmp_path):
    paths = lay_out(tmp_path, "import os, signal\nos.kill(os.getpid(), signal.SIGTERM)\n")
    text, as_json, document = both(paths)
    assert_sound(text, as_json, document, "killed by signal 15 (SIGTERM)")


def test_a_plugin_that_hangs_is_timed_out_and_ctrl_c_still_stops_the_check(tmp_path):
    started = tmp_path / "started"
    paths = lay_out(tmp_path, f"import time\nopen({str(started)!r}, 'w').close()\n"
                              "time.sleep(600)\n")
    text, as_json, document = both(paths, "--timeout", "2")
    assert_sound(text, as_json, document, "did not finish loading within 2 s")

    started.unlink()
    process = interruptible([*PYTHON, "-m", "mirtal", "--check", "--json"], paths)
    for _ in range(1200):  # until the plugin hangs (a minute at most)
        if started.exists():
            break
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 130, err
    partial = json.loads(out)
    assert_valid_report(partial)
    assert partial["ok"] is False and "interrupted while plugin bad" in partial["unfinished"]
    assert source_of(partial, "mirtal.plugins.vennu")["status"] == "loaded"


TAMPERS = [
    ("import mirtal\nm = mirtal.__plugin_manager__\n"
     "m.register_plugin = lambda *a, **k: None\n",
     "rebound register_plugin on the shared manager"),
    ("import mirtal\nfrom mirtal.core.pluginmanager import PluginManager\n"
     "mirtal.__plugin_manager__ = PluginManager()\n",
     "replaced mirtal.__plugin_manager__"),
    ("import mirtal\nmirtal.__plugin_manager__.unregister_plugin('vennu')\n",
     "removed or replaced classes that other sources registered"),
    ("import mirtal\nmirtal.__plugin_manager__.plugins.clear()\n",
     "mirtal.plugins.brelk.SingleRpConnection at brelk (single_rp) of mirtal.plugins.brelk"),
]


@pytest.mark.parametrize("body, expected", TAMPERS)
def test_a_plugin_that_tampers_with_the_manager_fails_the_check(tmp_path, body, expected):
    paths = lay_out(tmp_path, body)
    text, as_json, document = both(paths)
    assert_sound(text, as_json, document, expected)
    assert "tampering: plugin bad (mirtal_bad) of mirtal-bad 1.0 " in text.stdout.decode()
    bad = source_of(document, "mirtal_bad")
    assert bad["registrations"] is None and expected in " ".join(bad["tampering"])


def test_a_module_left_out_that_is_imported_anyway_is_reported(tmp_path):
    paths = lay_out(tmp_path, "import mirtal_good\n")
    text, as_json, document = both(paths, "--exclude", "kolm")
    out = text.stdout.decode()
    assert text.returncode == as_json.returncode == 1
    assert ("excluded but imported: plugin kolm (mirtal_good) of mirtal-good 1.0 was left out, "
            "yet another source imported its module mirtal_good") in out
    assert document["ok"] is False


@pytest.mark.parametrize("metadata, entry_points, failure", [
    (None, b"[mirtal.plugins]\nbad = mirtal_bad\nb\xffd = mirtal_bad\n",
     "the entry points of mirtal-bad 1.0 failed to load: UnicodeDecodeError"),
    ("Metadata-Version: 2.1\nName: mirtal-bad\n", None, None),
])
def test_one_bad_distribution_hides_nothing(tmp_path, metadata, entry_points, failure):
    paths = lay_out(tmp_path, REGISTER.format(cls="OruConnection", os="oru"),
                    metadata=metadata, entry_points_text=entry_points)
    # The version comes from the folder's name, so drop it there too for the second case.
    if metadata is not None:
        os.rename(paths[0] / "mirtal_bad-1.0.dist-info", paths[0] / "mirtal_bad.dist-info")
    text, as_json, document = both(paths)
    assert source_of(document, "mirtal_good")["status"] == "loaded"
    if failure is None:
        assert text.returncode == 0, text.stdout
        assert source_of(document, "mirtal_bad")["status"] == "loaded"
    else:
        assert text.returncode == 1 and failure in text.stdout.decode()


def test_plugin_text_is_escaped_for_people_and_faithful_in_json(tmp_path):
    body = ("import mirtal\n"
            "Bell = type('Bell\\a', (), {})\n"
            "mirtal.__plugin_manager__.register_plugin(Bell, os='zz\\n  |__ forged')\n"
            "raise RuntimeError('erase\\x1b[1A\\x1b[2K\\x00 and \\udc80')\n")
    paths = lay_out(tmp_path, body, entry_point="esc\x1b[2K")
    text, as_json, document = both(paths)
    out = text.stdout.decode()
    assert text.returncode == 1
    assert "\x1b" not in out and "\x00" not in out and "\a" not in out
    assert "plugin esc\\x1b[2K (mirtal_bad)" in out
    assert "RuntimeError: erase\\x1b[1A\\x1b[2K\\x00 and \\udc80" in out
    [failure] = document["failures"]
    assert failure["exception_message"] == "erase\x1b[1A\x1b[2K\x00 and \\udc80"
    assert failure["entry_point"] == "esc\x1b[2K"

    tree = subprocess.run([*PYTHON, "-m", "mirtal", "-k"], capture_output=True,
                          env=environment(*paths), cwd=paths[0], timeout=60)
    lines = tree.stdout.decode().splitlines()
    assert "  |__ zz\\n  |__ forged" in lines and "  |__ forged" not in lines
    assert any("cls = <class 'mirtal_bad.Bell\\x07'>" in line for line in lines)


HOSTILE_KEY = """\
import mirtal
class Key(str):
    def __hash__(self):
        if mirtal.__dict__.get('_armed'):
            raise RuntimeError('no hash')
        return str.__hash__(self)
    def __lt__(self, other):
        raise RuntimeError('no order')
    __gt__ = __lt__
class C:
    pass
m = mirtal.__plugin_manager__
m.register_plugin(C, os=Key('oru'))
m.register_plugin(C, os=Key('plo'))
mirtal._armed = True
"""


TEXTLESS_KEY = ("from mirtal import __plugin_manager__\nclass K:\n    def __str__(self):\n"
                "        raise RuntimeError('no text')\nclass C:\n    pass\n"
                "__plugin_manager__.register_plugin(C, os='quilos', chassis_type=K())\n")


@pytest.mark.parametrize("body, args, status", [
    # Keys whose hash and order fail are shown by their text.
    (HOSTILE_KEY, ["-k"], 0), (HOSTILE_KEY, ["-k", "--json"], 0),
    (HOSTILE_KEY, ["--check"], 0), (HOSTILE_KEY, ["--check", "--json"], 0),
    # A key without a text cannot be drawn as the text tree: one line says so. The JSON
    # shows it by its type.
    (TEXTLESS_KEY, ["-k"], 1), (TEXTLESS_KEY, ["-k", "--json"], 0),
])
def test_hostile_keys_never_end_the_command_in_a_traceback(tmp_path, body, args, status):
    paths = lay_out(tmp_path, body)
    result = subprocess.run([*PYTHON, "-m", "mirtal", *args], capture_output=True,
                            env=environment(*paths), cwd=paths[0], timeout=60)
    assert result.returncode == status, result.stderr.decode()
    assert b"Traceback" not in result.stderr, result.stderr.decode()
    if "--json" in args:
        json.loads(result.stdout)
    if status:
        [line] = result.stderr.decode().splitlines()
        assert line == "mirtal: cannot show the plugin tree: RuntimeError: no text"


def test_the_check_is_the_same_run_after_run_whatever_the_hash_seed(tmp_path):
    body = ("import mirtal\nclass C:\n    pass\n"
            "mirtal.__plugin_manager__.register_plugin(C, os=frozenset('abcdefgh'))\n"
            "mirtal.__plugin_manager__.register_plugin(C, os='oru')\n"
            "mirtal.__plugin_manager__.register_plugin(type('D', (), {}), os='oru')\n")
    paths = lay_out(tmp_path, body)
    runs = set()
    for seed in ("1", "2", "3"):
        env = environment(*paths, extra={"PYTHONHASHSEED": seed})
        for args in (["--check"], ["--check", "--json"], ["--json"]):
            done = subprocess.run([*PYTHON, "-m", "mirtal", *args], capture_output=True,
                                  env=env, cwd=paths[0], timeout=60)
            runs.add((tuple(args), done.stdout))
    assert len(runs) == 3
    assert b"frozenset({'a', 'b', 'c'" in b"".join(out for _, out in runs)


@pytest.mark.parametrize("args, key", [(["--version", "--json"], "version"),
                                       (["--help", "--json"], "help"),
                                       (["--bogus", "--json"], "error")])
def test_json_is_one_object_in_every_outcome(args, key):
    done = subprocess.run([*PYTHON, "-m", "mirtal", *args], capture_output=True, text=True,
                          env=environment(), timeout=60)
    assert list(json.loads(done.stdout)) == [key]


def test_closed_stdout_and_a_reader_that_goes_away(tmp_path):
    closed = subprocess.run(f"{sys.executable} -S -m mirtal >&-", shell=True,
                            capture_output=True, text=True, env=environment(), timeout=60)
    assert closed.returncode == 1
    assert closed.stderr == "mirtal: cannot write the output: standard output is closed\n"

    # A tree of more than 64 KiB, cut off after one line.
    (tmp_path / "wide.py").write_text(
        "from mirtal import __plugin_manager__ as m\nclass C:\n    pass\n"
        "for i in range(3000):\n    m.register_plugin(C, os='os%d' % i)\n")
    distribution(tmp_path, "mirtal-wide", {"wide": "wide"})
    cut = subprocess.run(f"{sys.executable} -S -m mirtal | head -1; "
                         "echo \"status ${{PIPESTATUS[0]}}\"".replace("{{", "{").replace("}}", "}"),
                         shell=True, executable="/bin/bash", capture_output=True, text=True,
                         env=environment(tmp_path), timeout=60)
    assert cut.stdout.splitlines() == ["plugins", f"status {128 + signal.SIGPIPE}"]


OVERRIDE = ("from mirtal import __plugin_manager__\n"
            "class M1Override:\n    pass\n"
            "__plugin_manager__.register_plugin(M1Override, os='vennu', series='zq4', "
            "model='m1')\n")
TREE = """\
import json, mirtal
report = mirtal.load_plugins(on_error=lambda failure: None)
m = mirtal.__plugin_manager__
print(json.dumps([m.get_plugin(os="vennu", series="zq4", model="m1").__name__,
                  m.get_plugin(os="kolm").__name__, sorted(m.plugins),
                  [c.accepted for c in report.conflicts],
                  [s.status for s in report.sources if s.kind == "external"]]))
"""


@pytest.mark.parametrize("order", ["override first", "override last"])
def test_an_intended_override_passes_the_check_and_the_service_loads_the_same(tmp_path, order):
    folders = {}
    for name, module, body in [("override", "mirtal_override", OVERRIDE),
                               ("good", "mirtal_good", GOOD_MODULE),
                               ("broken", "mirtal_broken", "raise RuntimeError('broken')\n")]:
        folder = folders[name] = tmp_path / name
        folder.mkdir()
        distribution(folder, f"mirtal-{name}", {name: module})
        (folder / f"{module}.py").write_text(body)
    names = ["override", "good", "broken"]
    paths = [folders[name] for name in (names if order == "override first" else names[::-1])]
    settings = ["--prefer", "vennu/zq4/m1=override", "--exclude", "dist:Mirtal_Broken"]
    text, as_json, document = both(paths, *settings)
    assert (text.returncode, as_json.returncode) == (0, 0), text.stdout.decode()
    assert text.stdout.decode().startswith(
        "accepted: vennu/zq4/m1 (single_rp): mirtal.plugins.vennu.zq4.m1.M1Connection by "
        "mirtal.plugins.vennu.zq4.m1, then mirtal_override.M1Override by override")
    [conflict] = document["conflicts"]
    assert (conflict["accepted"], conflict["class"]) == (True, "mirtal_override.M1Override")

    env = environment(*paths, extra={"MIRTAL_PREFER": "vennu/zq4/m1=override",
                                     "MIRTAL_EXCLUDE_PLUGINS": "dist:mirtal-broken"})
    done = subprocess.run([*PYTHON, "-c", TREE], capture_output=True, text=True, env=env,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    m1, kolm, tree, accepted, statuses = json.loads(done.stdout)
    assert (m1, kolm, accepted) == ("M1Override", "KolmConnection", [True])
    assert tree == ["brelk", "kolm", "vennu"] and sorted(statuses) == ["excluded", "loaded",
                                                                         "loaded"]


def test_a_stale_preference_and_a_rival_at_another_chassis_type_fail_the_check(tmp_path):
    paths = lay_out(tmp_path, REGISTER.format(cls="BrelkRival", os="brelk")
                    .replace("os='brelk')", "os='brelk', chassis_type='dual_rp')"))
    text, _, document = both(paths, "--prefer", "brelk=bad", "--prefer", "kolm=bad")
    out = text.stdout.decode()
    assert text.returncode == 1
    assert "preference brelk=bad: bad registered nothing at brelk (single_rp)" in out
    assert "conflict: brelk (dual_rp): mirtal.plugins.brelk.DualRpConnection" in out
    assert [p["honoured"] for p in document["preferences"]] == [False, False]


@pytest.mark.parametrize("versions, listing_decides", [(("1.0", "1.0"), True),
                                                        (("1.0", "2.0"), False)])
def test_a_conflict_says_when_the_folders_listing_decided_its_winner(tmp_path, versions,
                                                                     listing_decides):
    for name, version in zip(("mirtal-aa", "mirtal-bb"), versions):
        module = name.replace("-", "_")
        info = tmp_path / f"{module}-{version}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
        (info / "entry_points.txt").write_text(f"[mirtal.plugins]\n{module} = {module}\n")
        (tmp_path / f"{module}.py").write_text(REGISTER.format(cls="Oru", os="oru"))
    text, _, document = both([tmp_path])
    [conflict] = document["conflicts"]
    [line] = [line for line in text.stdout.decode().splitlines() if line.startswith("conflict:")]
    assert conflict["decided_by"] == (str(tmp_path) if listing_decides else None)
    assert line.endswith(f"(decided by the listing order of {tmp_path}: equal versions)") \
        == listing_decides


def test_a_failed_plugin_loaded_again_is_no_collision_with_itself_and_tracebacks_go_to_stderr(
        tmp_path):
    paths = lay_out(tmp_path, REGISTER.format(cls="Half", os="oru") + "raise RuntimeError('x')\n")
    code = ("import json, mirtal\n"
            "first = mirtal.load_plugins(on_error=lambda failure: None)\n"
            "again = mirtal.load_plugins(on_error=lambda failure: None)\n"
            "print(json.dumps([len(first.failures), len(again.failures), len(again.conflicts)]))\n")
    done = subprocess.run([*PYTHON, "-c", code], capture_output=True, text=True,
                          env=environment(*paths), timeout=60)
    assert json.loads(done.stdout) == [1, 1, 0], done.stderr

    traced = check(paths, "--traceback")
    err = traced.stderr.decode()
    assert traced.returncode == 1 and "Traceback" not in traced.stdout.decode()
    assert err.startswith("traceback of plugin bad (mirtal_bad) of mirtal-bad 1.0:\n"
                          "Traceback (most recent call last):\n")
    assert "mirtal_bad.py\", line 5, in <module>" in err and err.rstrip().endswith(
        "RuntimeError: x")
    kept_going = subprocess.run([*PYTHON, "-m", "mirtal", "-k", "--traceback", "--os", "kolm"],
                                capture_output=True, text=True, env=environment(*paths),
                                timeout=60)
    assert "RuntimeError: x" in kept_going.stderr and kept_going.returncode == 1


def test_a_plugin_that_turns_warnings_into_errors_cannot_lose_the_report(tmp_path):
    paths = lay_out(tmp_path, "import warnings\nwarnings.simplefilter('error')\n"
                              "raise RuntimeError('after the filter')\n")
    distribution(paths[1], "mirtal-later", {"later": "mirtal_later"})
    (paths[1] / "mirtal_later.py").write_text("raise ValueError('later')\n")
    warned, statuses = warned_load(
        paths, "[str(w.message).split(':')[0] for w in caught], statuses")
    assert warned == ["plugin bad (mirtal_bad) of mirtal-bad 1.0 failed to load",
                      "plugin later (mirtal_later) of mirtal-later 1.0 failed to load"]
    assert sorted(statuses) == ["failed", "failed", "loaded"]


def test_a_plugin_whose_own_process_outlives_the_check_is_found_at_once(tmp_path):
    # The forked process holds the check's pipe open after the loading process has ended.
    paths = lay_out(tmp_path, "import os, time\nif os.fork() == 0:\n    time.sleep(30)\n"
                              "    os._exit(0)\nos._exit(4)\n")
    # Not seen, the end would be taken for a hang (the forked process sleeps past the timeout).
    # Killed with the check's own process group at the end.
    text, as_json, document = both(paths, "--timeout", "20")
    assert_sound(text, as_json, document, "ended the process with status 4")
