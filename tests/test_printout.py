"""print_tree and the manager's text form: exact texts, overrides, odd keys and hostile trees."""

import collections
import os
import subprocess
import sys
import textwrap
import types
import warnings

import pytest
from hypothesis import given, settings, strategies as st

from mirtal.core.pluginmanager import PluginManager

ORIGINAL_PRINT_TREE = PluginManager.__dict__["print_tree"]


class Named(type):
    def __str__(cls):  # classes shown by their bare name
        return cls.__name__


A, B, C = (Named(name, (), {}) for name in "ABC")

WORKED_TREE = {
    "brelk": {"data": {"single_rp": {"cls": "A", "path": "fa"},
                       "dual_rp": {"cls": "B", "path": "fb"}}},
    "vennu": {"zq4": {"data": {"single_rp": {"cls": "C", "path": "fc"}}}},
}
WORKED_LINES = [
    "plugin",
    "  |__ brelk",
    "  |  |__ data",
    "  |    |__ dual_rp",
    "  |    |  |__ cls = B",
    "  |    |  |__ path = fb",
    "  |    |__ single_rp",
    "  |      |__ cls = A",
    "  |      |__ path = fa",
    "  |__ vennu",
    "    |__ zq4",
    "      |__ data",
    "        |__ single_rp",
    "          |__ cls = C",
    "          |__ path = fc",
]
WORKED = "\n".join(WORKED_LINES)


def reference(data, output="plugin"):
    """The documented recursive rendering, written plainly."""
    if not data or data == {}:
        return ""
    if not isinstance(data, dict):
        return output + " = " + str(data)
    sorted_keys = list(data.keys())
    if all(isinstance(key, str) for key in sorted_keys):
        sorted_keys.sort()
    else:
        sorted_keys.sort(key=str)
    last_key = sorted_keys[-1]
    for key in sorted_keys:
        temp_output = reference(data[key], "__ " + (key if isinstance(key, str) else str(key)))
        separator = "  " if key == last_key else "  |"
        for current_line, line in enumerate(temp_output.split("\n"), 1):
            if current_line == 1 and key == last_key:
                output += "\n  |" + line
            else:
                output += "\n" + separator + line
    return output


def header(manager):
    return f"plugins ({type(manager)} at {hex(id(manager))}) "


class PerLevel(PluginManager):
    """Overrides print_tree without changing it, which forces one call per level."""

    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)


class Recording(PluginManager):
    def print_tree(self, *args, **kwargs):
        vars(self).setdefault("calls", []).append(call := [args, kwargs, None])
        call[2] = super().print_tree(*args, **kwargs)
        return call[2]


class Level(dict):
    pass


class EqualsEmpty:
    def __eq__(self, other):  # true by the truth test, yet equal to an empty dict
        return other == {}


class Boom:
    def __str__(self):
        raise ValueError("no text")

    __repr__ = __str__


RENDERERS = [PluginManager, PerLevel]


@pytest.fixture
def named_files(module_globals):
    module_globals["getfile"] = lambda cls: "f" + cls.__name__.lower()


def register_worked_example(manager):
    manager.register_plugin(A, os="brelk")
    manager.register_plugin(B, os="brelk", chassis_type="dual_rp")
    manager.register_plugin(C, os="vennu", series="zq4")


@pytest.mark.parametrize("cls", RENDERERS)
def test_worked_example_from_literal_tree(cls, capsys):
    text = cls().print_tree(WORKED_TREE)
    assert text == WORKED and len(text) == 269
    assert capsys.readouterr() == ("", "")


def test_worked_example_from_registrations(manager, named_files):
    register_worked_example(manager)
    assert manager.print_tree(data=manager.plugins, output="plugin") == WORKED
    assert repr(manager) == str(manager) == header(manager) + WORKED[len("plugin"):]


@pytest.mark.parametrize("removal, lines", [
    ({"os": "vennu", "series": "zq4"}, WORKED_LINES[:9] + ["  |__ vennu", "    |"]),
    ({"os": "brelk", "chassis_type": "dual_rp"},
     WORKED_LINES[:3] + ["  |    |__ single_rp", "  |      |__ cls = A", "  |      |__ path = fa"]
     + WORKED_LINES[9:]),
])
def test_removal_leaves_its_mark(manager, named_files, removal, lines):
    register_worked_example(manager)
    manager.unregister_plugin(**removal)
    assert manager.print_tree(manager.plugins) == "\n".join(lines)


EMPTY_VALUES = [None, {}, 0, 0.0, False, "", [], (), collections.OrderedDict(), EqualsEmpty()]


@pytest.mark.parametrize("data", EMPTY_VALUES, ids=repr)
@pytest.mark.parametrize("output", ["plugin", "", "a\nb", None, 5, b"plugin"])
def test_empty_or_false_data_renders_nothing(data, output):
    assert PluginManager().print_tree(data, output) == ""


@pytest.mark.parametrize("empty", EMPTY_VALUES, ids=repr)
def test_empty_child_is_a_bare_prefix_line(empty):
    tree = {"brelk": 1, "tarn": empty, "vennu": 2}
    assert PluginManager().print_tree(tree) == "plugin\n  |__ brelk = 1\n  |\n  |__ vennu = 2"
    assert PerLevel().print_tree({"brelk": empty}) == "plugin\n  |"


@pytest.mark.parametrize("data, output, expected", [
    (5, "plugin", "plugin = 5"),
    ("x\ny", "top", "top = x\ny"),
    ({"brelk": "x"}, "plugin", "plugin\n  |__ brelk = x"),
    ({"brelk": 1}, "a\nb", "a\nb\n  |__ brelk = 1"),
    # continuation lines of a multi-line text take the block's prefix but no marker
    ({"brelk": "x\ny"}, "plugin", "plugin\n  |__ brelk = x\n  y"),
    ({"a": "x\ny", "b": 1}, "plugin", "plugin\n  |__ a = x\n  |y\n  |__ b = 1"),
    ({"a": {"b": "x\n\ny"}}, "plugin", "plugin\n  |__ a\n    |__ b = x\n    \n    y"),
    ({"a\nb": 1, "c": 2}, "plugin", "plugin\n  |__ a\n  |b = 1\n  |__ c = 2"),
    # the last child's sub-lines stand one column further left
    ({"a": {"x": 1, "y": 2}, "b": {"x": 1, "y": 2}}, "plugin",
     "plugin\n  |__ a\n  |  |__ x = 1\n  |  |__ y = 2\n  |__ b\n    |__ x = 1\n    |__ y = 2"),
    # sequences and other mappings are leaves
    ({"a": [1, "x"], "b": (2,), "c": ()}, "p", "p\n  |__ a = [1, 'x']\n  |__ b = (2,)\n  |"),
    ({"a": [{"k": 1}]}, "plugin", "plugin\n  |__ a = [{'k': 1}]"),
    ({"a": types.MappingProxyType({"k": 1})}, "plugin", "plugin\n  |__ a = {'k': 1}"),
    ([1, 2], "plugin", "plugin = [1, 2]"),
    # code-point order, not insertion order; "data" has no fixed place
    (dict.fromkeys(["b", "a", "data", "B", "_", "1", "é", "Z"], 2) | {"b": 1}, "p",
     "p\n  |__ 1 = 2\n  |__ B = 2\n  |__ Z = 2\n  |__ _ = 2\n  |__ a = 2\n  |__ b = 1"
     "\n  |__ data = 2\n  |__ é = 2"),
])
@pytest.mark.parametrize("cls", RENDERERS)
def test_exact_renderings(cls, data, output, expected):
    assert cls().print_tree(data, output) == expected
    assert reference(data, output) == expected


@pytest.mark.parametrize("make", [
    dict, collections.OrderedDict, Level, collections.Counter,
    lambda items: collections.defaultdict(int, items),
])
@pytest.mark.parametrize("cls", RENDERERS)
def test_dict_subclasses_are_levels(cls, make):
    tree = make({"b": 1, "a": make({"y": 2, "x": 3})})
    expected = "plugin\n  |__ a\n  |  |__ x = 3\n  |  |__ y = 2\n  |__ b = 1"
    assert cls().print_tree(tree) == expected


@pytest.mark.parametrize("data", [5, "x", {"a": 1}, {"a": {}}], ids=repr)
@pytest.mark.parametrize("output", [None, 5, b"plugin", ("plugin",)], ids=repr)
def test_output_that_is_not_text_fails_once_used(data, output):
    with pytest.raises(TypeError):
        PluginManager().print_tree(data, output)


class BadKey:
    __str__ = Boom.__str__


@pytest.mark.parametrize("tree", [
    Boom(), {"a": {"b": Boom()}}, {"z": 1, "a": [Boom()]}, {None: 1, BadKey(): 2},
], ids=["leaf", "deep", "in list", "key"])
@pytest.mark.parametrize("cls", RENDERERS)
def test_text_that_fails_propagates(cls, tree):
    manager = cls()
    with pytest.raises(ValueError, match="no text"):
        manager.print_tree(tree)
    manager._plugins = tree
    with pytest.raises(ValueError, match="no text"):
        repr(manager)
    assert manager.print_tree(WORKED_TREE) == WORKED


def test_override_is_called_for_every_child_by_keyword():
    manager = Recording()
    assert manager.print_tree(WORKED_TREE) == WORKED
    (first, *children) = manager.calls
    assert first[:2] == [(WORKED_TREE,), {}]
    assert [kwargs["output"] for _, kwargs, _ in children] == [
        "__ brelk", "__ data", "__ dual_rp", "__ cls", "__ path", "__ single_rp", "__ cls",
        "__ path", "__ vennu", "__ zq4", "__ data", "__ single_rp", "__ cls", "__ path",
    ]
    assert all(args == () and set(kwargs) == {"data", "output"} for args, kwargs, _ in children)
    assert children[0][1]["data"] is WORKED_TREE["brelk"]
    assert children[8][1]["data"] is WORKED_TREE["vennu"]
    assert all(text == reference(**kwargs) for _, kwargs, text in children)

    manager = Recording()
    manager._plugins = WORKED_TREE
    assert repr(manager) == header(manager) + WORKED[len("plugin"):]
    assert manager.calls[0][:2] == [(), {"data": WORKED_TREE, "output": header(manager)}]
    assert manager.calls[0][1]["data"] is WORKED_TREE and len(manager.calls) == 15


def shouting(manager, data, output="plugin"):
    """Rewrites leaves and lets the original render levels."""
    if isinstance(data, dict):
        return ORIGINAL_PRINT_TREE(manager, data=data, output=output)
    return output.upper() + "!"


SHOUT_TREE = {"d": "x", "a": {"c": 2, "b": 1}}
SHOUTED = "plugin\n  |__ a\n  |  |__ B!\n  |  |__ C!\n  |__ D!"
QUIET = "plugin\n  |__ a\n  |  |__ b = 1\n  |  |__ c = 2\n  |__ d = x"


def test_override_in_instance_dict_is_used_at_every_level():
    manager, seen = PluginManager(), []

    def override(data, output="plugin"):
        seen.append(output)
        return shouting(manager, data, output)

    manager.print_tree = override
    assert manager.print_tree(SHOUT_TREE) == SHOUTED
    assert seen == ["plugin", "__ a", "__ b", "__ c", "__ d"]
    manager._plugins = SHOUT_TREE
    assert repr(manager) == header(manager) + SHOUTED[len("plugin"):]
    del manager.print_tree
    assert manager.print_tree(SHOUT_TREE) == QUIET


def test_class_patched_at_run_time_then_restored(monkeypatch):
    before = PluginManager()
    before._plugins = SHOUT_TREE
    monkeypatch.setattr(PluginManager, "print_tree", shouting)
    assert before.print_tree(SHOUT_TREE) == PluginManager().print_tree(SHOUT_TREE) == SHOUTED
    assert repr(before) == header(before) + SHOUTED[len("plugin"):]
    monkeypatch.undo()
    assert PluginManager.__dict__["print_tree"] is ORIGINAL_PRINT_TREE
    assert repr(before) == header(before) + QUIET[len("plugin"):]
    assert PluginManager().print_tree(WORKED_TREE) == WORKED


class Failing(PluginManager):
    def print_tree(self, data, output="plugin"):
        if output == "__ zq4":
            raise RuntimeError("override failed")
        return super().print_tree(data, output)


@pytest.mark.parametrize("render", [lambda m: m.print_tree(WORKED_TREE), repr, str])
def test_override_that_raises_propagates_from_deep_inside(render):
    manager = Failing()
    manager._plugins = WORKED_TREE
    with pytest.raises(RuntimeError, match="override failed"):
        render(manager)
    tree = {"brelk": WORKED_TREE["brelk"], "tarn": 1}
    assert manager.print_tree(tree) == "\n".join(WORKED_LINES[:9] + ["  |__ tarn = 1"])


def test_text_of_a_plain_manager(manager, named_files, capsys):
    assert repr(manager) == str(manager) == ""
    manager.register_plugin(A, os="vennu", series="zq4")
    text = repr(manager)
    first = f"plugins (<class 'mirtal.core.pluginmanager.PluginManager'> at 0x{id(manager):x}) "
    assert text.split("\n")[:2] == [first, "  |__ vennu"]
    print(manager)
    assert capsys.readouterr().out == str(manager) + "\n" == text + "\n"


class Fancy(PluginManager, metaclass=type("Meta", (type,), {"__str__": lambda cls: "Fancy!"})):
    plugins = property(lambda self: {"elsewhere": 1})  # the text form reads _plugins directly


@pytest.mark.parametrize("cls, shown", [(PerLevel, f"{PerLevel}"), (Fancy, "Fancy!")])
def test_text_of_a_subclass_instance(cls, shown):
    manager = cls()
    assert repr(manager) == str(manager) == ""
    manager._plugins = {"brelk": 1}
    assert repr(manager) == f"plugins ({shown} at {hex(id(manager))}) \n  |__ brelk = 1"


class Shown(str):
    __str__ = lambda self: "shown"  # noqa: E731


@pytest.mark.parametrize("tree, lines", [
    ({None: 1}, ["  |__ None = 1"]),
    ({"b": 1, None: 2, "a": 3}, ["  |__ None = 2", "  |__ a = 3", "  |__ b = 1"]),
    ({"B": 1, "a": 2, None: 3}, ["  |__ B = 1", "  |__ None = 3", "  |__ a = 2"]),
    ({9: "x", 10: "y"}, ["  |__ 10 = y", "  |__ 9 = x"]),
    ({("vennu", 1): {"data": 1}}, ["  |__ ('vennu', 1)", "    |__ data = 1"]),
    ({None: 1, "None": 2}, ["  |__ None = 1", "  |__ None = 2"]),
    ({"None": 2, None: 1}, ["  |__ None = 2", "  |__ None = 1"]),
    ({0: "x\ny", "0": "z\nw"}, ["  |__ 0 = x", "  |y", "  |__ 0 = z", "  w"]),
    ({"quilos": {None: {"cls": "A"}}}, ["  |__ quilos", "    |__ None", "      |__ cls = A"]),
    # the last child is found by ==, and a NaN is never equal to itself
    ({float("nan"): "x\ny"}, ["  |__ nan = x", "  |y"]),
    # str subclasses keep a str level: sorted as str, labelled by their own characters
    ({Shown("b"): 1, "a": 2}, ["  |__ a = 2", "  |__ b = 1"]),
], ids=repr)
@pytest.mark.parametrize("cls", RENDERERS)
def test_keys_that_are_not_str_show_their_text(cls, tree, lines):
    expected = "\n".join(["plugin", *lines])
    assert cls().print_tree(tree) == expected
    assert reference(tree) == expected


@pytest.mark.parametrize("registration, lines", [
    ({"os": "vennu", "model": ""},
     ["  |__ vennu", "    |__ None", "      |__ ", "        |__ data"]),
    ({"os": ("vennu", 1)}, ["  |__ ('vennu', 1)", "    |__ data"]),
    ({"os": "quilos", "chassis_type": None}, ["  |__ quilos", "    |__ data", "      |__ None"]),
])
def test_manager_text_survives_keys_from_registration(manager, named_files, registration, lines):
    manager.register_plugin(A, **registration)
    text = repr(manager)
    assert text == reference(manager.plugins, header(manager))
    assert text.split("\n")[1 : 1 + len(lines)] == lines


TEXT = st.text(st.one_of(st.sampled_from("aZ_ |\n"), st.characters()), max_size=4)
KEYS = st.one_of(TEXT, st.none(), st.integers(-2, 12), st.floats(), st.binary(max_size=2),
                 st.tuples(st.integers(0, 2), st.text("ab\n", max_size=2)))
LEAVES = st.one_of(st.none(), st.sampled_from([0, "", False, (), 0.0]), st.builds(dict),
                   st.builds(list), st.integers(), st.text(st.sampled_from("xy \n|é"), max_size=6),
                   st.lists(st.integers(), max_size=2), st.tuples(st.text(max_size=2)))
TREES = st.recursive(LEAVES, lambda children: st.one_of(
    st.dictionaries(TEXT, children, max_size=4),
    st.dictionaries(KEYS, children, max_size=4),
    st.dictionaries(TEXT, children, max_size=3).map(Level),
), max_leaves=30)


@settings(max_examples=300, deadline=None)
@given(tree=TREES, output=st.one_of(st.just("plugin"), st.text(st.sampled_from("p \n|é"))))
def test_one_pass_matches_per_level_calls_and_model(tree, output):
    expected = reference(tree, output)
    assert PluginManager().print_tree(tree, output) == expected
    assert PerLevel().print_tree(data=tree, output=output) == expected
    for cls in RENDERERS:
        manager = cls()
        manager._plugins = tree
        assert repr(manager) == reference(tree, header(manager))


def self_holding():
    tree = {"a": 1}
    tree["b"] = {"c": tree}
    return tree


@pytest.mark.parametrize("cls", RENDERERS)
def test_self_referencing_tree_raises_recursion_error(cls):
    manager = cls()
    with pytest.raises(RecursionError):
        manager.print_tree(self_holding())
    manager._plugins = self_holding()
    with pytest.raises(RecursionError):
        repr(manager)
    assert manager.print_tree(WORKED_TREE) == WORKED


class Meddler:
    """Changes the tree being rendered whenever it is shown as text or compared."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        return self.action() or "m"

    def __eq__(self, other):
        return self.action() or self is other

    __hash__ = object.__hash__


MEDDLING = {
    "clear level": lambda root, level: level.clear(),
    "clear root": lambda root, level: root.clear(),
    "drop own entry": lambda root, level: level.pop("a", None),
    "replace siblings": lambda root, level: level.update(b={"new": {"deep": 1}}, z=None),
    "grow level": lambda root, level: level.update({f"k{i}": {"v": i} for i in range(100)}),
    "make a cycle": lambda root, level: root.clear() or level.update(b=root, c=level),
}


def outcome(render, action, as_key):
    level = {"b": {"c": {"d": 1}}, "z": [2]}
    root = {"x": level, "y": {"q": 3}}
    meddler = Meddler(lambda: action(root, level))
    level.update({meddler: 1} if as_key else {"a": meddler})
    try:
        return render(root)
    except KeyError:
        return KeyError


@pytest.mark.parametrize("as_key", [False, True], ids=["leaf", "key"])
@pytest.mark.parametrize("action", MEDDLING.values(), ids=MEDDLING)
def test_tree_changed_while_rendering_never_crashes(action, as_key):
    renders = [PluginManager().print_tree, PerLevel().print_tree, reference]
    results = [outcome(render, action, as_key) for render in renders]
    assert results[0] == results[1] == results[2]
    assert results[0] is KeyError or results[0].startswith("plugin\n  |__ x\n")


class Installer:
    """A leaf that, when shown, installs an overriding print_tree on the instance or the class."""

    def __init__(self, manager, where):
        self.manager, self.where = manager, where

    def __str__(self):
        def shout(*args, **kwargs):
            return shouting(self.manager, *args, **kwargs)
        if self.where == "instance":
            self.manager.print_tree = shout
        else:
            PluginManager.print_tree = lambda manager, *args, **kwargs: shout(*args, **kwargs)
        return "installed"


@pytest.mark.parametrize("where", ["instance", "class"])
def test_override_installed_mid_render_is_used_for_the_rest(where):
    manager = PluginManager()
    tree = {"a": Installer(manager, where), "b": {"c": 1}, "d": "x"}
    try:
        text = manager.print_tree(tree)
    finally:
        PluginManager.print_tree = ORIGINAL_PRINT_TREE
    assert text == "plugin\n  |__ a = installed\n  |__ b\n  |  |__ C!\n  |__ D!"


def test_override_installed_while_a_class_leaf_is_shown():
    manager = PluginManager()

    class Installing:
        """A key of a leaf class's dict, compared when the class's str() looks up __module__."""

        def __hash__(self):
            return hash("__module__")

        armed = False

        def __eq__(self, other):
            if Installing.armed:
                manager.print_tree = lambda data, output="plugin": output + " <override>"
            return False

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a key that is not a str: some versions warn
        leaf = type("Leaf", (), {Installing(): 1, "__module__": "mod"})
    Installing.armed = True
    text = manager.print_tree({"a": {"cls": leaf}, "b": {"c": "leaf"}, "c": "z"}, "root")
    assert text == ("root\n  |__ a\n  |  |__ cls = <class 'mod.Leaf'>\n"
                    "  |__ b <override>\n  |__ c <override>")


# --- outputs and keys with operators of their own: every +, += and == as the interpreter runs them


class PartReference:
    """print_tree as documented, in Python: the behaviour the extension must reproduce."""

    def print_tree(self, data, output="plugin"):
        if not data:
            return ""
        if data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        keys = list(data.keys())
        textual = all(isinstance(key, str) for key in keys)
        sorted_keys = sorted(keys) if textual else sorted(keys, key=str)
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(
                data=data[key], output="__ " + (key if isinstance(key, str) else str(key)))
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    output += "\n  |" + line
                else:
                    output += "\n" + separator + line
                current_line += 1
        return output


TRACE = []


class Acc:
    """An output that records what is added to it."""

    def __init__(self, name):
        self.name, self.parts = name, []

    def __add__(self, other):
        TRACE.append(("add", self.name, str(other)))
        self.parts.append(str(other))
        return self

    __iadd__ = __add__

    def __repr__(self):
        return f"Acc({self.name!r}, {self.parts!r})"


class RAdd(str):
    def __radd__(self, other):
        TRACE.append(("radd", str(self), other))
        return "RADD" + str(self)


class Eq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        TRACE.append(("eq", str(self), str(other)))
        return str.__eq__(self, other)


class RAddAcc(str):
    def __radd__(self, other):
        return Acc("k" + str(self))


class Sub(str):
    pass


class Joining(str):
    def __add__(self, other):
        TRACE.append(("join", str(self), str(other)))
        return Joining(str.__add__(self, other))

    def __radd__(self, other):
        TRACE.append(("rjoin", str(self), str(other)))
        return Joining(str.__add__(other, self))


class JoiningText:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return Joining(self.text)


class OwnSplit(str):
    def split(self, sep):
        TRACE.append(("split", str(self)))
        return [RAdd("x"), "y\nz"]


class JoiningLines(str):
    def split(self, sep):
        return [Joining(part) for part in str.split(self, sep)]


def odd_renderer(base, kind):
    class Odd(base):
        def print_tree(self, data, output="plugin"):
            TRACE.append(("print_tree", str(output)[:12]))
            if isinstance(data, int) and kind == "split":
                return OwnSplit(f"{output} = {data}")
            if isinstance(data, int) and data == 2 and kind == "acc":
                return Acc("override")
            if isinstance(data, int) and kind == "joining":
                return Joining(f"{output}={data}")
            if isinstance(data, int) and kind == "taken back":  # the level goes on as an object
                return JoiningLines(f"{output} = {data}\nmore")
            return base.print_tree(self, data, output)
    return Odd


ODD_TREES = [
    5,
    {RAdd("k"): 1},
    {"a": {RAdd("k"): 1, "b": 2}, "c": {"d": 3}},
    {"a": 1, "b": {"c": JoiningText("w\nv"), "d": 4}, "e": 5},
    {"a": 1, "b": {"c": 2, "d": {RAddAcc("q"): 1}}, "e": {"f": 1}},
    {Eq("a"): {"x": 1, "y": 2}, Eq("b"): {"z": 3}},
    {None: 1, "a": {(1, 2): 3}},
    {Sub("b"): 1, Sub("a"): {"c": "x\ny"}},
    {"a": "", "b": {}, "c": 0, "d": {"e": None}},
    {"a": {"b": {"c": 2, "d": 1}}, "z": {"y": 2}},
    {"a": {"b": {"c": {"x": "p\nq", "y": 1}, "d": {"e": {"f": 3}, "g": "h"}}}, "z": {"y": 2}},
]
ODD_OUTPUTS = ["plugin", Sub("S"), "Acc", Joining("J"), "p\nq"]


def traced_rendering(cls, tree, output):
    TRACE.clear()
    try:
        result = cls().print_tree(tree, Acc("output") if output == "Acc" else output)
        return type(result), repr(result), list(TRACE)
    except Exception as error:  # noqa: BLE001 (the same error is expected of both)
        return type(error), str(error), list(TRACE)


@pytest.mark.parametrize("kind", [None, "split", "acc", "joining", "taken back"])
@pytest.mark.parametrize("output", ODD_OUTPUTS, ids=repr)
@pytest.mark.parametrize("tree", ODD_TREES, ids=repr)
def test_operators_of_outputs_keys_and_renderings_run_as_documented(tree, output, kind):
    ours, theirs = (odd_renderer(cls, kind) if kind else cls
                    for cls in (PluginManager, PartReference))
    assert traced_rendering(ours, tree, output) == traced_rendering(theirs, tree, output)


def test_examples_of_outputs_and_keys_with_operators(manager):
    TRACE.clear()
    output = manager.print_tree(5, Acc("L"))
    assert output.parts == [" = ", "5"]
    assert manager.print_tree({RAdd("k"): 1}) == "plugin\n  |RADDk = 1"
    TRACE.clear()
    manager.print_tree({Eq("a"): {"x": 1}, Eq("b"): 2})
    # Each child is rendered before its key is compared: for the separator, then the first line.
    assert [t[:2] for t in TRACE] == [("eq", "a")] * 2 + [("eq", "b")] * 2


# A level of two million keys, printed under an address-space limit a few MiB above what the
# process holds: the first large allocation of the printout (its list of the level's keys) fails.
OUT_OF_MEMORY = textwrap.dedent("""
    import resource, sys
    from mirtal.core.pluginmanager import PluginManager
    manager = PluginManager()
    manager._plugins = dict.fromkeys(map(str, range(2_000_000)))
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, ((size + 4096) * 1024, resource.RLIM_INFINITY))
    try:
        bytearray(64 << 20)
    except MemoryError:
        pass
    else:
        sys.exit(4)  # the limit is not enforced (qemu-user, for one, ignores it)
    try:
        {call}
    except MemoryError:
        sys.exit(3)
    """)


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs /proc and an address-space limit (not under AddressSanitizer)")
@pytest.mark.parametrize("call", ["manager.print_tree(manager._plugins)", "repr(manager)"])
def test_running_out_of_memory_while_printing_raises_memory_error(call):
    script = OUT_OF_MEMORY.format(call=call)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if done.returncode == 4:
        pytest.skip("this machine does not enforce an address-space limit (an emulator)")
    assert done.returncode == 3, done.stderr[-2000:]
