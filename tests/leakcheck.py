"""Exact leak check: `make refleak` (debug interpreter) and `make leakloop` (any interpreter).

Every operation of leak_cases runs a few thousand times after a warm-up; a net growth of allocated
blocks in every round fails the check, and on a debug interpreter (sys.gettotalrefcount) a growth
of total references too, as the interpreter's own leak hunting does.
"""

import gc
import sys

import leak_cases

LOOPS = 2000
HEAVY = {"discover builtin": 50, "discover builtin replaced import": 50,
         "discover builtin import fails": 300}


def main():
    measures = [("blocks", sys.getallocatedblocks)]
    if hasattr(sys, "gettotalrefcount"):
        measures.insert(0, ("refs", sys.gettotalrefcount))
    elif sys.getallocatedblocks() == 0:
        sys.exit("leakcheck: this interpreter counts neither references nor allocated blocks")
    failures = []
    for name, operation, expected in leak_cases.build_cases():
        raised = leak_cases.run(operation, expected)
        if raised is not expected:
            failures.append(f"{name}: raised {raised}, expected {expected}")
            continue
        loops = HEAVY.get(name, LOOPS)
        for label, measure in measures:
            gc.collect()
            deltas = leak_cases.growth(measure, operation, expected, loops)
            if all(delta > 0 for delta in deltas):
                failures.append(f"{name}: {label} grew by {deltas} over {loops} calls per round")
        print(f"ok  {name}")
    if failures:
        print("\n".join(["LEAKS:"] + failures))
        sys.exit(1)
    counted = " and ".join(label for label, _ in measures)
    print(f"no leaks in {len(leak_cases.build_cases())} operations ({counted} counted)")


if __name__ == "__main__":
    main()
