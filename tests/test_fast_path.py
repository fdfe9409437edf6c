"""Which way a manager reaches self's attributes and methods, as the test build counts them
(`make fastpath`; the wheel has no counts): every case that may read the attributes where the
interpreter keeps them, or call the class's own functions, does so, and every case that must look
them up does. When the probe at import finds a layout other than the one expected, the attributes
come from the instance dict, and the library's log says why."""

import json
import os
import subprocess
import sys

import pytest

from mirtal.core import pluginmanager
from mirtal.core.pluginmanager import PluginManager

if not hasattr(pluginmanager, "_path_counts"):
    if os.environ.get("MIRTAL_EXPECT_TEST_BUILD"):
        pytest.fail("the installed extension is not the test build (make fastpath builds it)",
                    pytrace=False)
    pytest.skip("needs the test build of the extension (make fastpath)", allow_module_level=True)

CALLS = 20
# The ways counted, in the order of state.hpp's Path.
PATHS = ("inline_values", "own_dict", "kept_reading", "not_plain", "direct", "lookup")
READS = ("inline_values", "own_dict", "kept_reading")
# Where a plain manager's attributes are read on every call: inline from 3.12; on 3.11 from its
# dict, whose reading is kept while the dict's stamp stands.
INLINE = "inline_values" if sys.version_info >= (3, 12) else "kept_reading"
OWN_DICT = "own_dict" if sys.version_info >= (3, 12) else "kept_reading"


class Plugin:
    pass


class Series(str):
    """Not an exact str: the checks then run one by one instead of in one pass."""


class Sub(PluginManager):
    pass


def manager():
    m = PluginManager()
    m.register_plugin(Plugin, os="vennu", series="zq4")
    return m


def path_counts():
    return dict(zip(PATHS, pluginmanager._path_counts.cast("n"), strict=True))


def counted(call):
    """The counts of CALLS calls, after one that warms up."""
    call()
    before = path_counts()
    for _ in range(CALLS):
        assert call() is Plugin
    after = path_counts()
    return {path: after[path] - before[path] for path in after}


def patched_and_restored(m):
    original = PluginManager.__dict__["validate_os"]
    for value in (lambda self, os: None, original):
        PluginManager.validate_os = value
        m.get_plugin("vennu", "zq4")


def dict_of_its_own(m):
    m.__dict__ = dict(vars(m))


# Each case: how the manager is changed, and where it must then read its attributes on every
# call (None: it is not plain, but still calls the class's own functions).
FAST = {
    "plain": (lambda m: None, INLINE),
    "patched class, restored": (patched_and_restored, INLINE),
    "class attribute added and removed": (
        lambda m: (setattr(PluginManager, "flag", 1), delattr(PluginManager, "flag")), INLINE),
    "dict of its own": (dict_of_its_own, OWN_DICT),
    "extra attribute": (lambda m: setattr(m, "note", 1), None),
}


# What is called: a lookup checked in one pass; one whose checks run one by one (validate_arguments
# and its four checks called as our own functions); a printout (self.print_tree for each child).
OPERATIONS = {
    "one pass": (lambda m: m.get_plugin("vennu", "zq4"), 0),
    "checks one by one": (lambda m: m.get_plugin("vennu", Series("zq4")), 5),
    "printout": (lambda m: m.print_tree(m.plugins) and Plugin, 3),
}


@pytest.mark.parametrize("operation", list(OPERATIONS))
@pytest.mark.parametrize("case", list(FAST))
def test_the_fast_path_is_taken(case, operation):
    (change, where), (call, direct_calls) = FAST[case], OPERATIONS[operation]
    m = manager()
    change(m)
    counts = counted(lambda: call(m))
    assert counts["lookup"] == 0 and counts["direct"] >= direct_calls * CALLS, counts
    if where is None:  # the attributes are looked up, the methods are not
        assert counts["not_plain"] >= CALLS and counts["direct"] >= CALLS, counts
        assert sum(counts[path] for path in READS) == 0, counts
    else:
        assert counts[where] >= CALLS and counts["not_plain"] == 0, counts
        assert sum(counts[path] for path in READS if path != where) == 0, counts


def subclass_instance(mp, m):
    m = Sub()
    m.register_plugin(Plugin, os="vennu", series="zq4")
    return m


# What must go the interpreter's way: each change (it gives the manager to call), and whether all
# of self's methods are looked up (with an override in the instance dict, the others are our own).
SLOW = {
    "subclass instance": (subclass_instance, True),
    "__class__ assigned": (lambda mp, m: setattr(m, "__class__", Sub) or m, True),
    "class patched": (lambda mp, m: mp.setattr(PluginManager, "validate_os",
                                                 lambda self, os: None) or m, True),
    "class descriptor for an attribute": (lambda mp, m: mp.setattr(
        PluginManager, "supported_os", property(lambda self: ["vennu"]), raising=False) or m, True),
    "override in the instance dict": (
        lambda mp, m: setattr(m, "validate_os", lambda os: None) or m, False),
}


@pytest.mark.parametrize("case", list(SLOW))
def test_the_fast_path_is_not_taken(case, monkeypatch):
    change, methods_looked_up = SLOW[case]
    m = change(monkeypatch, manager())
    counts = counted(lambda: m.get_plugin("vennu", "zq4"))
    assert sum(counts[path] for path in READS) == 0, counts
    assert counts["not_plain"] >= CALLS and counts["lookup"] >= CALLS, counts
    if methods_looked_up:
        assert counts["direct"] == 0, counts


# A fresh interpreter imports the extension with the layout that its probe expects skewed (or
# not), then counts where a plain manager's attributes are read; the log's lines are kept.
CHILD = """
import json, logging
lines = []
handler = logging.Handler()
handler.emit = lambda record: lines.append(record.getMessage())
logger = logging.getLogger("mirtal")
logger.addHandler(handler)
logger.setLevel(logging.DEBUG)
from mirtal.core import pluginmanager
class Plugin:
    pass
m = pluginmanager.PluginManager()
m.register_plugin(Plugin, os="vennu", series="zq4")
before = pluginmanager._path_counts.cast("n").tolist()
found = all(m.get_plugin("vennu", "zq4") is Plugin for _ in range(20))
after = pluginmanager._path_counts.cast("n").tolist()
print(json.dumps({"lines": lines, "found": found,
                  "counts": [a - b for a, b in zip(after, before)]}))
"""

# Which stage of the probe each skew fails at.
SKEWS = {
    "slot": "the managed dict is not in its slot",
    "kind": "no attributes were found",
    "head": "the attributes read are not the instance's",
}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="3.11 reads no layout of its own")
@pytest.mark.parametrize("skew", [None, *SKEWS])
def test_a_layout_not_found_by_the_probe_is_never_read(skew, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "MIRTAL_TEST_LAYOUT_SKEW"}
    if skew:
        env["MIRTAL_TEST_LAYOUT_SKEW"] = skew
    (tmp_path / "child.py").write_text(CHILD)  # register_plugin reads the class's file
    done = subprocess.run([sys.executable, str(tmp_path / "child.py")], env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    child = json.loads(done.stdout)
    counts = dict(zip(PATHS, child["counts"], strict=True))
    lines = [line for line in child["lines"] if "layout" in line]
    assert child["found"]
    if skew is None:
        assert lines == [] and counts["inline_values"] >= 20 and counts["own_dict"] == 0, child
    else:
        assert lines == [
            "PluginManager reads its instances' attributes from their dict: their layout is not "
            f"the one expected ({SKEWS[skew]})"], child
        assert counts["inline_values"] == 0 and counts["own_dict"] >= 20, child
