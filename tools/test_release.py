"""The release checks reject the faults they exist for (run by make release-check)."""

import os
import re
import shutil
import stat

import pytest
from release import (
    MATRIX,
    ROOT,
    ZIG_CACHE,
    ReleaseError,
    Target,
    compiler_free_env,
    find_interpreter,
    linking_problems,
    machine_problems,
    metadata_problems,
    newest_glibc,
    parse_pythons,
    platform_tag_problems,
    read_elf,
    release_name,
    sdist_problems,
    symbol_version_problems,
    wheel_file_problems,
)

NAME, VERSION = release_name()
INFO = f"{NAME}-{VERSION}.dist-info/"
PACKAGE = {"mirtal/__init__.py", "mirtal/core/__init__.py", "mirtal/core/pluginmanager.pyi",
           "mirtal/py.typed", "mirtal/plugins/vennu/__init__.py"}
EXTENSION = "mirtal/core/pluginmanager.cpython-311-x86_64-linux-gnu.so"
SCRIPT = f"{NAME}-{VERSION}.data/scripts/mirtal"
GOOD_WHEEL = sorted(PACKAGE | {EXTENSION, "mirtal/", INFO + "METADATA", INFO + "WHEEL",
                               INFO + "RECORD", INFO + "licenses/LICENSE", SCRIPT})


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
    (lambda n: [x for x in n if x != SCRIPT], "missing: " + SCRIPT),
    (lambda n: n + [f"{NAME}-{VERSION}.data/scripts/other"], "unexpected file"),
])
def test_wheel_files_faults_are_reported(change, expected):
    assert wheel_file_problems(GOOD_WHEEL, "3.11", PACKAGE) == []
    problems = wheel_file_problems(change(list(GOOD_WHEEL)), "3.11", PACKAGE)
    assert any(expected in p for p in problems), problems


ARM_EXTENSION = EXTENSION.replace("x86_64", "aarch64")


@pytest.mark.parametrize(("arch", "extensions", "expected"), [
    ("aarch64", [EXTENSION], "one extension module for 3.11 aarch64"),
    ("x86_64", [ARM_EXTENSION], "one extension module for 3.11 x86_64"),
    ("aarch64", [EXTENSION, ARM_EXTENSION], "another interpreter or architecture"),
])
def test_extension_of_another_architecture_is_reported(arch, extensions, expected):
    others = [n for n in GOOD_WHEEL if n != EXTENSION]
    own = {"x86_64": EXTENSION, "aarch64": ARM_EXTENSION}[arch]
    assert wheel_file_problems(sorted([*others, own]), "3.11", PACKAGE, arch) == []
    problems = wheel_file_problems(sorted([*others, *extensions]), "3.11", PACKAGE, arch)
    assert any(expected in p for p in problems), problems


@pytest.mark.parametrize(("name", "arch", "expected"), [
    ("mirtal-0.1.0-cp311-cp311-manylinux_2_36_x86_64.whl", "x86_64", "not tagged"),
    ("mirtal-0.1.0-cp314-cp314-manylinux_2_38_x86_64.whl", "x86_64", "not tagged"),
    ("mirtal-0.1.0-cp311-cp311-manylinux_2_28_aarch64.whl", "aarch64", "not tagged"),
    ("mirtal-0.1.0-cp311-cp311-manylinux2014_x86_64.manylinux_2_17_x86_64.whl", "aarch64",
     "not tagged manylinux_2_17_aarch64"),
    ("mirtal-0.1.0-cp311-cp311-linux_x86_64.whl", "x86_64", "not a manylinux wheel"),
    ("mirtal-0.1.0-cp311-cp311-musllinux_1_2_x86_64.whl", "x86_64", "not a manylinux wheel"),
])
def test_platform_tag_faults_are_reported(name, arch, expected):
    for good in ("mirtal-0.1.0-cp311-cp311-manylinux2014_{0}.manylinux_2_17_{0}.whl",
                 "mirtal-0.1.0-cp311-cp311-manylinux_2_17_{0}.whl"):
        assert platform_tag_problems(good.format(arch), arch) == []
    problems = platform_tag_problems(name, arch)
    assert any(expected in p for p in problems), problems


GOOD_VERSIONS = {"GLIBC_2.2.5", "GLIBC_2.14", "GLIBC_2.16", "GLIBC_2.17"}


@pytest.mark.parametrize(("extra", "expected"), [
    ("GLIBC_2.18", "needs GLIBC_2.18: newer than glibc 2.17"),
    ("GLIBC_2.34", "needs GLIBC_2.34"),
    ("GLIBC_2.36", "needs GLIBC_2.36"),
    ("GLIBC_3.0", "needs GLIBC_3.0"),
    ("GLIBCXX_3.4.29", "C++ runtime must be linked statically"),
    ("CXXABI_1.3.13", "C++ runtime must be linked statically"),
    ("GCC_3.0", "C++ runtime must be linked statically"),
    ("GLIBC_PRIVATE", "unknown symbol version"),
])
def test_symbol_version_faults_are_reported(extra, expected):
    assert symbol_version_problems(GOOD_VERSIONS) == []
    problems = symbol_version_problems(GOOD_VERSIONS | {extra})
    assert problems == [p for p in problems if expected in p] and problems, problems


def test_newest_glibc_compares_numbers_not_text():
    assert newest_glibc(GOOD_VERSIONS | {"GLIBC_2.3.4", "GLIBCXX_3.4"}) == "GLIBC_2.17"
    assert newest_glibc({"GLIBC_2.9", "GLIBC_2.10"}) == "GLIBC_2.10"
    assert newest_glibc(set()) == "none"


@pytest.mark.parametrize(("machine", "arch"), [("EM_X86_64", "aarch64"),
                                               ("EM_AARCH64", "x86_64"), ("EM_386", "x86_64")])
def test_extension_of_wrong_machine_is_reported(machine, arch):
    assert machine_problems({"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch], arch) == []
    assert machine_problems(machine, arch)


def test_no_arm64_312_is_claimed():
    assert parse_pythons("3.11 3.13 3.14 3.15", "aarch64") == ["3.11", "3.13", "3.14", "3.15"]
    assert parse_pythons("", "aarch64") == []
    with pytest.raises(ReleaseError, match="3.12"):
        parse_pythons("3.11 3.12", "aarch64")
    with pytest.raises(ReleaseError, match="no arm64 CPython 3.12"):
        find_interpreter(Target("3.12", "aarch64"))
    with pytest.raises(ReleaseError):
        parse_pythons("", "x86_64")


# Small shared objects made by the release compiler itself, read back as the wheel check reads
# an extension: the architecture and the glibc symbol versions the loader will ask for.
ziglang = pytest.importorskip("ziglang")
ZIG = os.path.join(os.path.dirname(ziglang.__file__), "zig")
SOURCE = """
#include <stdlib.h>
#include <string.h>
unsigned f(const char *s) { return (unsigned)strtoul(s, 0, 10) + (unsigned)strlen(s); }
#ifdef NEW
unsigned g(void) { return arc4random(); }
#endif
"""


def zig_object(tmp_path, target, *flags):
    import subprocess

    source = tmp_path / "f.c"
    source.write_text(SOURCE)
    out = tmp_path / f"{target}{''.join(flags)}.so"
    cache = str(ROOT / ZIG_CACHE)  # the release builds' cache: glibc's stubs made once
    env = dict(os.environ, ZIG_GLOBAL_CACHE_DIR=cache, ZIG_LOCAL_CACHE_DIR=cache)
    subprocess.run([ZIG, "cc", "-target", target, "-shared", "-fPIC", "-O2", *flags,
                    str(source), "-o", str(out)], check=True, env=env)
    return read_elf(out.read_bytes())


@pytest.mark.parametrize(("arch", "machine"), [("x86_64", "EM_X86_64"),
                                               ("aarch64", "EM_AARCH64")])
def test_real_objects_are_read_as_the_loader_sees_them(tmp_path, arch, machine):
    old = zig_object(tmp_path, f"{arch}-linux-gnu.2.17")
    assert old.machine == machine and machine_problems(old.machine, arch) == []
    assert "libc.so.6" in old.needed and linking_problems(old.needed, old.search_paths) == []
    assert symbol_version_problems(old.versions) == [] and old.versions
    new = zig_object(tmp_path, f"{arch}-linux-gnu.2.36", "-DNEW")
    assert "GLIBC_2.36" in new.versions and newest_glibc(new.versions) == "GLIBC_2.36"
    assert any("needs GLIBC_2.36" in p for p in symbol_version_problems(new.versions))
    other = "aarch64" if arch == "x86_64" else "x86_64"
    assert machine_problems(old.machine, other)


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
    (["libc.so.6", "libc++.so.1"], [], "links libc++.so.1"),
    (["libc.so.6", "libunwind.so.1"], [], "links libunwind.so.1"),
])
def test_linking_faults_are_reported(needed, paths, expected):
    assert linking_problems(["libc.so.6", "libm.so.6"], []) == []
    assert linking_problems(["libc.so.6", "ld-linux-aarch64.so.1"], []) == []
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


@pytest.mark.parametrize("name", ["../outside.txt", "/etc/outside.txt"])
def test_unpacking_without_tarfile_filters_refuses_paths_outside(tmp_path, monkeypatch, name):
    import io
    import tarfile

    import release

    archive = tmp_path / "dist" / "bad.tar.gz"
    archive.parent.mkdir()
    with tarfile.open(archive, "w:gz") as tar:
        for member in ("mirtal-0.1.0/pyproject.toml", name):
            info = tarfile.TarInfo(member)
            info.size = 1
            tar.addfile(info, io.BytesIO(b"x"))
    monkeypatch.setattr(release, "ROOT", tmp_path)
    monkeypatch.delattr(tarfile, "data_filter", raising=False)
    with pytest.raises(ReleaseError, match="refusing to unpack"):
        release.unpack(archive.relative_to(tmp_path), tmp_path / "out")
    assert not (tmp_path / "outside.txt").exists()
