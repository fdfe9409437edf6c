"""make fuzz: runs fuzz/harness.py under libFuzzer for a set time and prints what it did.

    python fuzz/run.py --seconds N --out DIR [--jobs J]

The harness runs in a child process with atheris's AddressSanitizer+libFuzzer runtime preloaded
(the extension is built with clang's -fsanitize=address,undefined,fuzzer-no-link). New inputs go to
DIR/corpus (the seeds in fuzz/seeds are read too), findings to DIR/findings and the log to
DIR/log.txt. Exit status 1 if there is a finding: copy it to fuzz/findings/ with a name that says
what it found, and it is replayed by the test suite from then on.
"""

import argparse
import os
import platform
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MAX_RUNS = 25


def runtime():
    import atheris

    path = os.path.join(os.path.dirname(os.path.dirname(atheris.__file__)), "asan_with_fuzzer.so")
    if not os.path.exists(path):
        path = os.path.join(atheris.path(), "asan_with_fuzzer.so")
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--out", required=True)
    parser.add_argument("--max-len", type=int, default=256)
    parser.add_argument("--runs", type=int,
                        help="a repeatable run instead: this many inputs from the seeds alone, "
                             "with --seed, a fixed hash seed and no address randomisation (CI)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    corpus = os.path.join(args.out, "corpus" if args.runs is None else "corpus-repeatable")
    if args.runs is not None:
        shutil.rmtree(corpus, ignore_errors=True)
    findings = os.path.join(args.out, "findings")
    for directory in (corpus, findings):
        os.makedirs(directory, exist_ok=True)
    log_path = os.path.join(args.out, "log.txt")
    before = set(os.listdir(findings))
    env = dict(
        os.environ,
        LD_PRELOAD=runtime(),
        PYTHONMALLOC="malloc",
        ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:handle_abort=1:allocator_may_return_null=1",
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
    )
    command = [
        sys.executable, os.path.join(HERE, "harness.py"),
        "-max_total_time=%d" % args.seconds, "-max_len=%d" % args.max_len,
        "-timeout=20", "-rss_limit_mb=3072", "-print_final_stats=1",
        "-artifact_prefix=%s/" % findings, corpus, os.path.join(HERE, "seeds"),
    ]
    if args.runs is not None:
        # The same inputs in the same order on every machine: libFuzzer's own seed, str hashes,
        # and object addresses (which order sets of objects) fixed.
        command[3:3] = ["-runs=%d" % args.runs, "-seed=%d" % args.seed]
        env["PYTHONHASHSEED"] = "0"
        if shutil.which("setarch"):
            command[:0] = ["setarch", platform.machine(), "-R"]
    timed = next(i for i, arg in enumerate(command) if arg.startswith("-max_total_time="))
    # A finding ends a libFuzzer run: the rest of the time goes on in a new run over the same
    # corpus (at most MAX_RUNS), so one finding does not hide the next.
    started = time.monotonic()
    texts, statuses = [], []
    with open(log_path, "w") as log:
        while len(texts) < MAX_RUNS:
            left = args.seconds - (time.monotonic() - started)
            if texts and left < 10:
                break
            log.write("=== run %d, %d s left\n" % (len(texts) + 1, left))
            log.flush()
            mark = log.tell()
            command[timed] = "-max_total_time=%d" % max(left, 1)
            statuses.append(subprocess.call(command, stdout=log, stderr=subprocess.STDOUT,
                                            env=env))
            log.flush()
            with open(log_path, errors="replace") as handle:
                handle.seek(mark)
                texts.append(handle.read())
            if statuses[-1] == 0 or args.runs is not None:
                break
    elapsed = time.monotonic() - started
    report(texts, elapsed, statuses, findings, before, log_path)
    new = sorted(set(os.listdir(findings)) - before)
    sys.exit(1 if new or any(statuses) else 0)


def report(texts, elapsed, statuses, findings, before, log_path):
    executions = 0
    for text in texts:
        found = re.findall(r"stat::number_of_executed_units:\s+(\d+)", text)
        if not found:  # ended before the final stats: the last status line
            found = re.findall(r"#(\d+)\s", text) or ["0"]
        executions += int(found[-1])
    speed = int(executions / elapsed) if elapsed else 0
    text = "".join(texts)
    coverage = re.findall(r"cov: (\d+) ft: (\d+)", text)
    corpus = re.findall(r"corp: (\d+)/", text)
    interpreter = re.search(r"fuzz: interpreter ([^,\s]+)", text)
    print("fuzz: interpreter %s, %.0f s" % (interpreter.group(1) if interpreter else "?", elapsed))
    print("fuzz: %d executions, %s per second, %d libFuzzer runs" % (executions, speed,
                                                                   len(texts)))
    if coverage:
        print("fuzz: coverage %s edges, %s features; corpus %s inputs" % (
            coverage[-1][0], coverage[-1][1], corpus[-1] if corpus else "?"))
    new = sorted(set(os.listdir(findings)) - before)
    print("fuzz: %d findings%s" % (len(new), "".join("\n  " + os.path.join(findings, name)
                                                    for name in new)))
    for number, (status, run_text) in enumerate(zip(statuses, texts), 1):
        if status:
            start = run_text.find("=== Uncaught Python exception")
            if start < 0:
                start = max(run_text.find("==ERROR"), run_text.find("ERROR: "), 0)
            print("fuzz: run %d ended with status %d (%s):\n%s" % (
                number, status, log_path, run_text[start:start + 3000]))


if __name__ == "__main__":
    main()
