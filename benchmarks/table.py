"""Markdown from the JSON files of bench.py --json: one block per interpreter, both speed-ups
(plain Python / C++ and its Cython build / C++) and each target met or not, then a summary of the
targets across interpreters. make bench-matrix runs it on benchmarks/results/*.json.

    python benchmarks/table.py FILE.json [FILE.json ...]
"""

import json
import re
import sys

IMPLS = ("C++", "Python", "Cython")
CODE = re.compile(r"\b(get_plugin|validate_arguments|unregister_plugin|register_plugin|print_tree"
                  r"|repr|supported_os|quilos|str)\b")


def version_key(result):
    return tuple(int(part) for part in re.findall(r"\d+", result["machine"]["python"])[:3])


def label(text):
    return CODE.sub(r"`\1`", text)


def duration(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:,.2f} ms"
    return f"{ns:,.0f}"


def ratio(value):
    return "-" if value is None else f"{value:.2f}x"


def bound(target):
    if target["at_least"] is not None:
        return f">= {target['at_least']:g}x"
    return f"<= {target['at_most']:g}"


def target_cell(target):
    met = "met" if target["met"] else "**NOT MET**"
    return f"{target['name']} {bound(target)}: {met}"


def block(result):
    info = result["machine"]
    cases = result["cases"]
    runs = "quick run, " if result["quick"] else ""
    lines = [
        f"### CPython {info['python']}",
        "",
        f"{info['cpu']}, {info['cores']} cores; {runs}best of {result['repeats']} interleaved "
        f"repeats; Cython {result['cython']}; ns per call unless marked; {result['date']}.",
        "",
        "| case | C++ | Python | Cython | Python / C++ | Cython / C++ | C++ / floor | targets |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for row in cases.values():
        best = [row[impl]["best"] if row.get(impl) else None for impl in IMPLS]
        per_floor = ratio(row["per_floor"]) if row["per_floor"] is not None else ""
        lines.append(
            f"| {label(row['label'])} | {' | '.join(duration(ns) for ns in best)} "
            f"| {ratio(row['speedup']['Python'])} | {ratio(row['speedup']['Cython'])} "
            f"| {per_floor} | {'; '.join(target_cell(one) for one in row['targets'])} |"
        )
    lines.append(f"| floor: `tree[os][series][\"data\"][chassis][\"cls\"]` "
                 f"| {duration(result['floor_ns']['best'])} | | | | | | |")
    lines.append("")
    for what, growth in result["growth"].items():
        cython = f", {growth['Cython']:.0f}x in Cython" if growth.get("Cython") else ""
        met = "met" if growth["target"]["met"] else "**NOT MET**"
        lines.append(f"- `{what}`: 20,000 records take {growth['C++']:.1f}x the time of 2,000 in "
                     f"C++ (target <= 11: {met}), {growth['Python']:.1f}x in Python{cython}.")
    imports = result["import"]
    beyond = imports["module_beyond_pkg_resources_ms"]
    lines.append(
        f"- Import: {imports['module_ms']:.0f} ms in a fresh interpreter "
        f"(`pkg_resources` alone {imports['pkg_resources_ms']:.0f} ms); once `pkg_resources` is "
        f"imported, {beyond:.2f} ms (target <= 1 ms: {'met' if beyond <= 1 else '**NOT MET**'})."
    )
    missed = [(row, one) for row in cases.values() for one in row["targets"] if not one["met"]]
    if missed:
        lines.append("- Targets not met: " + "; ".join(
            f"{label(row['label'])}, {one['name']} {one['value']:.2f}x ({bound(one)})"
            for row, one in missed) + ".")
    else:
        lines.append("- Every target met.")
    return "\n".join(lines)


def summary(results):
    """The targeted cases by interpreter: both speed-ups, and whether the case meets its targets."""
    versions = [result["machine"]["python"] for result in results]
    keys = [key for key, row in results[0]["cases"].items() if row["targets"]]
    lines = [
        "### Targets by interpreter (Python / C++, Cython / C++)",
        "",
        "| case | targets | " + " | ".join(versions) + " |",
        "|---|---|" + "---:|" * len(versions),
    ]
    for key in keys:
        first = results[0]["cases"][key]
        targets = ", ".join(f"{one['name']} {bound(one)}" for one in first["targets"])
        cells = []
        for result in results:
            row = result["cases"].get(key)
            if row is None:
                cells.append("")
                continue
            speedups = " / ".join(ratio(row["speedup"][impl]) for impl in IMPLS[1:]
                                  if row["speedup"][impl] is not None)
            met = all(one["met"] for one in row["targets"])
            cells.append(f"{speedups} {'met' if met else '**NOT MET**'}")
        lines.append(f"| {label(first['label'])} | {targets} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: python benchmarks/table.py FILE.json [FILE.json ...]")
    results = []
    for path in sys.argv[1:]:
        with open(path) as source:
            results.append(json.load(source))
    results.sort(key=version_key)
    print("\n\n".join([summary(results), *(block(result) for result in results)]))


if __name__ == "__main__":
    main()
