"""Warnings around the import of pkg_resources: only its deprecation warning is hidden, every filter
it installs stays, every other warning reaches the caller."""

import json
import subprocess
import sys
import textwrap

import pytest

# A stand-in for pkg_resources (put first on the path) that warns as the deprecating releases do,
# installs filters of its own the ways the warnings module offers, and warns once more.
NOISY = """
import warnings
warnings.warn("pkg_resources is deprecated as an API. See the setuptools documentation.",
              {category}, stacklevel=2)
warnings.filterwarnings("ignore", message="first filter", category=RuntimeWarning)
warnings.filterwarnings("ignore", category=SyntaxWarning, append=True)
warnings.simplefilter("error", BytesWarning)
warnings.warn("another warning of the package", {category}, stacklevel=2)
{tail}
def iter_entry_points(group, name=None):
    return iter(())
"""

# Imports `target` and reports the filters in force afterwards and the warnings recorded.
REPORT = """
import json, sys, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    outer = warnings._get_filters() if hasattr(warnings, "_get_filters") else warnings.filters
    try:
        import {target}
        error = None
    except Exception as e:
        error = f"{{type(e).__name__}}: {{e}}"
    filters = [repr(f) for f in outer]
print(json.dumps({{"filters": filters, "warnings": [str(w.message) for w in caught],
                  "error": error, "global": [repr(f) for f in warnings.filters]}}))
"""


def report(tmp_path, target, *options):
    done = subprocess.run(
        [sys.executable, *options, "-c", REPORT.format(target=target)],
        capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def noisy(tmp_path, category="UserWarning", tail=""):
    (tmp_path / "pkg_resources.py").write_text(
        NOISY.format(category=category, tail=textwrap.dedent(tail)))


@pytest.mark.parametrize("package", ["installed", "UserWarning", "DeprecationWarning"])
def test_filters_and_warnings_are_those_of_a_plain_import(tmp_path, package):
    if package != "installed":
        noisy(tmp_path, package)
    plain = report(tmp_path, "pkg_resources")
    ours = report(tmp_path, "mirtal.core.pluginmanager")
    assert ours["error"] is None
    # Every filter pkg_resources installed stays, in its place, and nothing of ours is left.
    assert ours["filters"] == plain["filters"]
    # Every warning but the deprecation one reaches the caller.
    assert ours["warnings"] == [w for w in plain["warnings"] if "is deprecated as an API" not in w]
    if package != "installed":
        assert ours["warnings"] == ["another warning of the package"]
        assert any("BytesWarning" in f for f in ours["filters"])


def test_a_failing_import_leaves_no_filter_of_ours(tmp_path):
    noisy(tmp_path, tail="raise RuntimeError('broken package')")
    plain = report(tmp_path, "pkg_resources")
    ours = report(tmp_path, "mirtal.core.pluginmanager")
    assert ours["error"] == plain["error"] == "RuntimeError: broken package"
    assert ours["filters"] == plain["filters"]


def test_a_filter_the_package_removes_is_not_removed_again(tmp_path):
    # The package drops every filter; the caller's and the package's own state is what it left.
    noisy(tmp_path, tail="warnings.resetwarnings(); warnings.simplefilter('ignore', ImportWarning)")
    plain = report(tmp_path, "pkg_resources")
    ours = report(tmp_path, "mirtal.core.pluginmanager")
    assert ours["error"] is None
    assert ours["filters"] == plain["filters"] == [
        "('ignore', None, <class 'ImportWarning'>, None, 0)"]


@pytest.mark.parametrize("package", ["installed", "UserWarning", "DeprecationWarning"])
def test_import_of_the_package_is_silent_under_error_filter(tmp_path, package):
    if package != "installed":
        (tmp_path / "pkg_resources.py").write_text(textwrap.dedent(f"""
            import warnings
            warnings.warn("pkg_resources is deprecated as an API. See the documentation.",
                          {package}, stacklevel=2)
            def iter_entry_points(group, name=None):
                return iter(())
        """))
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import mirtal; print(dir(mirtal))"],
        capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert "__warningregistry__" not in done.stdout


@pytest.mark.skipif(sys.version_info < (3, 14), reason="context-aware warnings came in 3.14")
def test_filters_of_a_warnings_context_are_the_ones_used(tmp_path):
    # With context-aware warnings the filters in force inside catch_warnings() are the context's:
    # our filter goes there (and out again), and the module's global list is not touched.
    noisy(tmp_path)
    plain = report(tmp_path, "pkg_resources", "-X", "context_aware_warnings=1")
    ours = report(tmp_path, "mirtal.core.pluginmanager", "-X", "context_aware_warnings=1")
    assert ours["error"] is None
    assert ours["warnings"] == ["another warning of the package"]
    assert (ours["filters"], ours["global"]) == (plain["filters"], plain["global"])
