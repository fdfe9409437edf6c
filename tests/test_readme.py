"""The README's examples, run as a reader would run them, against the installed package.

The README is read top to bottom as one session in a scratch directory:

- a ```python or ```toml block whose first line is `# <path>` is a file. Under `examples/` or
  `src/` it must be the repository's file (if the repository has it). A `src/mirtal/...` file goes
  into a copy of the installed package; an `examples/<dist>/...` file into an installation
  directory, its `pyproject.toml` installed there as the distribution's metadata; any other file
  into the working directory.
- a ```console block runs each `$ ` command with bash in the working directory and compares what
  it prints (stdout and stderr together) with the lines below it; `...` stands for any text.
- a ```pycon block runs as a doctest.

Every other block is shown only, and must not hold a command line of mirtal: such an example would
escape this test.
"""

import doctest
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import mirtal
from sites import environment, write_scripts

REPO = Path(__file__).resolve().parents[1]
README = REPO / "README.md"
MARK = "@@ readme-test status @@"


def fenced_blocks(text):
    """(language, body, line number of the opening fence) of each fenced block."""
    blocks = []
    for match in re.finditer(r"^```(\w*)\n(.*?)^```$", text, re.M | re.S):
        line = text.count("\n", 0, match.start()) + 1
        blocks.append((match.group(1), match.group(2), line))
    return blocks


BLOCKS = fenced_blocks(README.read_text(encoding="utf-8"))
RUN = [block for block in BLOCKS if block[0] in ("console", "pycon")]


def file_header(body):
    first, _, rest = body.partition("\n")
    return (first[2:].strip(), rest) if first.startswith("# ") else (None, body)


def install_metadata(site, pyproject):
    project = tomllib.loads(pyproject)["project"]
    name, version = project["name"], project["version"]
    info = site / f"{name.replace('-', '_')}-{version}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    requires = "".join(f"Requires-Dist: {r}\n" for r in project.get("dependencies", ()))
    (info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n{requires}")
    groups = project.get("entry-points", {})
    (info / "entry_points.txt").write_text("".join(
        f"[{group}]\n" + "".join(f"{key} = {value}\n" for key, value in points.items())
        for group, points in groups.items()))


class Session:
    """The scratch directories of one reading of the README."""

    def __init__(self, root):
        self.work, self.package, self.site = root / "work", root / "package", root / "site"
        self.work.mkdir()
        self.site.mkdir()
        shutil.copytree(Path(mirtal.__file__).parent, self.package / "mirtal",
                        ignore=shutil.ignore_patterns("__pycache__"))

    def add_file(self, path, body):
        parts = Path(path).parts
        if parts[0] == "examples" and len(parts) > 2:
            if parts[2:] == ("pyproject.toml",):
                install_metadata(self.site, body)
                return
            target = self.site.joinpath(*parts[2:])
        elif parts[0] == "src":
            target = self.package.joinpath(*parts[1:])
        else:
            target = self.work / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(body, encoding="utf-8")

    def environment(self):
        # `python` and `mirtal` see the package, the README's distributions and pytest (for the
        # plugin authors' tests), and nothing else that is installed.
        scripts = write_scripts(self.work.parent / "bin")
        path = os.pathsep.join([str(scripts), os.path.dirname(sys.executable), os.environ["PATH"]])
        return environment(self.package, self.site, distributions=["pytest"], extra={
            "COLUMNS": "80", "NO_COLOR": "1", "LC_ALL": "C.UTF-8", "PATH": path})


def session_before(line, root):
    """A session that has taken in every file shown above the given README line."""
    session = Session(root)
    for language, body, start in BLOCKS:
        path, content = file_header(body)
        if start < line and language in ("python", "toml") and path:
            session.add_file(path, content)
    return session


def commands(body):
    """(command, expected output) pairs of a console block."""
    pairs = []
    for line in body.splitlines():
        if line.startswith("$ "):
            pairs.append((line[2:], []))
        else:
            assert pairs, "a console block starts with a command"
            pairs[-1][1].append(line)
    return [(command, "\n".join(lines)) for command, lines in pairs]


def matches(expected, actual):
    strip = "\n".join(line.rstrip() for line in actual.strip("\n").splitlines())
    pattern = ".*?".join(map(re.escape, expected.split("...")))
    return re.fullmatch(pattern, strip, re.S) is not None


@pytest.mark.parametrize("language, body, line", RUN, ids=[f"line {b[2]}" for b in RUN])
def test_example_prints_what_the_readme_shows(tmp_path, language, body, line):
    if language == "pycon":
        # Sessions shown one after another continue each other: replay the earlier ones first.
        names = {}
        runner = doctest.DocTestRunner(
            optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        for _, earlier, start in [b for b in RUN if b[0] == "pycon" and b[2] <= line]:
            test = doctest.DocTestParser().get_doctest(
                earlier, names, f"README line {start}", str(README), start)
            runner.run(test, clear_globs=False)
            names = test.globs  # the test ran in a copy of the names it was given
        assert runner.failures == 0, f"README line {line}: see the doctest report above"
        return
    session = session_before(line, tmp_path)
    pairs = commands(body)
    script = "".join(f"{command} 2>&1\nstatus=$?; echo '{MARK}'; (exit $status)\n"
                     for command, _ in pairs)
    result = subprocess.run(["bash", "-c", script], cwd=session.work, capture_output=True,
                            text=True, env=session.environment(), timeout=120)
    outputs = result.stdout.split(MARK + "\n")
    assert len(outputs) == len(pairs) + 1, result.stderr
    for (command, expected), actual in zip(pairs, outputs):
        assert matches(expected, actual), (
            f"README line {line}: $ {command}\n--- shown ---\n{expected}\n--- got ---\n{actual}")


def test_files_shown_under_a_repository_path_are_the_repository_files():
    shown = [file_header(body) for language, body, _ in BLOCKS if language in ("python", "toml")]
    assert all(path for path, _ in shown), "a python or toml block names its file"
    checked = 0
    for path, content in shown:
        if path.startswith(("src/", "examples/")) and (REPO / path).exists():
            assert content == (REPO / path).read_text(encoding="utf-8"), path
            checked += 1
    assert checked >= 2


def test_every_command_line_example_is_run():
    command = re.compile(r"^\s*(\$ )?(python -m mirtal|mirtal)( |$)", re.M)
    for language, body, line in BLOCKS:
        if language not in ("console", "pycon"):
            assert not command.search(body), f"README line {line}: an example not run by tests"


# The documents whose links and make targets are checked.
DOCUMENTS = ["README.md", "CONTRIBUTING.md"]


def anchor(heading):
    """The fragment a heading gets on the usual markdown hosts."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


@pytest.mark.parametrize("document", DOCUMENTS)
def test_links_point_at_files_and_headings_that_exist(document):
    text = (REPO / document).read_text(encoding="utf-8")
    prose = re.sub(r"^```.*?^```$", "", text, flags=re.M | re.S)
    headings = {anchor(h) for h in re.findall(r"^#+ (.*)$", prose, re.M)}
    links = re.findall(r"\]\(([^)\s]+)\)", prose)
    assert links
    for link in links:
        if re.match(r"\w+://", link):
            continue
        path, _, fragment = link.partition("#")
        if path:
            assert (REPO / document).parent.joinpath(path).exists(), f"{document}: {link}"
        else:
            assert fragment in headings, f"{document}: {link}"


@pytest.mark.parametrize("document", DOCUMENTS)
def test_make_targets_named_are_targets_of_the_makefile(document):
    makefile = REPO / "Makefile"
    if not makefile.exists():
        pytest.skip("needs the clone's Makefile")
    targets = set(re.findall(r"^([\w-]+):", makefile.read_text(), re.M))
    text = (REPO / document).read_text(encoding="utf-8")
    # `make x` in the text, and the command lines of the blocks that begin with make.
    blocks = "\n".join(body for _, body, _ in fenced_blocks(text))
    named = set(re.findall(r"`make ([a-z][\w-]*)", text))
    named |= set(re.findall(r"^make ([a-z][\w-]*)", blocks, re.M))
    assert named and named <= targets, sorted(named - targets)
