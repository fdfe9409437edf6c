"""Every operation, success and error paths, looped: the allocated blocks must not grow.

The exact version (total reference counts on a debug interpreter) is `make refleak`.
"""

import gc
import sys

import pytest

import leak_cases

CASES = leak_cases.build_cases()


@pytest.mark.parametrize(("name", "operation", "expected"), CASES, ids=[case[0] for case in CASES])
def test_no_growth(name, operation, expected, shared_tree):
    assert leak_cases.run(operation, expected) is expected
    loops = 20 if name.startswith("discover builtin") else 300
    gc.collect()
    deltas = leak_cases.growth(sys.getallocatedblocks, operation, expected, loops)
    assert not all(delta > 0 for delta in deltas), deltas
