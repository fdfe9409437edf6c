"""The package `mirtal` as a user meets it: its namespace after import."""

import json
import subprocess
import sys
import textwrap

import pytest

# The deprecation warning that pkg_resources gives on import in the setuptools releases that
# deprecate it (older ones, as in some virtual environments, give none).
WARNING_PKG_RESOURCES = """
import warnings
warnings.warn("pkg_resources is deprecated as an API. See the setuptools documentation.",
              DeprecationWarning, stacklevel=2)
def iter_entry_points(group, name=None):
    return iter(())
"""

DOCUMENTED = ["__plugin_manager__", "__version__", "core", "load_plugins", "loading", "log"]


@pytest.mark.parametrize("warns", [False, True], ids=["installed-pkg_resources", "warning"])
def test_namespace_holds_only_the_documented_names(tmp_path, warns):
    if warns:
        (tmp_path / "pkg_resources.py").write_text(WARNING_PKG_RESOURCES)
    code = textwrap.dedent("""
        import json, mirtal
        public = [n for n in dir(mirtal) if not (n.startswith("__") and n.endswith("__"))
                  or n in ("__plugin_manager__", "__version__", "__warningregistry__")]
        before = public
        mirtal.__plugin_manager__.discover_builtin_plugins()
        print(json.dumps([before, [n for n in dir(mirtal) if not n.startswith("_")]]))
    """)
    done = subprocess.run([sys.executable, "-W", "always", "-c", code], capture_output=True,
                          text=True, timeout=120, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    imported, discovered = json.loads(done.stdout)
    assert imported == DOCUMENTED
    assert discovered == ["core", "load_plugins", "loading", "log", "plugins"]
