"""Which function a manager calls for its own checks and printout, and which attributes it reads:
what an attribute lookup on `self` would find, however the instance, its dict or the class change,
and whatever the keys in the instance dict do when compared."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager


class Plugin:
    pass


class Other:
    pass


@pytest.fixture
def populated():
    manager = PluginManager()
    manager.register_plugin(Plugin, os="vennu")
    manager.register_plugin(Plugin, os="vennu", series="zq4")
    return manager


class Collider:
    """An instance-dict key with the hash of `name`, so that looking `name` up compares with it.
    It acts once placed in the dict."""

    def __init__(self, name, on_compare):
        self.name = name
        self.hash = hash(name)
        self.on_compare = on_compare
        self.armed = False

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        return self.on_compare() if self.armed else False


def place(manager, collider):
    """Puts the collider ahead of any entry of its name, so that a lookup of the name meets it."""
    entries = vars(manager)
    present = collider.name in entries
    value = entries.pop(collider.name, None)
    entries[collider] = 1
    if present:
        entries[collider.name] = value
    collider.armed = True


def raising_once():
    raised = []

    def compare():
        if raised:
            return False
        raised.append(True)
        raise RuntimeError("compared")

    return compare


@pytest.mark.parametrize("name", ["validate_arguments", "validate_model", "validate_series",
                                  "validate_os", "validate_chassis_type", "_plugins"])
def test_a_raising_comparison_during_a_lookup_propagates(populated, name):
    # Raised by the first lookup of the name, as in Python; a second lookup would find nothing.
    place(populated, Collider(name, raising_once()))
    with pytest.raises(RuntimeError, match="compared"):
        populated.get_plugin("vennu", "zq4")
    assert populated.get_plugin("vennu", "zq4") is Plugin


def test_a_comparison_that_replaces_the_dict_being_read(populated):
    def replace_dict():
        populated.__dict__ = dict(vars(populated), validate_os=lambda os: None)
        return False

    place(populated, Collider("validate_model", replace_dict))
    # Reads no name that collides (the dict that held the values read stays in use)...
    populated.validate_os("brelk")
    assert populated.get_plugin("vennu") is Plugin  # the lookup of validate_model replaces
    with pytest.raises(ConnectionInfraError, match="not found"):
        populated.get_plugin("newos")  # validate_os now comes from the new dict: accepted
    assert "validate_os" in vars(populated)


def test_a_comparison_that_clears_the_tree_mid_lookup(populated):
    place(populated, Collider("_plugins", lambda: populated.__dict__.clear() or False))
    with pytest.raises(AttributeError, match="_plugins"):
        populated.get_plugin("vennu")


def patch(where, manager, name, function):
    if where == "class":
        setattr(PluginManager, name, function)
    elif where == "instance":
        setattr(manager, name, function.__get__(manager))
    else:
        manager.__class__ = type("Patched", (PluginManager,), {name: function})


def unpatch(where, manager, name, original):
    if where == "class":
        setattr(PluginManager, name, original)
    elif where == "instance":
        delattr(manager, name)
    else:
        manager.__class__ = PluginManager


def overriding_validate_os(self, os):
    # raises, so that a call that went around the override cannot pass for one that ran it
    raise LookupError("override ran")


@pytest.mark.parametrize("where", ["class", "instance", "__class__"])
def test_patches_take_effect_and_wear_off_every_time(populated, where):
    original = PluginManager.__dict__["validate_os"]
    try:
        for _ in range(3):  # a watch that fired once must fire again
            patch(where, populated, "validate_os", overriding_validate_os)
            with pytest.raises(LookupError, match="override ran"):
                populated.get_plugin("vennu")
            unpatch(where, populated, "validate_os", original)
            with pytest.raises(ConnectionInfraError, match="OS should be one of"):
                populated.get_plugin(None)
            assert populated.get_plugin("vennu", "zq4") is Plugin
    finally:
        PluginManager.validate_os = original


@pytest.mark.parametrize("name, value", [
    ("_plugins", property(lambda self: {"vennu": {"data": {"single_rp": {"cls": Other}}}})),
    ("supported_os", property(lambda self: ["dravo"])),
    ("validate_arguments", lambda self, *args: None),
])
def test_class_descriptors_for_attributes_and_methods(populated, name, value):
    original = vars(PluginManager).get(name)
    setattr(PluginManager, name, value)
    try:
        if name == "_plugins":
            assert populated.get_plugin("vennu") is Other
        elif name == "supported_os":
            with pytest.raises(ConnectionInfraError, match=r"these \['dravo'\]"):
                populated.get_plugin(None)
        else:
            with pytest.raises(ConnectionInfraError, match="not found"):
                populated.get_plugin(None)
    finally:
        if original is None:
            delattr(PluginManager, name)
        else:
            setattr(PluginManager, name, original)
    assert populated.get_plugin("vennu") is Plugin


def test_unrelated_class_attributes_change_nothing(populated):
    before = set(vars(PluginManager))
    PluginManager.flag = True
    try:
        PluginManager.__annotations__  # noqa: B018  (reading it may store a key)
        assert populated.get_plugin("vennu", "zq4") is Plugin
        with pytest.raises(ConnectionInfraError, match="chassis Type"):
            populated.get_plugin("vennu", chassis_type="quad")
    finally:
        for name in set(vars(PluginManager)) - before:  # the flag, and what reading stored
            delattr(PluginManager, name)


def test_replaced_instance_dict(populated):
    tree = populated._plugins
    populated.__dict__ = {"_plugins": {}, "supported_os": ["vennu"], "chassis_type_list": ["x"]}
    with pytest.raises(ConnectionInfraError, match="chassis Type"):
        populated.get_plugin("vennu")
    populated.__dict__ = {"_plugins": tree, "supported_os": ["vennu"],
                          "chassis_type_list": ["single_rp"]}
    assert populated.get_plugin("vennu") is Plugin


class Named(str):
    """An instance-dict key equal to a method's name but not an exact str."""

    __hash__ = str.__hash__


@pytest.mark.parametrize("key", [Named("validate_os"), "".join(["validate", "_os"])])
def test_override_under_an_equal_key(populated, key):
    populated.__dict__[key] = lambda os: overriding_validate_os(populated, os)
    with pytest.raises(LookupError, match="override ran"):
        populated.get_plugin("vennu")


def test_attributes_under_equal_keys_that_are_not_the_same_object(populated):
    tree = populated.__dict__.pop("_plugins")
    populated.__dict__["".join(["_plu", "gins"])] = tree
    populated.supported_os = ["".join(["ven", "nu"])]  # equal text, not the interned object
    assert populated.get_plugin(sys.intern("vennu"), "zq4") is Plugin


def test_managers_used_alternately_keep_their_own_state():
    first, second = PluginManager(), PluginManager()
    first.register_plugin(Plugin, os="vennu")
    second.register_plugin(Other, os="vennu")
    second.chassis_type_list = ["single_rp", "line_card"]
    second.register_plugin(Other, os="vennu", chassis_type="line_card")
    for _ in range(50):
        assert first.get_plugin("vennu") is Plugin
        assert second.get_plugin("vennu") is Other
        assert second.get_plugin("vennu", chassis_type="line_card") is Other
        with pytest.raises(ConnectionInfraError, match="chassis Type"):
            first.get_plugin("vennu", chassis_type="line_card")


def test_attributes_set_in_a_hot_loop_take_effect_at_once():
    manager = PluginManager()
    trees = [{"vennu": {"data": {"single_rp": {"cls": cls}}}} for cls in (Plugin, Other)]
    for i in range(300):  # long enough for the interpreter to specialise the stores and calls
        manager._plugins = trees[i % 2]
        assert manager.get_plugin("vennu") is (Plugin, Other)[i % 2]
        manager.validate_os = lambda os: None
        with pytest.raises(ConnectionInfraError, match=r"\(newos\)"):
            manager.get_plugin("newos")
        del manager.validate_os
        with pytest.raises(ConnectionInfraError, match="OS should be one of"):
            manager.get_plugin(None)
        manager.supported_os = ["dravo"] if i % 3 == 0 else ["vennu"]
        with pytest.raises(ConnectionInfraError, match=re.escape(f"{manager.supported_os} ,")):
            manager.get_plugin(None)


class RaisingElement:
    """A list element whose comparison raises, as `in` meets it."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        raise RuntimeError("compared")


@pytest.mark.parametrize("attribute, found", [("supported_os", "vennu"),
                                              ("chassis_type_list", "single_rp")])
def test_list_elements_before_the_match_are_compared(populated, attribute, found):
    setattr(populated, attribute, [RaisingElement(), found])
    with pytest.raises(RuntimeError, match="compared"):
        populated.get_plugin("vennu")
    setattr(populated, attribute, [found, RaisingElement()])  # never reached: found first
    assert populated.get_plugin("vennu") is Plugin


def test_deleting_the_instance_dict_leaves_an_empty_one(populated):
    del populated.__dict__
    assert vars(populated) == {}
    with pytest.raises(AttributeError, match="supported_os"):
        populated.get_plugin("vennu")
    populated.__init__()
    assert populated.plugins == {} and populated.supported_os[0] == "brelk"



def other_tree():
    return {"vennu": {"data": {"single_rp": {"cls": Other}}}}


def popitems_and_back(m, entries):
    for _ in range(len(entries)):
        vars(m).popitem()
    vars(m).update(entries, _plugins=other_tree())


# Every way of changing what a manager's attributes are, each ending with a tree that finds Other
# (`entries`: the attributes as they were): a reading kept from earlier calls must not survive.
CHANGES = {
    "setattr": lambda m, entries: setattr(m, "_plugins", other_tree()),
    "delattr, setattr": lambda m, entries: (delattr(m, "_plugins"),
                                            setattr(m, "_plugins", other_tree())),
    "dict item": lambda m, entries: m.__dict__.__setitem__("_plugins", other_tree()),
    "vars update": lambda m, entries: vars(m).update(_plugins=other_tree()),
    "in-place or": lambda m, entries: vars(m).__ior__({"_plugins": other_tree()}),
    "pop, setdefault": lambda m, entries: (vars(m).pop("_plugins"),
                                           vars(m).setdefault("_plugins", other_tree())),
    "clear, update": lambda m, entries: (vars(m).clear(),
                                         vars(m).update(entries, _plugins=other_tree())),
    "popitem, update": popitems_and_back,
    "new dict": lambda m, entries: setattr(m, "__dict__", {**entries, "_plugins": other_tree()}),
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_every_change_of_the_attributes_is_seen_by_the_next_call(populated, change):
    for _ in range(5):  # the instance is read, and the reading used
        assert populated.get_plugin("vennu") is Plugin
    CHANGES[change](populated, dict(vars(populated)))
    for _ in range(3):
        assert populated.get_plugin("vennu") is Other


def set_many(m, count):
    for i in range(count):
        setattr(m, f"a{i}", i)


# Changes made through attributes alone, never through the instance dict: the manager keeps its
# attributes where the interpreter stores them inline, or in a dict of their own once too many.
INLINE_CHANGES = {
    "setattr": lambda m: None,
    "delattr, setattr": lambda m: delattr(m, "_plugins"),
    "another attribute": lambda m: setattr(m, "note", 1),
    "another manager's attribute": lambda m: setattr(PluginManager(), "note", 1),
    "forty attributes": lambda m: set_many(m, 40),
}


@pytest.mark.parametrize("change", list(INLINE_CHANGES))
def test_changes_made_through_attributes_are_seen_by_the_next_call(change):
    manager = PluginManager()
    manager.register_plugin(Plugin, os="vennu")
    for _ in range(100):  # the interpreter specialises the loads, stores and calls
        assert manager.get_plugin("vennu") is Plugin
    INLINE_CHANGES[change](manager)
    if not hasattr(manager, "_plugins"):
        with pytest.raises(AttributeError, match="_plugins"):
            manager.get_plugin("vennu")
    manager._plugins = other_tree()
    for _ in range(3):
        assert manager.get_plugin("vennu") is Other
    manager.validate_os = lambda os: exec("raise LookupError('overridden')")
    with pytest.raises(LookupError, match="overridden"):
        manager.get_plugin("vennu")


@pytest.mark.parametrize("change", ["setattr", "delattr, setattr"])
def test_changes_made_through_attributes_in_a_fresh_interpreter(change):
    # There the class's shared keys hold the three attributes alone, in __init__'s order, as for a
    # program's first managers: they are read by position until another attribute name comes (the
    # other changes bring one at once).
    test = f"{__file__}::{test_changes_made_through_attributes_are_seen_by_the_next_call.__name__}"
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"{test}[{change}]"],
        capture_output=True, text=True, cwd=Path(__file__).parent.parent)
    assert done.returncode == 0 and re.search(r"\b1 passed", done.stdout), done.stdout + done.stderr


def test_an_instance_moved_into_the_class_is_read_with_its_own_layout():
    class Laid(PluginManager):  # its instances' attributes come in another order, after another
        def __init__(self):
            self.note = None
            self.supported_os, self.chassis_type_list = ["vennu"], ["single_rp"]
            self._plugins = other_tree()

    moved = Laid()
    del moved.note
    moved.__class__ = PluginManager
    for _ in range(3):
        assert moved.get_plugin("vennu") is Other


@pytest.mark.parametrize("override", ["instance dict", "vars"])
def test_an_override_added_after_a_reading_is_called(populated, override):
    for _ in range(5):
        populated.get_plugin("vennu")
    entries = populated.__dict__ if override == "instance dict" else vars(populated)
    entries["validate_os"] = lambda os: exec("raise LookupError('overridden')")
    with pytest.raises(LookupError, match="overridden"):
        populated.get_plugin("vennu")


def test_a_dict_shared_by_two_managers_is_read_for_each():
    first, second = PluginManager(), PluginManager()
    first.register_plugin(Plugin, os="vennu")
    second.register_plugin(Other, os="vennu")
    for _ in range(5):
        assert second.get_plugin("vennu") is Other
    second.__dict__ = first.__dict__
    for _ in range(3):
        assert second.get_plugin("vennu") is Plugin
    first._plugins = other_tree()
    assert second.get_plugin("vennu") is Other


def test_managers_made_where_freed_ones_were_are_read_anew():
    classes = [type(f"Plugin{i}", (), {}) for i in range(50)]
    addresses = set()
    for cls in classes:  # each manager and its dict are freed before the next is made
        manager = PluginManager()
        manager.register_plugin(cls, os="vennu")
        for _ in range(3):
            assert manager.get_plugin("vennu") is cls
        addresses.add(id(manager))
        del manager
    if len(addresses) == len(classes):  # the point of the test: some address came back
        pytest.skip("no freed address was reused (a sanitizer's allocator holds freed memory back)")
