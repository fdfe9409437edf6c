"""Plugin discovery over real packages on disk and real distributions read by pkg_resources."""

import functools
import importlib
import importlib.util
import logging
import os
import subprocess
import sys
from types import SimpleNamespace

import pkg_resources
import pytest

import mirtal
from mirtal.core.pluginmanager import PluginManager

# Every plain module of the generated trees notes its own import.
RECORD = "import record\nrecord.names.append(__name__)\n"
REGISTER = """\
from mirtal import __plugin_manager__
class {cls}:
    pass
__plugin_manager__.register_plugin({cls}, os={os!r})
"""
DISCOVERY = ["discover_builtin_plugins", "discover_external_plugins"]


def write_tree(root, files):
    for relative, text in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


@pytest.fixture
def isolated(shared_tree):
    """sys.modules, sys.path, the top-level package and the working set, as they were."""
    modules, path = dict(sys.modules), list(sys.path)
    package, package_path = dict(vars(mirtal)), list(mirtal.__path__)
    working_set = pkg_resources.working_set.__getstate__()
    # External discovery sees only the distributions that the test installs, not the
    # environment's.
    pkg_resources.working_set.__setstate__(pkg_resources.WorkingSet([]).__getstate__())
    yield shared_tree
    pkg_resources.working_set.__setstate__(working_set)
    sys.path[:] = path
    for name in set(sys.modules) - set(modules):
        del sys.modules[name]
    sys.modules.update(modules)
    for name in set(vars(mirtal)) - set(package):
        delattr(mirtal, name)
    for name, value in package.items():
        setattr(mirtal, name, value)
    mirtal.__path__[:] = package_path
    importlib.invalidate_caches()


@pytest.fixture
def recorder(tmp_path, isolated):
    write_tree(tmp_path / "lib", {"record.py": "names = []\n"})
    sys.path.insert(0, str(tmp_path / "lib"))
    return importlib.import_module("record").names


def add_to_package(tmp_path, files):
    """A directory of extra subpackages of mirtal, as a second entry of its __path__."""
    mirtal.__path__.append(str(write_tree(tmp_path / "extra", files)))


# --- built-in discovery ------------------------------------------------------------------------

SANDBOX = {
    "sandbox/__init__.py": "",
    "sandbox/other.py": RECORD,
    "sandbox/pluginsy.py": RECORD,
    "sandbox/plugins/__init__.py": "",
    "sandbox/plugins/alpha.py": RECORD,
    "sandbox/plugins/deep/__init__.py": "",
    "sandbox/plugins/deep/beta.py": RECORD,
    "sandbox/pluginsx/__init__.py": "",
    "sandbox/pluginsx/gamma.py": RECORD,
    "sandbox/core/__init__.py": "",
    "sandbox/core/plugins/__init__.py": "",
    "sandbox/core/plugins/delta.py": RECORD,
}
SANDBOX_IMPORTED = [
    "mirtal.sandbox.core.plugins.delta",
    "mirtal.sandbox.plugins.alpha",
    "mirtal.sandbox.plugins.deep.beta",
]


@pytest.mark.parametrize("owner", [PluginManager, PluginManager()], ids=["class", "instance"])
def test_builtin_imports_modules_below_any_plugins_package(tmp_path, recorder, owner):
    add_to_package(tmp_path, SANDBOX)
    assert owner.discover_builtin_plugins() is None
    assert recorder == SANDBOX_IMPORTED


def test_builtin_reads_pkgutil_and_importlib_at_each_call(tmp_path, recorder, module_globals):
    add_to_package(tmp_path, SANDBOX)
    walks, imports = [], []

    def walk_packages(*args, **kwargs):
        walks.append((args, kwargs))
        return pkgutil.walk_packages(*args, **kwargs)

    def import_module(*args, **kwargs):
        imports.append((args, kwargs))
        return importlib.import_module(*args, **kwargs)

    pkgutil = module_globals["pkgutil"]
    module_globals["pkgutil"] = SimpleNamespace(walk_packages=walk_packages)
    module_globals["importlib"] = SimpleNamespace(import_module=import_module)
    PluginManager.discover_builtin_plugins()

    assert walks == [((mirtal.__path__, "mirtal."), {})]
    assert all(len(args) == 1 and not kwargs for args, kwargs in imports)
    names = [args[0] for args, _ in imports]
    assert all(".plugins." in name for name in names)
    # Packages are imported like modules, but never the plugins package itself.
    assert [name for name in names if name.startswith("mirtal.sandbox.")] == [
        "mirtal.sandbox.core.plugins.delta",
        "mirtal.sandbox.plugins.alpha",
        "mirtal.sandbox.plugins.deep",
        "mirtal.sandbox.plugins.deep.beta",
    ]


@pytest.mark.parametrize("error", [RuntimeError, ImportError])
def test_builtin_failing_plugin_ends_the_walk(tmp_path, recorder, error):
    add_to_package(tmp_path, {
        "sandbox/__init__.py": "",
        "sandbox/plugins/__init__.py": "",
        "sandbox/plugins/a_first.py": RECORD,
        "sandbox/plugins/b_broken.py": RECORD + f"raise {error.__name__}('broken plugin')\n",
        "sandbox/plugins/c_last.py": RECORD,
    })
    with pytest.raises(error, match="^broken plugin$"):
        PluginManager.discover_builtin_plugins()
    assert recorder == ["mirtal.sandbox.plugins.a_first", "mirtal.sandbox.plugins.b_broken"]


def test_builtin_without_package_path_walks_directory_of_init_file(
    tmp_path, recorder, module_globals
):
    root = write_tree(tmp_path / "moved", {
        "__init__.py": "",
        "kit/__init__.py": "",
        "kit/plugins/__init__.py": "",
        "kit/plugins/one.py": RECORD,
    })
    # A package without __path__ cannot import its subpackages: load `kit` from its file.
    spec = importlib.util.spec_from_file_location(
        "mirtal.kit", root / "kit" / "__init__.py", submodule_search_locations=[str(root / "kit")]
    )
    sys.modules["mirtal.kit"] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(sys.modules["mirtal.kit"])
    del mirtal.__path__
    mirtal.__file__ = str(root / "__init__.py")
    dirnames = []

    def dirname(path):
        dirnames.append(path)
        return os.path.dirname(path)

    module_globals["os"] = SimpleNamespace(path=SimpleNamespace(dirname=dirname))
    PluginManager.discover_builtin_plugins()
    assert dirnames == [mirtal.__file__]
    assert recorder == ["mirtal.kit.plugins.one"]


def test_builtin_second_call_imports_again(tmp_path, recorder):
    add_to_package(tmp_path, SANDBOX)
    PluginManager.discover_builtin_plugins()
    for name in SANDBOX_IMPORTED:
        del sys.modules[name]
    PluginManager.discover_builtin_plugins()
    assert recorder == SANDBOX_IMPORTED * 2


@pytest.mark.parametrize("method", DISCOVERY)
@pytest.mark.parametrize("args, kwargs", [((None,), {}), ((), {"group": "mirtal.plugins"})])
def test_discovery_takes_no_arguments(method, args, kwargs):
    with pytest.raises(TypeError, match=rf"^PluginManager\.{method}\(\) "):
        getattr(PluginManager, method)(*args, **kwargs)


# --- the shipped sample plugins ------------------------------------------------------------------

SAMPLES = [
    ("mirtal.plugins.brelk", {"os": "brelk"}, "SingleRpConnection"),
    ("mirtal.plugins.brelk", {"os": "brelk", "chassis_type": "dual_rp"}, "DualRpConnection"),
    ("mirtal.plugins.vennu", {"os": "vennu"}, "VennuConnection"),
    ("mirtal.plugins.vennu.zq4", {"os": "vennu", "series": "zq4"}, "Zq4Connection"),
    ("mirtal.plugins.vennu.zq4.m1", {"os": "vennu", "series": "zq4", "model": "m1"},
     "M1Connection"),
]


@pytest.mark.parametrize("module_name, device, cls_name", SAMPLES)
@pytest.mark.parametrize("load", ["import", "discover"])
def test_sample_plugin_registers_its_class(isolated, module_name, device, cls_name, load):
    for name in [name for name in sys.modules if name.startswith("mirtal.plugins.")]:
        del sys.modules[name]
    if load == "import":
        importlib.import_module(module_name)
    else:
        PluginManager.discover_builtin_plugins()
    module = sys.modules[module_name]
    cls = mirtal.__plugin_manager__.get_plugin(**device)
    assert cls is getattr(module, cls_name)
    keys = [device[level] for level in ("os", "series", "model") if level in device]
    node = functools.reduce(dict.__getitem__, keys, isolated)
    assert node["data"][device.get("chassis_type", "single_rp")]["path"] == module.__file__


# --- external discovery --------------------------------------------------------------------------

def install_distribution(site, entry_points, modules):
    """A real installed distribution, as pip lays it out, made known to the working set."""
    write_tree(site, {
        "mirtal_probe-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: mirtal-probe\n"
                                               "Version: 1.0\n",
        "mirtal_probe-1.0.dist-info/entry_points.txt": entry_points,
        **modules,
    })
    sys.path.append(str(site))
    pkg_resources.working_set.add_entry(str(site))


@pytest.fixture
def debug_lines(caplog):
    caplog.set_level(logging.DEBUG, logger="mirtal")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "mirtal"]


def test_external_loads_entry_points_of_installed_distribution(tmp_path, isolated, debug_lines):
    install_distribution(tmp_path / "site", "[mirtal.plugins]\nkolm = probe_kolm\n", {
        "probe_kolm.py": REGISTER.format(cls="KolmConnection", os="kolm"),
    })
    assert PluginManager().discover_external_plugins() is None
    assert "Loading external plugin kolm from probe_kolm" in debug_lines()
    registered = mirtal.__plugin_manager__.get_plugin(os="kolm")
    assert registered is sys.modules["probe_kolm"].KolmConnection


PROBE_GROUPS = """\
[mirtal.plugins]
kolm = probe_kolm
[mirtal.probe.first]
jepra = probe_jepra
broken = probe_broken
dravo = probe_dravo
[mirtal.probe.second]
dravo = probe_dravo
"""
PROBE_MODULES = {
    "probe_kolm.py": REGISTER.format(cls="KolmConnection", os="kolm"),
    "probe_jepra.py": REGISTER.format(cls="JepraConnection", os="jepra"),
    "probe_broken.py": "raise RuntimeError('broken plugin')\n",
    "probe_dravo.py": REGISTER.format(cls="DravoConnection", os="dravo"),
}


def test_external_failing_load_ends_discovery_after_its_debug_line(
    tmp_path, isolated, debug_lines, module_globals
):
    install_distribution(tmp_path / "site", PROBE_GROUPS, PROBE_MODULES)
    module_globals["ENTRYPOINT_GROUP"] = "mirtal.probe.first"
    with pytest.raises(RuntimeError, match="^broken plugin$"):
        PluginManager.discover_external_plugins()
    assert debug_lines() == [
        "Loading external plugin jepra from probe_jepra",
        "Loading external plugin broken from probe_broken",
    ]
    assert sorted(isolated) == ["jepra"]
    assert "probe_dravo" not in sys.modules


@pytest.mark.parametrize("group, loaded", [
    ("mirtal.probe.second", ["dravo"]),
    ("mirtal.probe.none", []),
])
def test_external_reads_group_at_each_call_and_loads_again(
    tmp_path, isolated, debug_lines, module_globals, group, loaded
):
    install_distribution(tmp_path / "site", PROBE_GROUPS, PROBE_MODULES)
    module_globals["ENTRYPOINT_GROUP"] = group
    PluginManager.discover_external_plugins()
    assert PluginManager.discover_external_plugins() is None
    assert debug_lines() == [f"Loading external plugin {ep} from probe_{ep}" for ep in loaded] * 2
    assert "probe_kolm" not in sys.modules


class Label:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_external_message_renders_name_and_module_with_str(debug_lines, module_globals):
    loads, groups = [], []

    def iter_entry_points(*, group):
        groups.append(group)
        return iter([
            SimpleNamespace(name=7, module_name=Label("p.seven"), load=lambda: loads.append(7)),
            SimpleNamespace(name=Label("eight"), module_name=8.5, load=lambda: loads.append(8)),
        ])

    module_globals["iter_entry_points"] = iter_entry_points
    assert PluginManager.discover_external_plugins() is None
    assert groups == ["mirtal.plugins"]
    assert loads == [7, 8]
    assert debug_lines() == [
        "Loading external plugin 7 from p.seven",
        "Loading external plugin eight from 8.5",
    ]


# --- every import through the builtins' __import__ once it is replaced ---------------------------


@pytest.fixture
def traced_import(monkeypatch):
    """builtins.__import__ replaced by a tracer that hands every call on to the original."""
    import builtins

    calls, original = [], builtins.__import__

    def tracer(name, globals=None, locals=None, fromlist=(), level=0):
        calls.append((name, globals, locals, fromlist, level))
        return original(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", tracer)
    return calls


def test_builtin_discovery_imports_the_package_through_a_replaced_import(
        tmp_path, recorder, traced_import):
    add_to_package(tmp_path, SANDBOX)
    PluginManager.discover_builtin_plugins()
    module_globals = vars(sys.modules[PluginManager.__module__])
    ours = [call for call in traced_import if call[1] is module_globals]
    assert [(name, locals, fromlist, level) for name, _, locals, fromlist, level in ours] == [
        ("", None, ("__path__", "__name__"), 2)]
    assert recorder == SANDBOX_IMPORTED


def test_builtin_discovery_fallback_also_goes_through_a_replaced_import(
        tmp_path, recorder, monkeypatch):
    import builtins

    add_to_package(tmp_path, SANDBOX)
    seen, original = [], builtins.__import__

    def without_path(name, globals=None, locals=None, fromlist=(), level=0):
        if globals is not vars(sys.modules[PluginManager.__module__]):
            return original(name, globals, locals, fromlist, level)
        seen.append(fromlist)
        return SimpleNamespace(__file__=mirtal.__file__, __name__="mirtal")

    monkeypatch.setattr(builtins, "__import__", without_path)
    PluginManager.discover_builtin_plugins()
    monkeypatch.undo()
    assert seen == [("__path__", "__name__"), ("__file__", "__name__")]
    # The one directory of mirtal's __init__ holds none of the sandbox.
    assert recorder == []


def test_a_missing_import_function_fails_like_an_import_statement(monkeypatch):
    import builtins

    monkeypatch.delattr(builtins, "__import__")
    with pytest.raises(ImportError, match="__import__ not found"):
        PluginManager.discover_builtin_plugins()


def test_initialisation_imports_through_a_replaced_import():
    done = subprocess.run([sys.executable, "-c", """if True:
        import builtins, sys
        calls, original = [], builtins.__import__
        def tracer(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "mirtal.core.pluginmanager":
                calls.append((name, fromlist, level, locals is globals))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = tracer
        import mirtal.core.pluginmanager
        print(calls)
    """], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # The module's own imports in order (warnings and re: the filter that keeps pkg_resources'
    # deprecation warning from its users), each made at module level.
    assert eval(done.stdout) == [
        ("os", None, 0, True), ("pkgutil", None, 0, True), ("importlib", None, 0, True),
        ("mirtal", ("log",), 0, True), ("inspect", ("getfile",), 0, True),
        ("errors", ("ConnectionInfraError",), 1, True), ("warnings", None, 0, True),
        ("re", None, 0, True), ("pkg_resources", ("iter_entry_points",), 0, True)]
