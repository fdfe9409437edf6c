"""The deployment check: the plugins loaded in a child interpreter that no plugin can take down.

``run_check()`` starts one interpreter that loads every source as ``load_plugins`` does and tells
this process, over a pipe of its own, which source it is loading and what each one did. What a
plugin writes to its stdout (the descriptor too) goes to stderr there; this process's stdout stays
the check's own. When the child ends while a source loads (any exit status, a signal, a crash in a
plugin's C extension) or does not answer within the timeout, that source is reported as failed,
and the load starts again without it, so one plugin never hides the others. The child's answer
is the report itself; threads a plugin left running there cannot keep the check from ending,
since the child is ended as soon as it has answered.
"""

from __future__ import annotations

import fcntl
import json
import os
import selectors
import signal
import subprocess
import sys
import time
from typing import Any

DEFAULT_TIMEOUT = 60.0

# Run by the child: the parent's sys.path, then the loading.
_BOOT = ("import sys, json; sys.path[:] = json.loads(sys.argv[1]); "
         "from mirtal.check import child_main; child_main(sys.argv[2])")


class Outcome:
    """What the check learnt: the report's JSON document and the lines for people, whether it
    finished, and the failures that only this process saw (a source that ended the child)."""

    def __init__(self) -> None:
        self.document: dict[str, Any] | None = None
        self.lines: list[str] = []
        self.ok = False
        #: Set when the check could not finish (it never says "fine" then): the reason.
        self.unfinished: str | None = None
        self.interrupted = False
        #: The sources reported so far, as the child sent them (for an unfinished check).
        self.partial: list[dict[str, Any]] = []
        self.partial_lines: list[str] = []
        self.tracebacks: list[str] = []
        self.starts = 0


def _interpreter_flags() -> list[str]:
    flags = getattr(subprocess, "_args_from_interpreter_flags", None)
    try:
        return list(flags()) if flags is not None else []
    except Exception:
        return []


def _signal_name(number: int) -> str:
    try:
        return f" ({signal.Signals(number).name})"
    except ValueError:
        return ""


def _ended(status: int) -> str:
    if status < 0:
        return f"killed by signal {-status}{_signal_name(-status)}"
    return f"ended the process with status {status}"


class _Child:
    """One child interpreter and the events it sends."""

    def __init__(self, config: dict[str, Any], timeout: float) -> None:
        self.timeout = timeout
        read, pipe_end = os.pipe()
        # Above the standard descriptors, which the child points elsewhere.
        write = fcntl.fcntl(pipe_end, fcntl.F_DUPFD_CLOEXEC, 3)
        os.close(pipe_end)
        try:
            config = {**config, "fd": write, "parent": os.getpid()}
            paths = [path for path in sys.path if isinstance(path, str)]
            # The child's stdout and stderr are this process's stderr (or nothing, without one).
            errors = sys.stderr.fileno() if _has_fd(sys.stderr) else subprocess.DEVNULL
            self.process = subprocess.Popen(
                [sys.executable, *_interpreter_flags(), "-c", _BOOT, json.dumps(paths),
                 json.dumps(config)],
                stdin=subprocess.DEVNULL, stdout=errors, stderr=errors, pass_fds=(write,),
                start_new_session=True)
        except BaseException:
            os.close(read)
            raise
        finally:
            os.close(write)
        self.read = read
        self.buffer = b""
        self.eof = False

    def events(self) -> Any:
        """Each event as it comes; a ("timeout", None) or ("eof", None) ends them."""
        selector = selectors.DefaultSelector()
        selector.register(self.read, selectors.EVENT_READ)
        deadline = time.monotonic() + self.timeout
        try:
            while True:
                while b"\n" in self.buffer:
                    line, self.buffer = self.buffer.split(b"\n", 1)
                    try:
                        event = json.loads(line)
                    except ValueError:
                        event = {"event": "garbled"}
                    if not isinstance(event, dict):
                        event = {"event": "garbled"}
                    deadline = time.monotonic() + self.timeout
                    yield event.get("event"), event
                if self.eof:
                    yield "eof", None
                    return
                left = deadline - time.monotonic()
                if left <= 0:
                    yield "timeout", None
                    return
                # Looked at now and then: a process the child started may hold the pipe open
                # after the child itself has ended.
                if not selector.select(min(left, 0.5)):
                    if self.process.poll() is not None and not selector.select(0):
                        self.eof = True
                    continue
                chunk = os.read(self.read, 65536)
                if chunk:
                    self.buffer += chunk
                else:
                    self.eof = True
        finally:
            selector.close()

    def status(self, wait: float) -> int | None:
        try:
            return self.process.wait(wait)
        except subprocess.TimeoutExpired:
            return None

    def end(self) -> None:
        """Ends the child and whatever it started, and waits for it."""
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except OSError:
            pass
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        try:
            os.close(self.read)
        except OSError:
            pass


def _has_fd(stream: Any) -> bool:
    try:
        return stream is not None and stream.fileno() >= 0
    except (OSError, ValueError, AttributeError):
        return False


def run_check(exclude: list[str], prefer: list[str], *, timeout: float = DEFAULT_TIMEOUT,
              verbose: bool = False) -> Outcome:
    """Loads every source in a child interpreter and returns what it found. A source that ends
    the child or does not answer in time is left out of a new start and reported as failed."""
    outcome = Outcome()
    skip: dict[str, str] = {}
    config = {"exclude": exclude, "prefer": prefer, "verbose": verbose}
    while True:
        outcome.starts += 1
        culprit, reason = _one_run(outcome, {**config, "skip": skip}, timeout)
        if outcome.document is not None or outcome.interrupted or outcome.unfinished:
            return outcome
        if culprit is None or culprit in skip:
            outcome.unfinished = reason
            return outcome
        skip[culprit] = reason


def _one_run(outcome: Outcome, config: dict[str, Any],
             timeout: float) -> tuple[str | None, str]:
    """One child: the report it sent (in `outcome`), or the source that was loading when it
    ended, with what happened."""
    child: _Child | None = None
    loading: dict[str, Any] | None = None
    outcome.partial, outcome.partial_lines = [], []
    try:
        # A Ctrl-C while the child starts waits until the child is known (and so ended below):
        # it is raised when SIGINT is let through again, after the assignment.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            child = _Child(config, timeout)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        for kind, event in child.events():
            if kind == "start":
                loading = event
            elif kind == "done":
                loading = None
                outcome.partial.append(event.get("record"))
                outcome.partial_lines.extend(event.get("lines") or ())
            elif kind == "report":
                outcome.document = event.get("document")
                outcome.lines = list(event.get("lines") or ())
                outcome.ok = bool(event.get("ok"))
                outcome.tracebacks = list(event.get("tracebacks") or ())
                return None, ""
            elif kind == "broken":
                outcome.unfinished = "the check's loader failed: " + str(event.get("error"))
                return None, outcome.unfinished
            elif kind == "timeout":
                if loading is None:
                    return None, f"the check's loader did not answer within {timeout:g} s"
                return loading.get("ident"), f"did not finish loading within {timeout:g} s"
            elif kind == "eof":
                status = child.status(timeout)
                what = "closed the check's channel and did not end" if status is None \
                    else _ended(status)
                if loading is None:
                    return None, f"the check's loader {what} between two plugins"
                return loading.get("ident"), what
            elif kind == "garbled":
                # Something wrote into the channel: the source that was loading.
                what = "wrote into the check's own channel"
                if loading is None:
                    return None, f"the check's loader was disturbed: something {what}"
                return loading.get("ident"), what
    except KeyboardInterrupt:
        outcome.interrupted = True
        outcome.unfinished = "interrupted" + ("" if loading is None else
                                              f" while {loading.get('label')} was loading")
        return None, outcome.unfinished
    finally:
        if child is not None:
            child.end()
    return None, "the check's loader ended without an answer"


# The child ---------------------------------------------------------------------------------------


class _Channel:
    def __init__(self, fd: int) -> None:
        self.file = os.fdopen(fd, "w", encoding="ascii", closefd=True)

    def send(self, event: str, **fields: Any) -> None:
        self.file.write(json.dumps({"event": event, **fields}) + "\n")
        self.file.flush()


class _Observer:
    """Tells the parent which source is loading and what each one did."""

    def __init__(self, channel: _Channel) -> None:
        self.channel = channel

    def started(self, source: Any) -> None:
        from mirtal.report_format import source_label

        self.channel.send("start", ident=source.ident, label=source_label(source))

    def finished(self, source: Any) -> None:
        from mirtal.report_format import source_document

        self.channel.send("done", ident=source.ident, record=source_document(source),
                          lines=source_lines(source))


def source_lines(source: Any) -> list[str]:
    """What the parent shows of one source when the check is cut short: its failure and what it
    did to the report."""
    from mirtal.report_format import source_label
    from mirtal.text import shown

    lines = [] if source.error is None else ["failure: " + shown(source.error)]
    return lines + [f"tampering: {source_label(source)} {shown(what)}"
                    for what in source.tampering]


def child_main(config_text: str) -> None:
    """The child interpreter: loads every source, answers, and ends at once (no thread a plugin
    left can keep it)."""
    config = json.loads(config_text)
    _end_with_parent(config["parent"])
    channel = _Channel(config["fd"])
    status = 0
    try:
        # What a plugin writes to stdout, through sys.stdout or the descriptor, goes to stderr.
        sys.stdout.flush()
        os.dup2(2, 1)
        document, lines, ok, traces = _load_and_report(config, channel)
        channel.send("report", document=document, lines=lines, ok=ok, tracebacks=traces)
    except BaseException as error:  # nothing a plugin raised may stop the answer
        status = 3
        try:
            from mirtal.text import safe_str, type_name

            channel.send("broken", error=f"{type_name(error)}: {safe_str(error)}")
        except BaseException:
            pass
    finally:
        os._exit(status)


def _end_with_parent(parent: int) -> None:
    """The child is killed when the command that started it ends, however it ends (Linux)."""
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except Exception:
        pass
    if os.getppid() != parent:  # the parent ended before that took hold
        os._exit(1)


def _load_and_report(config: dict[str, Any],
                     channel: _Channel) -> tuple[dict[str, Any], list[str], bool, list[str]]:
    import logging

    import mirtal

    # The extension first: without pkg_resources, the package's words for what to do.
    from mirtal import (
        __plugin_manager__,  # noqa: F401
        loading,
        report_format,
        settings,
    )

    if config.get("verbose"):
        logging.basicConfig(stream=sys.stderr, format="%(levelname)s %(name)s: %(message)s")
        mirtal.log.setLevel(logging.DEBUG)
    chosen = settings.deployment(config["exclude"], config["prefer"], environ={})
    report = loading._load_all(
        True, True, chosen, lambda failure: None, catch=BaseException,
        skip=config.get("skip") or {}, verify_each=True, observer=_Observer(channel))
    problems = report_format.problems(report)
    return (report_format.check_document(report), check_lines(report, problems), not problems,
            tracebacks(report))


def tracebacks(report: Any) -> list[str]:
    """The traceback of each failure, headed by the failure's source."""
    from mirtal.report_format import source_label
    from mirtal.text import shown

    texts = []
    for source in report.failures:
        trace = source.error.traceback() if source.error is not None else ""
        if trace:
            texts.append("\n".join([f"traceback of {source_label(source)}:"]
                                   + [shown(line) for line in trace.rstrip("\n").split("\n")]))
    return texts


def check_lines(report: Any, problems: list[str]) -> list[str]:
    """The check's text: what fails it, what it tells besides, and a summary."""
    from mirtal.report_format import notes

    counts = report.counts()
    summary = ", ".join(f"{count} {status.replace('_', ' ')}"
                        for status, count in counts.items() if count)
    conflicts = report.conflicts
    accepted = sum(1 for conflict in conflicts if conflict.accepted)
    line = (f"{len(report.sources)} plugin sources ({summary or 'none'}): "
            f"{len(report.failures)} failed to load, {len(conflicts)} "
            + ("conflict" if len(conflicts) == 1 else "conflicts")
            + (f" ({accepted} accepted)" if accepted else ""))
    others = len(problems) - len(report.failures) - (len(conflicts) - accepted)
    if others:
        line += f", {others} other " + ("problem" if others == 1 else "problems")
    return [*problems, *notes(report), line]
