"""The plugin authors' kit: mirtal.testing.fresh_manager, and the pytest plugin's fixture
mirtal_manager run on a plugin distribution's own tests in a fresh interpreter."""

import copy
import importlib
import itertools
import json
import subprocess
import sys
import textwrap
import types

import pytest

import mirtal
from mirtal.core.pluginmanager import PluginManager
from mirtal.testing import fresh_manager
from sites import PYTHON, distribution, environment

PLUGIN = """\
from mirtal import __plugin_manager__


class KolmConnection:
    pass


class K2Connection(KolmConnection):
    pass


class M5Connection(K2Connection):
    pass


__plugin_manager__.register_plugin(KolmConnection, os="kolm")
__plugin_manager__.register_plugin(K2Connection, os="kolm", series="k2")
__plugin_manager__.register_plugin(M5Connection, os="kolm", series="k2", model="m5")
"""

NAMES = itertools.count()


@pytest.fixture
def plugin(tmp_path, monkeypatch):
    """The name of a package whose module `dev` registers kolm/k2/m5 and whose module `base`
    registers nothing; only the package and `base` are imported."""
    name = f"kit_plugin_{next(NAMES)}"
    (tmp_path / name).mkdir()
    (tmp_path / name / "__init__.py").write_text("")
    (tmp_path / name / "dev.py").write_text(PLUGIN)
    (tmp_path / name / "base.py").write_text("class Base:\n    pass\n")
    monkeypatch.syspath_prepend(tmp_path)
    importlib.import_module(f"{name}.base")
    yield name
    for module in [m for m in sys.modules if m.split(".")[0] == name]:
        del sys.modules[module]


class Snapshot:
    """The shared manager, its tree (the object and a copy) and sys.modules, as they were."""

    def __init__(self):
        self.shared = mirtal.__plugin_manager__
        self.tree = self.shared.plugins
        self.copy = copy.deepcopy(self.tree)
        self.modules = dict(sys.modules)

    def assert_restored(self):
        assert mirtal.__plugin_manager__ is self.shared
        assert self.shared.plugins is self.tree and self.tree == self.copy
        assert sys.modules.keys() == self.modules.keys()
        assert [n for n, m in self.modules.items() if sys.modules[n] is not m] == []


def import_plugin(manager, name):
    module = importlib.import_module(f"{name}.dev")
    assert manager.get_plugin("kolm", "k2", "m5") is module.M5Connection
    return module


def body_imports(manager, name):
    import_plugin(manager, name)


def body_raises(manager, name):
    import_plugin(manager, name)
    raise KeyError("from the body")


def body_replaces_the_manager(manager, name):
    mirtal.__plugin_manager__ = PluginManager()
    module = importlib.import_module(f"{name}.dev")
    assert mirtal.__plugin_manager__.get_plugin("kolm") is module.KolmConnection
    assert manager.plugins == {}


def body_replaces_and_removes_modules(manager, name):
    package, base = sys.modules[name], sys.modules[f"{name}.base"]
    del sys.modules[f"{name}.base"]
    again = importlib.import_module(f"{name}.base")  # run again, bound on the package instead
    assert again is not base and package.base is again
    import_plugin(manager, name)
    sys.modules[name] = types.ModuleType(name)
    del sys.modules[f"{name}.base"]


def body_nests(manager, name):
    outer = import_plugin(manager, name)
    inner_before = Snapshot()
    with fresh_manager(forget=[name]) as inner:
        assert inner is not manager and mirtal.__plugin_manager__ is inner
        again = import_plugin(inner, name)
        assert again is not outer and again.M5Connection is not outer.M5Connection
    inner_before.assert_restored()
    assert mirtal.__plugin_manager__ is manager and sys.modules[name].dev is outer
    assert manager.get_plugin("kolm", "k2", "m5") is outer.M5Connection


BODIES = [body_imports, body_raises, body_replaces_the_manager,
          body_replaces_and_removes_modules, body_nests]


@pytest.mark.parametrize("body", BODIES, ids=[b.__name__[5:] for b in BODIES])
def test_the_block_leaves_the_shared_manager_and_sys_modules_as_they_were(plugin, body):
    package, base = sys.modules[plugin], sys.modules[f"{plugin}.base"]
    before = Snapshot()
    raised = None
    try:
        with fresh_manager() as manager:
            assert mirtal.__plugin_manager__ is manager and manager is not before.shared
            assert type(manager) is PluginManager and manager.plugins == {}
            body(manager, plugin)
    except KeyError as error:
        raised = error
    before.assert_restored()
    assert (raised is not None) == (body is body_raises)
    # Unbound from the package too: the next block's `from package import dev` runs it again.
    assert package.base is base and not hasattr(package, "dev")
    with fresh_manager() as manager:
        from_import = __import__(plugin, fromlist=["dev"]).dev
        assert manager.get_plugin("kolm") is from_import.KolmConnection


def test_a_module_imported_before_the_block_is_imported_afresh_only_if_forgotten(
        plugin, shared_tree):
    original = importlib.import_module(f"{plugin}.dev")  # registers on the shared manager
    package = sys.modules[plugin]
    before = Snapshot()
    with fresh_manager() as manager:
        importlib.import_module(f"{plugin}.dev")
        assert manager.plugins == {}
    before.assert_restored()
    with fresh_manager(forget=[plugin]) as manager:
        assert plugin not in sys.modules and not hasattr(package, "dev")
        fresh = import_plugin(manager, plugin)
        assert fresh is not original and sys.modules[plugin] is not package
    before.assert_restored()
    assert package.dev is original
    with fresh_manager(forget=[f"{plugin}.dev"]):  # not imported inside: bound back all the same
        assert not hasattr(package, "dev")
    before.assert_restored()
    assert package.dev is original
    assert mirtal.__plugin_manager__.get_plugin("kolm", "k2", "m5") is original.M5Connection


@pytest.mark.parametrize("forget, error", [
    ("my_plugin", TypeError), ([""], TypeError), ([b"my_plugin"], TypeError),
    (["mirtal"], ValueError), (["mirtal.core"], ValueError), (["mirtal.loading"], ValueError),
])
def test_forget_refuses_what_is_no_list_of_plugin_module_names(forget, error):
    before = Snapshot()
    with pytest.raises(error):
        with fresh_manager(forget=forget):
            pass
    before.assert_restored()


@pytest.mark.parametrize("load", ["discover_builtin_plugins", "load_plugins"])
def test_discovery_inside_the_block_fills_the_fresh_manager(load):
    before = Snapshot()
    with fresh_manager(forget=["mirtal.plugins"]) as outer:
        outer.discover_builtin_plugins()  # imported before the inner block
        with fresh_manager(forget=["mirtal.plugins"]) as manager:
            if load == "load_plugins":
                report = mirtal.load_plugins(external=False)
                assert report.manager is manager and report.failures == []
            else:
                manager.discover_builtin_plugins()
            assert manager.get_plugin("vennu", "zq4").__name__ == "Zq4Connection"
        assert outer.get_plugin("vennu", "zq4") is not manager.get_plugin("vennu", "zq4")
        with fresh_manager() as empty:
            empty.discover_builtin_plugins()
            assert empty.plugins == {}
    before.assert_restored()


# A plugin distribution of its own with its tests, as its authors would write them. The
# conftest.py records the shared manager when pytest starts and when it ends.
DISTRIBUTION = {
    "kolm_plugin/__init__.py": PLUGIN,
    "project/pytest.ini": "[pytest]\n",
    "project/conftest.py": """\
        import json, os
        import mirtal
        import pytest

        shared = mirtal.__plugin_manager__
        shared.discover_builtin_plugins()

        def record():
            return [id(mirtal.__plugin_manager__), id(shared.plugins), repr(shared)]

        START = record()

        @pytest.fixture
        def shared_manager():
            return shared

        def pytest_sessionfinish(session):
            with open(os.environ["KIT_RECORD"], "w") as file:
                json.dump([START, record()], file)
    """,
    "project/tests/test_module_level_import.py": """\
        import mirtal  # at module level: fine, it registers nothing

        def test_the_fixture_is_the_manager_plugins_see(mirtal_manager, shared_manager):
            assert mirtal.__plugin_manager__ is mirtal_manager
            assert mirtal_manager is not shared_manager
    """,
    "project/tests/test_kolm.py": """\
        import pytest

        @pytest.mark.parametrize("run", [1, 2])  # imported afresh each time
        def test_kolm_registers_three_classes(mirtal_manager, run):
            import kolm_plugin

            assert mirtal_manager.get_plugin("kolm") is kolm_plugin.KolmConnection
            assert mirtal_manager.get_plugin("kolm", "k2", "m5") is kolm_plugin.M5Connection
            mirtal_manager.unregister_plugin("kolm")  # its own class; k2 and m5 stay
            assert mirtal_manager.get_plugin("kolm", "k2", "m5") is kolm_plugin.M5Connection
    """,
    "project/tests/test_empty_first.py": """\
        def test_the_fresh_manager_is_empty_then_discovery_fills_it(mirtal_manager):
            assert mirtal_manager.plugins == {}
            mirtal_manager.discover_external_plugins()
            assert mirtal_manager.get_plugin("kolm", "k2").__module__ == "kolm_plugin"
    """,
    # What the README warns of: the plugin imported by the test file itself.
    "project/pitfall/test_module_level_plugin_import.py": """\
        import pytest

        import kolm_plugin  # imported while pytest collects: registers on the shared manager

        def test_the_plugin_is_not_run_again(mirtal_manager, shared_manager):
            assert mirtal_manager.plugins == {}
            assert shared_manager.get_plugin("kolm") is kolm_plugin.KolmConnection

        @pytest.mark.mirtal_forget("kolm_plugin")
        def test_unless_the_test_forgets_it(mirtal_manager):
            import kolm_plugin as fresh

            assert fresh is not kolm_plugin
            assert mirtal_manager.get_plugin("kolm") is fresh.KolmConnection
    """,
}
TEST_FILES = ["test_module_level_import.py", "test_kolm.py", "test_empty_first.py"]


@pytest.fixture(scope="module")
def plugin_distribution(tmp_path_factory):
    root = tmp_path_factory.mktemp("kolm")
    for path, text in DISTRIBUTION.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(textwrap.dedent(text))
    distribution(root, "mirtal-kolm", {"kolm": "kolm_plugin"})
    return root


def run_pytest(root, *args):
    record = root / "record.json"
    record.unlink(missing_ok=True)
    done = subprocess.run(
        [*PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args], capture_output=True,
        text=True, cwd=root / "project", timeout=120,
        env=environment(root, extra={"KIT_RECORD": str(record)}, distributions=["pytest"]))
    return done, json.loads(record.read_text()) if record.exists() else None


@pytest.mark.parametrize("order", [1, -1], ids=["in order", "reversed"])
def test_a_plugins_own_tests_pass_in_any_order_and_leave_the_shared_manager(
        plugin_distribution, order):
    files = [f"tests/{name}" for name in TEST_FILES[::order]]
    done, (start, end) = run_pytest(plugin_distribution, *files)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "4 passed" in done.stdout
    assert start == end and "kolm" not in start[2] and "vennu" in start[2]


def test_a_plugin_imported_by_the_test_file_leaks_unless_forgotten(plugin_distribution):
    done, (start, end) = run_pytest(plugin_distribution, "pitfall")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "2 passed" in done.stdout
    assert start[:2] == end[:2] and "kolm" not in start[2] and "kolm" in end[2]


def test_the_plugin_is_turned_off_by_its_name(plugin_distribution):
    done, _ = run_pytest(plugin_distribution, "-p", "no:mirtal", "tests/test_empty_first.py")
    assert done.returncode == 1
    assert "fixture 'mirtal_manager' not found" in done.stdout


def test_pytest_start_up_does_not_import_mirtal(tmp_path):
    (tmp_path / "test_start.py").write_text(textwrap.dedent("""\
        import sys

        def test_only_the_plugin_module_is_imported():
            assert "_mirtal_pytest" in sys.modules
            assert {"mirtal", "pkg_resources"}.isdisjoint(sys.modules)
    """))
    done = subprocess.run([*PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=120,
                          env=environment(distributions=["pytest"]))
    assert done.returncode == 0, done.stdout + done.stderr
