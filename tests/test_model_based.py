"""Random register / unregister / get_plugin sequences against a plain-Python model of the tree."""

import inspect

from hypothesis import settings, strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule

from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager

SUPPORTED_OS = ["brelk", "tarn", "vennu", "tarnel", "tarvik", "solvar", "quilos", "mekari", "oru",
                "dex", "plo", "yarrf", "uzu", "kolm", "jepra", "dravo"]
CHASSIS_TYPES = ["single_rp", "dual_rp", "stack"]

oses = st.sampled_from([None, "", "vennu", "quilos", "newos", "VENNU", "data"])
series = st.sampled_from([None, "", "stack", "ZQ4", "123", "data"])
models = st.sampled_from([None, "", "m1", "M1", "42", "data"])
chassis = st.sampled_from(CHASSIS_TYPES + ["quad", None])


One, Two = (type(name, (), {"__doc__": "A connection class."}) for name in ("One", "Two"))


class Rejected(Exception):
    pass


def check_shape(value, what, case_message):
    if not (value.islower() or value.isdigit()):
        raise Rejected(case_message % (value,))
    if value == "data":
        raise Rejected(f"{what} ({value}) is a reserved name")


def validate(os, series, model, chassis_type):
    if model:
        if not series or not os:
            raise Rejected("OS and Series are required for Model: " + str(model))
        check_shape(model, "Model", " Model (%s) has to be in lowecase")
    if series:
        if os is None:
            raise Rejected("OS information not provided for Series: " + str(series))
        check_shape(series, "Series", "Series (%s) has to be in lowercase")
    if not os:
        raise Rejected("OS should be one of these " + str(SUPPORTED_OS) + " , but got " + str(os))
    if os != "quilos" and (not chassis_type or chassis_type not in CHASSIS_TYPES):
        raise Rejected("chassis Type should be one of these " + str(CHASSIS_TYPES) + ", but got "
                       + str(chassis_type))


def key_path(os, series, model):
    if model is not None:
        return [os, series, model]
    return [os, series] if series is not None else [os]


class Model:
    """The documented behaviour, written plainly."""

    def __init__(self):
        self.tree = {}

    def register(self, cls, os, series, model, chassis_type):
        validate(os, series, model, chassis_type)
        node = self.tree
        for key in key_path(os, series, model):
            node = node.setdefault(key, {})
        node.setdefault("data", {})[chassis_type] = {"cls": cls, "path": inspect.getfile(cls)}

    def unregister(self, os, series, model, chassis_type):
        validate(os, series, model, "single_rp")
        node = self.tree
        for key in key_path(os, series, model) + ["data"]:
            if key not in node:
                raise Rejected("Plugin data not found")
            parent, node = node, node[key]
        if chassis_type is None:
            del parent["data"]
        elif chassis_type not in node:
            raise Rejected("Plugin data not found for " + str(chassis_type))
        else:
            del node[chassis_type]

    def get(self, os, series, model, chassis_type):
        validate(os, series, model, chassis_type)
        path, node, depth = key_path(os, series, model), self.tree, 0
        while depth < len(path) and path[depth] in node:
            node, depth = node[path[depth]], depth + 1
        if depth and chassis_type in node.get("data", {}):
            return node["data"][chassis_type]["cls"]
        raise Rejected("Plugin data not found for (" + "/".join(map(str, path)) + "), type: "
                       + str(chassis_type) + " ")


def result_of(call, *args):
    try:
        return "returned", call(*args)
    except Rejected as error:
        return "rejected", error.args
    except ConnectionInfraError as error:
        assert type(error) is ConnectionInfraError
        return "rejected", error.args


class SubManager(PluginManager):
    """Takes the generic route: every sibling method is looked up by name."""


class TreeMachine(RuleBasedStateMachine):
    manager_type = PluginManager

    def __init__(self):
        super().__init__()
        self.manager = self.manager_type()
        self.model = Model()

    def compare(self, ours, theirs, *args):
        assert result_of(ours, *args) == result_of(theirs, *args)

    # Operations draw their addresses from a few chosen per run, so that they meet in the tree.
    places = Bundle("places")

    @rule(target=places, os=oses, series=series, model=models)
    def place(self, os, series, model):
        return os, series, model

    @rule(cls=st.sampled_from([One, Two]), where=places, chassis_type=chassis)
    def register(self, cls, where, chassis_type):
        self.compare(self.manager.register_plugin, self.model.register, cls, *where, chassis_type)

    @rule(where=places, chassis_type=chassis)
    def unregister(self, where, chassis_type):
        self.compare(self.manager.unregister_plugin, self.model.unregister, *where, chassis_type)

    @rule(where=places, chassis_type=chassis)
    def get(self, where, chassis_type):
        self.compare(self.manager.get_plugin, self.model.get, *where, chassis_type)

    @invariant()
    def same_tree(self):
        assert self.manager.plugins == self.model.tree


class SubclassTreeMachine(TreeMachine):
    manager_type = SubManager


TestTree = TreeMachine.TestCase
TestTree.settings = settings(max_examples=120, stateful_step_count=40, deadline=None)
TestSubclassTree = SubclassTreeMachine.TestCase
TestSubclassTree.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
