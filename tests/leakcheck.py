"""Exact leak check for a debug interpreter (sys.gettotalrefcount): `make refleak`.

Every operation of leak_cases runs a few thousand times after a warm-up; a net growth of total
references or of allocated blocks in every round fails the check, as the interpreter's own leak
hunting does.
"""

import gc
import sys

import leak_cases

LOOPS = 2000
HEAVY = {"discover builtin": 50, "discover builtin import fails": 300}


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck needs a debug interpreter (sys.gettotalrefcount)")
    failures = []
    for name, operation, expected in leak_cases.build_cases():
        raised = leak_cases.run(operation, expected)
        if raised is not expected:
            failures.append(f"{name}: raised {raised}, expected {expected}")
            continue
        loops = HEAVY.get(name, LOOPS)
        for label, measure in (("refs", sys.gettotalrefcount), ("blocks", sys.getallocatedblocks)):
            gc.collect()
            deltas = leak_cases.growth(measure, operation, expected, loops)
            if all(delta > 0 for delta in deltas):
                failures.append(f"{name}: {label} grew by {deltas} over {loops} calls per round")
        print(f"ok  {name}")
    if failures:
        print("\n".join(["LEAKS:"] + failures))
        sys.exit(1)
    print(f"no leaks in {len(leak_cases.build_cases())} operations")


if __name__ == "__main__":
    main()
