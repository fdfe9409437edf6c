"""The differential fuzzer's inputs replayed against the installed extension: every saved finding
(fuzz/findings) and every seed (fuzz/seeds) must run the same on both sides, and the harness must
catch a difference when there is one."""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if not os.path.exists(os.path.join(ROOT, "fuzz", "harness.py")):
    pytest.skip("the fuzz harness is not in this tree", allow_module_level=True)
sys.path.insert(0, os.path.join(ROOT, "fuzz"))

import harness  # noqa: E402

INPUTS = sorted(
    os.path.join(directory, name)
    for directory in (os.path.join(ROOT, "fuzz", "findings"), os.path.join(ROOT, "fuzz", "seeds"))
    for name in os.listdir(directory)
    if not name.startswith(".") and not name.endswith(".md")
)


@pytest.mark.parametrize("path", INPUTS, ids=[os.path.basename(path) for path in INPUTS])
def test_saved_input_runs_the_same_on_both_sides(path):
    with open(path, "rb") as handle:
        data = handle.read()
    # A difference the harness does not explain raises; one by design ends the program early.
    group = harness.check(data)
    assert group is None or group in harness.BY_DESIGN


def test_inputs_replay_the_same_twice():
    """No state survives an input: classes patched by a program are put back, nothing in the
    palette is shared (a shared replacement tree once made a later input differ)."""
    for path in INPUTS:
        with open(path, "rb") as handle:
            data = handle.read()
        assert harness.check(data) == harness.check(data)


def op(name, *picks):
    return bytes([harness.OPERATIONS.index(name)] + list(picks) + [0] * (6 - len(picks)))


@pytest.mark.parametrize(
    ("method", "program"),
    [
        # os "brelk", the other arguments left out (a pick of 96 to 127 leaves one out)
        ("get_plugin",
         op("register_plugin", 0, 0, 96, 96, 96, 1) + op("get_plugin", 0, 96, 96, 96)),
        ("validate_os", op("validate_os", 0)),
        ("__repr__", op("repr")),
    ],
)
def test_a_difference_is_caught(monkeypatch, method, program):
    """The harness is only worth its runs if it fails: the baseline made to answer otherwise."""
    original = getattr(harness.baseline.PluginManager, method)

    def different(self, *args, **kwargs):
        result = original(self, *args, **kwargs)
        return "other" if result is None else "other " + str(result)

    monkeypatch.setattr(harness.baseline.PluginManager, method, different)
    with pytest.raises(harness.Difference):
        harness.check(bytes([1]) + program)


def pick(count, index, modulo=None, remainder=None):
    """A byte that selects entry index of count (and leaves remainder modulo modulo)."""
    return next(b for b in range(256)
                if b % count == index and (modulo is None or b % modulo == remainder))


@pytest.mark.parametrize("kind", [harness.ArithStr, str])
def test_rendering_differences_are_findings_whatever_the_output(monkeypatch, kind):
    """A rendering that differs is a finding, also when its output is a str subclass with
    operators of its own (both sides build such text through the interpreter's + and ==)."""
    palette = harness.World("baseline", False).palette
    entries = len(palette) + 3
    output = "out" if kind is harness.ArithStr else "zq4"
    value = next(i for i, v in enumerate(palette)
                 if type(v) is kind and str.__eq__(v, output))
    data = next(i for i, v in enumerate(palette) if type(v) is dict and v == {"a": 1})
    original = harness.baseline.PluginManager.print_tree
    monkeypatch.setattr(harness.baseline.PluginManager, "print_tree",
                        lambda self, data, output="plugin": "changed " + original(self, data,
                                                                                    output))
    program = bytes([1]) + op("print_tree", pick(entries, data), pick(entries, value, 3, 1))
    with pytest.raises(harness.Difference):
        harness.check(program)
