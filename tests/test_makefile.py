"""The Makefile's environment handling: make never deletes a virtual environment it did not make,
and `make install` says where it installed when another environment is active.

Each case runs the repository's Makefile in a scratch directory, with pip replaced by `true`.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

MAKEFILE = Path(__file__).resolve().parents[1] / "Makefile"
VERSION = "%d.%d" % sys.version_info[:2]

pytestmark = pytest.mark.skipif(
    not MAKEFILE.exists() or shutil.which("make") is None, reason="needs the clone's Makefile")


def make(directory, *args, env=None):
    # Not the calling make's flags, an active environment, or a sanitizer runtime preloaded for
    # the extension (make and sh are not what the sanitizer run checks).
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "MAKEOVERRIDES",
                                "VIRTUAL_ENV", "LD_PRELOAD")}
    environment.update(env or {})
    return subprocess.run(
        ["make", "--no-print-directory", "-f", str(MAKEFILE), *args,
         f"PYTHON={sys.executable}", "VENV=.venv", "PIP=true"],
        cwd=directory, env=environment, capture_output=True, text=True, timeout=300)


def environment_of(directory, version, made_by_make):
    """A .venv whose python answers `version`, holding a file of the user's."""
    bin_dir = directory / ".venv" / "bin"
    bin_dir.mkdir(parents=True)
    python = bin_dir / "python"
    python.write_text(f"#!/bin/sh\necho {version}\n")
    python.chmod(0o755)
    (directory / ".venv" / "keep-me").write_text("the user's\n")
    if made_by_make:
        (directory / ".venv" / ".made-by-make").touch()


def real_version(directory):
    python = directory / ".venv" / "bin" / "python"
    done = subprocess.run([str(python), "-c", "import sys; print(sys.version_info[:2])"],
                          capture_output=True, text=True, timeout=60)
    return done.stdout.strip()


def test_environment_that_make_did_not_create_is_left_alone(tmp_path):
    environment_of(tmp_path, "3.0", made_by_make=False)
    result = make(tmp_path, "venv")
    assert result.returncode == 2
    assert "that make did not create" in result.stderr and "leaving it alone" in result.stderr
    assert (tmp_path / ".venv" / "keep-me").exists()
    assert (tmp_path / ".venv" / "bin" / "python").read_text() == "#!/bin/sh\necho 3.0\n"


def test_environment_that_make_created_is_made_anew_and_said_so(tmp_path):
    environment_of(tmp_path, "3.0", made_by_make=True)
    result = make(tmp_path, "venv")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        f".venv (made by make for Python 3.0) belongs to another Python: making it anew for "
        f"{VERSION}\n")
    assert not (tmp_path / ".venv" / "keep-me").exists()
    assert (tmp_path / ".venv" / ".made-by-make").exists()
    assert real_version(tmp_path) == str(sys.version_info[:2])


@pytest.mark.parametrize("made_by_make", [False, True])
def test_environment_of_the_same_python_is_used_as_it_is(tmp_path, made_by_make):
    environment_of(tmp_path, VERSION, made_by_make)
    result = make(tmp_path, "venv")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert (tmp_path / ".venv" / "keep-me").exists()


@pytest.mark.parametrize("active, noted", [(None, False), (".venv", False), ("other", True)])
def test_install_names_the_environment_when_another_one_is_active(tmp_path, active, noted):
    environment_of(tmp_path, VERSION, made_by_make=True)
    (tmp_path / "other").mkdir()
    env = {"VIRTUAL_ENV": str(tmp_path / active)} if active else {}
    result = make(tmp_path, "install", env=env)
    assert result.returncode == 0, result.stderr
    note = (f"note: mirtal is installed into .venv, for working on mirtal; the active virtual "
            f"environment {tmp_path / 'other'} is unchanged (to install it there: "
            "python -m pip install .)\n")
    assert result.stdout.endswith(note) == noted


@pytest.mark.parametrize("made_by_make", [False, True])
def test_clean_removes_only_environments_that_make_created(tmp_path, made_by_make):
    environment_of(tmp_path, VERSION, made_by_make)
    result = make(tmp_path, "clean")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / ".venv").exists() != made_by_make
    if not made_by_make:
        assert ".venv: not made by make, left alone" in result.stdout


@pytest.mark.parametrize("target, variables, packages", [
    ("/nonexistent/clang++", ["FUZZ_CXX=/nonexistent/clang++"], "clang libclang-rt-dev"),
    ("refleak-interpreter", ["REFLEAK_VERSION=0.0"], "python0.0-dbg python0.0-dev"),
])
def test_system_packages_are_named_not_installed_unless_asked(tmp_path, target, variables,
                                                              packages):
    # apt-get on PATH is a recorder: the target must stop before reaching it.
    fake_bin = tmp_path / "bin"
    fake_bin.mkdir()
    calls = tmp_path / "apt-calls"
    (fake_bin / "apt-get").write_text(f'#!/bin/sh\necho "$@" >> {calls}\n')
    (fake_bin / "apt-get").chmod(0o755)
    env = {"PATH": f"{fake_bin}:{os.environ['PATH']}", "SYSTEM_PACKAGES": ""}
    result = make(tmp_path, target, *variables, env=env)
    assert result.returncode == 2
    assert f"needs the Debian packages: {packages}" in result.stderr
    assert "SYSTEM_PACKAGES=install" in result.stderr
    assert not calls.exists()
    # Asked for, the packages are installed.
    asked = make(tmp_path, target, *variables, "SYSTEM_PACKAGES=install", env=env)
    assert f"install -y -qq {packages}" in calls.read_text(), asked.stderr
