"""The allocation-failure harness (tests/nomemory.py, run by make nomemory) finds what it is for: a
failure turned into a wrong answer, a half-changed state, an error lost on the way out."""

import os
import sys

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("no _testcapi.set_nomemory", allow_module_level=True)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nomemory  # noqa: E402


def case(operation, state=lambda: None, allowed=None):
    return lambda: lambda: (operation, state, allowed)


def swallows():
    try:
        items = [None] * 1000
    except MemoryError:
        return "wrong"
    return "right" if items else "empty"


def half_changes():
    store = {}

    def operation():
        store["a"] = 1
        store["b"] = [None] * 1000

    def prepare():
        store.clear()
        return operation, lambda: sorted(store), None
    return lambda: prepare


FAULTY = {
    "a failure turned into another answer": case(swallows),
    "a half-changed state": half_changes(),
}


@pytest.mark.parametrize("name", sorted(FAULTY))
def test_a_fault_is_reported(name):
    report = nomemory.run_case(name, lambda n: None, FAULTY)
    assert len(report["problems"]) == 1
    assert ("left the state changed" in report["problems"][0]) == (name == "a half-changed state")


@pytest.mark.parametrize("name", ["get_plugin miss", "register_plugin new nodes",
                                  "print_tree mixed keys"])
def test_the_extension_passes_and_failures_are_injected(name):
    report = nomemory.run_case(name, lambda n: None)
    assert report["problems"] == []
    assert report["injected"] > 0 and report["counts"]["MemoryError"] > 0


def test_a_replaced_tree_is_seen_whichever_allocation_fails():
    # A failure anywhere on the way must not leave a reading of the freed tree to be used.
    assert nomemory.run_case("tree replaced, then a lookup", lambda n: None)["problems"] == []
