"""The `--check --json` document against the schema shipped in the installed package, and
documents of real loads made in a fresh interpreter for the tests to look at."""

import json
import subprocess
import textwrap
from importlib import resources

import jsonschema

from sites import PYTHON, environment

SCHEMA_NAME = "check-report.schema.json"
PLAIN = (str, int, float, bool, type(None))


def shipped_schema():
    return json.loads((resources.files("mirtal") / SCHEMA_NAME).read_text(encoding="utf-8"))


VALIDATOR = jsonschema.Draft202012Validator(shipped_schema())


def plain_types(value, where="document"):
    """Where the value holds anything but exact JSON types (a tuple, a str subclass, a key that
    is not text), else None."""
    if isinstance(value, list):
        return next(filter(None, (plain_types(v, f"{where}[{i}]") for i, v in enumerate(value))),
                    None)
    if isinstance(value, dict):
        for key, item in value.items():
            found = (f"{where}: key {key!r}" if type(key) is not str
                     else plain_types(item, f"{where}.{key}"))
            if found:
                return found
        return None
    return None if type(value) in PLAIN else f"{where}: {type(value).__name__}"


def assert_valid_report(document):
    """The document is strict JSON made of exact JSON types, and valid against the schema."""
    assert plain_types(document) is None, plain_types(document)
    try:
        json.dumps(document, allow_nan=False)
    except ValueError as error:  # NaN or an infinity: not JSON
        raise AssertionError(f"not strict JSON: {error}") from None
    errors = sorted(VALIDATOR.iter_errors(document), key=lambda e: list(e.absolute_path))
    assert not errors, "\n".join(
        f"{'/'.join(map(str, e.absolute_path))}: {e.message}" for e in errors)


CHECKED = """\
import json, mirtal
from mirtal import report_format, settings
{setup}
chosen = settings.deployment(exclude={exclude!r}, prefer={prefer!r})
report = mirtal.load_plugins(exclude=[s.text for s in chosen.exclude],
                             on_error=lambda failure: None)
report.preferences = settings.apply_preferences(report, chosen.prefer)
report.settings = chosen
{after}
def text(key):
    return str.__str__(key) if isinstance(key, str) else repr(key)
def walk(level, path):
    for chassis, record in level.get("data", {{}}).items():
        cls = record["cls"]
        yield "/".join([*path, text(chassis)]), [f"{{cls.__module__}}.{{cls.__qualname__}}",
                                                 record["path"]]
    for key, child in level.items():
        if key != "data":
            yield from walk(child, [*path, text(key)])
tree = {{}}
for key, node in mirtal.__plugin_manager__.plugins.items():
    tree.update(walk(node, [text(key)]))
print(json.dumps([report_format.check_document(report), tree]))
"""


def checked(*paths, prefer=(), exclude=(), setup="", after=""):
    """In a fresh interpreter that sees `paths`: the settings read, the plugins loaded, the
    preferences applied. Returns the document (checked against the schema) and the tree as
    {"os[/series[/model]]/chassis": [class, file]}."""
    code = CHECKED.format(setup=textwrap.dedent(setup), after=textwrap.dedent(after),
                          exclude=list(exclude), prefer=list(prefer))
    done = subprocess.run([*PYTHON, "-c", code], capture_output=True, text=True,
                          env=environment(*paths), cwd=paths[0], timeout=120)
    assert done.returncode == 0, done.stderr
    document, tree = json.loads(done.stdout.splitlines()[-1])
    assert_valid_report(document)
    return document, tree
