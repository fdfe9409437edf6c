"""The release checks reject the faults they exist for (run by make release-check)."""

import os
import re
import shutil
import stat

import pytest
from release import (
    MATRIX,
    ReleaseError,
    compiler_free_env,
    linking_problems,
    metadata_problems,
    release_name,
    sdist_problems,
    wheel_file_problems,
)

NAME, VERSION = release_name()
INFO = f"{NAME}-{VERSION}.dist-info/"
PACKAGE = {"mirtal/__init__.py", "mirtal/core/__init__.py", "mirtal/core/pluginmanager.pyi",
           "mirtal/py.typed", "mirtal/plugins/vennu/__init__.py"}
EXTENSION = "mirtal/core/pluginmanager.cpython-311-x86_64-linux-gnu.so"
GOOD_WHEEL = sorted(PACKAGE | {EXTENSION, "mirtal/", INFO + "METADATA", INFO + "WHEEL",
                               INFO + "RECORD", INFO + "licenses/LICENSE"})


@pytest.mark.parametrize(("change", "expected"), [
    (lambda n: n + ["mirtal/core/pluginmanager/registry.cpp"], "C++ source"),
    (lambda n: n + ["mirtal/core/pluginmanager/ref.hpp"], "C++ source"),
    (lambda n: n + ["tests/test_registry.py"], "test file"),
    (lambda n: n + ["mirtal/__pycache__/__init__.cpython-311.pyc"], "unexpected file"),
    (lambda n: n + ["mirtal/core/CMakeFiles/pluginmanager.dir/module.cpp.o"], "unexpected"),
    (lambda n: n + ["mirtal.libs/libstdc++-a1b2c3.so.6"], "grafted"),
    (lambda n: [x for x in n if x != "mirtal/py.typed"], "missing: mirtal/py.typed"),
    (lambda n: [x for x in n if not x.endswith(".pyi")], "missing: mirtal/core/pluginmanager.pyi"),
    (lambda n: [x for x in n if "vennu" not in x], "missing package file"),
    (lambda n: [x for x in n if x != EXTENSION], "one extension module"),
    (lambda n: [x.replace("311", "312") if x == EXTENSION else x for x in n],
     "one extension module"),
    (lambda n: [x for x in n if not x.endswith("RECORD")], "missing: " + INFO + "RECORD"),
])
def test_wheel_files_faults_are_reported(change, expected):
    assert wheel_file_problems(GOOD_WHEEL, "3.11", PACKAGE) == []
    problems = wheel_file_problems(change(list(GOOD_WHEEL)), "3.11", PACKAGE)
    assert any(expected in p for p in problems), problems


GOOD_METADATA = {
    "Metadata-Version": "2.4", "Name": NAME, "Version": VERSION, "Summary": "Plugin manager",
    "Author": "The mirtal developers", "License-Expression": "Apache-2.0",
    "License-File": "LICENSE", "Project-URL": "Source, https://example.invalid/mirtal",
    "Requires-Python": ">=3.11",
    "Classifier": [f"Programming Language :: Python :: {v}" for v in MATRIX],
}


def render(fields):
    lines = []
    for key, value in fields.items():
        for item in value if isinstance(value, list) else [value]:
            lines.append(f"{key}: {item}")
    return "\n".join(lines) + "\n\n# mirtal\n\nThe readme.\n"


@pytest.mark.parametrize(("change", "expected"), [
    ({"Version": "0.0.9"}, "name/version"),
    ({"Summary": None}, "no Summary"),
    ({"Author": None}, "no Author"),
    ({"License-Expression": None}, "no License"),
    ({"License-File": "COPYING"}, "License-File COPYING"),
    ({"Project-URL": None}, "no Project-URL"),
    ({"Requires-Python": None}, "no Requires-Python"),
    ({"Requires-Python": ">=3.12"}, "excludes tested ['3.11']"),
    ({"Requires-Python": ">=3.11,<3.15"}, "excludes tested ['3.15']"),
    ({"Classifier": GOOD_METADATA["Classifier"][:-1]}, "version classifiers"),
    ({"Classifier": [*GOOD_METADATA["Classifier"], "Programming Language :: Python :: 3.10"]},
     "version classifiers"),
])
def test_metadata_faults_are_reported(change, expected):
    assert metadata_problems(render(GOOD_METADATA), {"LICENSE"}) == []
    fields = {k: v for k, v in {**GOOD_METADATA, **change}.items() if v is not None}
    problems = metadata_problems(render(fields), {"LICENSE"})
    assert any(expected in p for p in problems), problems


def test_metadata_without_readme_is_reported():
    problems = metadata_problems(render(GOOD_METADATA).split("\n\n")[0] + "\n\n", {"LICENSE"})
    assert problems == ["no long description (the readme)"]


NEEDED = {"pyproject.toml", "CMakeLists.txt", "PKG-INFO", "README.md", "LICENSE",
          "src/mirtal/core/pluginmanager/module.cpp", "tests/conftest.py", "tests/test_cli.py"}


@pytest.mark.parametrize(("change", "expected"), [
    (lambda n: n - {"tests/conftest.py"}, "missing from the sdist: tests/conftest.py"),
    (lambda n: n - {"CMakeLists.txt"}, "missing from the sdist: CMakeLists.txt"),
    (lambda n: n - {"LICENSE"}, "missing from the sdist: LICENSE"),
    (lambda n: n | {"build/cp311-cp311-linux_x86_64/CMakeCache.txt"}, "leftover"),
    (lambda n: n | {".venv-sanitize/bin/python"}, "leftover"),
    (lambda n: n | {"tests/__pycache__/conftest.cpython-311.pyc"}, "leftover"),
    (lambda n: n | {"src/mirtal/core/pluginmanager.cpython-311-x86_64-linux-gnu.so"}, "leftover"),
    (lambda n: n | {"dist/mirtal-0.1.0.tar.gz"}, "leftover"),
])
def test_sdist_faults_are_reported(change, expected):
    assert sdist_problems(sorted(NEEDED), NEEDED) == []
    problems = sdist_problems(sorted(change(set(NEEDED))), NEEDED)
    assert any(expected in p for p in problems), problems


@pytest.mark.parametrize(("needed", "paths", "expected"), [
    (["libc.so.6", "libstdc++.so.6"], [], "links libstdc++.so.6"),
    (["libc.so.6", "libgcc_s.so.1"], [], "links libgcc_s.so.1"),
    (["libc.so.6", "libpython3.11.so.1.0"], [], "links libpython3.11.so.1.0"),
    (["libc.so.6", "libm.so.6"], ["/work/main/build/cp311"], "search path"),
])
def test_linking_faults_are_reported(needed, paths, expected):
    assert linking_problems(["libc.so.6", "libm.so.6"], []) == []
    problems = linking_problems(needed, paths)
    assert any(expected in p for p in problems), problems


def executable(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


COMPILERS = ["cc", "c++", "gcc-12", "x86_64-linux-gnu-g++-12", "clang++", "ld.gold", "cmake"]


def test_release_path_keeps_programs_but_no_compiler(tmp_path, monkeypatch):
    system = tmp_path / "system"
    for name in ["bash", "python3", "ldd", *COMPILERS]:
        executable(system / name)
    monkeypatch.setenv("PATH", str(system))
    monkeypatch.setenv("PYTHONPATH", str(tmp_path))
    env = compiler_free_env(tmp_path / "venv", tmp_path / "shadow")
    assert (env["CC"], env["CXX"]) == ("false", "false")
    assert "PYTHONPATH" not in env
    assert sorted(os.listdir(tmp_path / "shadow")) == ["bash", "ldd", "python3"]
    for name in COMPILERS:
        assert shutil.which(name, path=env["PATH"]) is None


@pytest.mark.parametrize("compiler", COMPILERS)
def test_a_compiler_in_the_venv_stops_the_check(tmp_path, monkeypatch, compiler):
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    executable(tmp_path / "venv" / "bin" / compiler)
    with pytest.raises(ReleaseError, match=re.escape(compiler)):
        compiler_free_env(tmp_path / "venv", tmp_path / "shadow")
