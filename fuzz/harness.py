"""Differential fuzzing of the plugin manager: the extension against benchmarks/baseline.py.

Each input is decoded into a program: whether the manager is of the class itself or of a subclass,
then a sequence of operations (the public methods, each check, print_tree, repr, and meddling with
attributes, overrides and the tree) whose arguments are drawn from a palette of ordinary and
hostile values. The program runs in two worlds side by side, one built on each implementation, and
after every operation the two must agree on the return value, the exception's type and message,
the tree's structure, both lists and the text of repr. The first disagreement is a finding, unless
BY_DESIGN below accounts for it.

    python fuzz/harness.py [libFuzzer options] CORPUS_DIR SEED_DIR   (run by fuzz/run.py)
    python fuzz/harness.py --replay FILE...                          (no atheris needed)

The decoder is our own, so a saved input replays the same way on every interpreter, with or
without atheris (tests/test_fuzz_findings.py replays fuzz/findings/).
"""

import json
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "benchmarks"))

import baseline  # noqa: E402
from mirtal.core import pluginmanager  # noqa: E402

IMPLEMENTATIONS = {"extension": pluginmanager, "baseline": baseline}
METHODS = ("validate_model", "validate_series", "validate_os", "validate_chassis_type",
           "validate_arguments", "print_tree")
MAX_OPERATIONS = 24


class Difference(AssertionError):
    """The two implementations disagreed: a finding."""


# --- where the two sides may differ --------------------------------------------------------------

# Differences by design, each with its reason. A predicate gets the operation's record (what the
# program did up to and including the operation) and says whether the difference is explained.
BY_DESIGN = {
    "recursion depth": (
        "A RecursionError is raised on both sides, but where the limit is hit, and so what ran "
        "before it and the message's wording, depends on the frames each implementation uses.",
        lambda record: record.both_raised(RecursionError),
    ),
    "registration attaches its branch in one step": (
        "The extension builds a registration's missing nodes as a detached branch, bottom up "
        "(the new keys hashed in path order first), and attaches it in one step. A registration "
        "that fails leaves the tree unchanged, where Python made the nodes before the failure, "
        "and the new keys' hooks may have run in another order or number (so may what they do); "
        "one whose key's hashing changes the tree attaches the branch to the tree as it is then.",
        lambda record: record.op == "register_plugin" and (
            record.same_exception()
            or (record.hostile_in_args and record.differs_only_in("_plugins"))),
    ),
    "how often a key is hashed and compared": (
        "A dict operation hashes its key, and compares it with a stored key of the same hash, "
        "once. The extension asks each dict what it needs with other operations than the Python "
        "code (which tests `in`, then indexes, then indexes again), so in a lookup, registration "
        "or removal a key's __hash__ and __eq__ run another number of times, and whatever they "
        "do (raise, change the tree) happens at another point and another number of times.",
        lambda record: record.op in ("register_plugin", "get_plugin", "unregister_plugin")
        and record.dict_hooks_differ(),
    ),
}

# --- the input -----------------------------------------------------------------------------------


class Reader:
    """The input's bytes as a stream of small choices; an exhausted input reads as zeros."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def choice(self, count):
        return self.byte() % count

    def left(self):
        return self.pos < len(self.data)


# --- the palette: values made anew in each world -------------------------------------------------


class Plugin:
    pass


class OtherPlugin:
    pass


class HostileStr(str):
    """A str whose hashing, comparison, case tests or str() run `action` (names from ACTIONS)."""

    def __new__(cls, text, world, where, action):
        self = str.__new__(cls, text)
        self.world, self.where, self.action = world, where, action
        return self

    def _meddle(self, where):
        if self.where == where:
            self.world.acts[where] = self.world.acts.get(where, 0) + 1
            self.world.act(self.action)

    def __hash__(self):
        self._meddle("hash")
        return str.__hash__(self)

    def __eq__(self, other):
        self._meddle("eq")
        return str.__eq__(self, other)

    def __ne__(self, other):
        self._meddle("eq")
        return str.__ne__(self, other)

    def islower(self):
        self._meddle("islower")
        return str.islower(self)

    def isdigit(self):
        self._meddle("islower")
        return str.isdigit(self)

    def __str__(self):
        self._meddle("str")
        return str.__str__(self)


class ArithStr(str):
    """A str whose + and == are its own (the printout builds text through them in Python)."""

    def __add__(self, other):
        return ArithStr(str.__add__(self, str(other)) + "+")

    def __radd__(self, other):
        return ArithStr(str(other) + str.__str__(self) + "r")

    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class Meta(type):
    """Classes whose str() or whose __module__ (read by getfile) run the world's action."""

    def __str__(cls):
        cls.world.act(cls.action)
        return type.__str__(cls)


class ModuleMeta(type):
    @property
    def __module__(cls):
        cls.world.act(cls.action)
        return __name__


def meddling_class(world, meta, action):
    return meta("Meddling", (), {"world": world, "action": action})


TEXTS = ["brelk", "vennu", "zq4", "m1", "data", "quilos", "mocked_os", "ZQ4", "single_rp",
         "dual_rp", "stack", "", "x\ny", "12", "tarn"]
PLAIN = [None, 0, False, True, 1, -5, 2**70, (), ("a", "b"), ("brelk",), 3.5, b"brelk",
         ["brelk"], {"a": 1}, frozenset()]
HOSTILE_PLACES = ["hash", "eq", "islower", "str"]


def deep_tree(depth):
    node = {"data": {"single_rp": {"cls": Plugin, "path": "/p"}}}
    for level in range(depth):
        node = {"s%d" % level: node, "leaf": level}
    return node


def mixed_tree():
    return {"b": {1: "one", (2, 3): None, "a": {}}, 7: "seven", None: {"x": Plugin}, "": "empty"}


class World:
    """One implementation's manager and everything the program built around it."""

    def __init__(self, name, subclassed):
        self.name = name
        self.module = IMPLEMENTATIONS[name]
        self.base = self.module.PluginManager
        self.sub = self._subclass()
        self.manager = (self.sub if subclassed else self.base)()
        self.installed = []  # (holder, name, previous or MISSING)
        self.acts = {}  # how often the hostile strs' hooks meddled, by hook
        self.palette = self._palette()

    def _subclass(self):
        class PluginManager(self.base):
            pass

        return PluginManager

    def _palette(self):
        # Mutable entries made anew: nothing may be shared between the worlds or between inputs.
        values = list(TEXTS) + [type(v)(v) if isinstance(v, (list, dict)) else v for v in PLAIN]
        for index, action in enumerate(ACTION_NAMES):
            for where in HOSTILE_PLACES:
                text = TEXTS[(index + len(where)) % 4]
                values.append(HostileStr(text, self, where, action))
        values += [ArithStr("vennu"), ArithStr("out")]
        values += [meddling_class(self, Meta, action) for action in ACTION_NAMES]
        values += [meddling_class(self, ModuleMeta, action) for action in ACTION_NAMES]
        values += [Plugin, OtherPlugin, deep_tree(3), deep_tree(40), mixed_tree()]
        cycle = {"a": {"data": {}}}
        cycle["a"]["loop"] = cycle
        values.append(cycle)
        return values

    def value(self, index):
        """Palette entry `index`; the last few stand for the live tree and lists."""
        extra = len(self.palette)
        if index == extra:
            return vars(self.manager).get("_plugins")
        if index == extra + 1:
            return vars(self.manager).get("supported_os")
        if index == extra + 2:
            return vars(self.manager).get("chassis_type_list")
        return self.palette[index]

    # The things a hostile value, or an operation of the program, does to the world.
    def act(self, action):
        ACTIONS[action](self)

    def install(self, holder, name, function):
        previous = holder.__dict__.get(name, MISSING) if isinstance(holder, type) else \
            vars(self.manager).get(name, MISSING)
        self.installed.append((holder, name, previous))
        if isinstance(holder, type):
            setattr(holder, name, function)
        else:
            vars(self.manager)[name] = function

    def undo_class_patches(self):
        """Class attributes patched by the program, put back (the classes outlive the world)."""
        for holder, name, previous in reversed(self.installed):
            if holder is self.base:
                if previous is MISSING:
                    if name in holder.__dict__:
                        delattr(holder, name)
                else:
                    setattr(holder, name, previous)
        self.installed.clear()


MISSING = object()


def _set(attribute, make):
    """Binds attribute to a new value made by make (never one shared between worlds or inputs)."""
    return lambda world: setattr(world.manager, attribute, make())


def _raise(_world):
    raise RuntimeError("meddled")


def _list_op(attribute, operation):
    def act(world):
        target = vars(world.manager).get(attribute)
        if isinstance(target, list):
            operation(target)

    return act


ACTIONS = {
    "raise": _raise,
    "clear tree": lambda w: vars(w.manager).get("_plugins", {}).clear()
    if isinstance(vars(w.manager).get("_plugins"), dict) else None,
    "replace tree": _set("_plugins", lambda: {"vennu": {"data": {"single_rp": {
        "cls": Plugin, "path": "/p"}}}}),
    "clear os list": _list_op("supported_os", list.clear),
    # Bounded: a comparison that adds to the list being searched would search forever.
    "add os": _list_op("supported_os", lambda target: len(target) < 40 and target.append("zq4")),
    "clear chassis": _list_op("chassis_type_list", list.clear),
    "add chassis": _list_op("chassis_type_list",
                            lambda target: len(target) < 40 and target.insert(0, "quad")),
    "override validate_os": lambda w: w.install(w.manager, "validate_os",
                                                lambda os: None),
    "override print_tree": lambda w: w.install(w.manager, "print_tree",
                                               lambda data, output="plugin": "<hidden>"),
    "delete attributes": lambda w: vars(w.manager).clear(),
}
ACTION_NAMES = list(ACTIONS)


# Overrides: what is installed, where, under which name.
def _override(world, name, kind, bound):
    original = getattr(world.base, name)
    manager = world.manager

    def call(*args, **kwargs):
        if kind == "raise":
            raise ValueError("override of " + name)
        if kind == "none":
            return None
        if kind == "meddle":
            world.act("clear tree")
        return original(manager, *args, **kwargs)

    if not bound:
        return call

    def method(self, *args, **kwargs):
        return call(*args, **kwargs)

    return method


OVERRIDE_KINDS = ["pass", "raise", "none", "meddle"]
OVERRIDE_PLACES = ["instance", "class", "subclass"]


# --- operations ----------------------------------------------------------------------------------

KEYWORDS = ("os", "series", "model", "chassis_type")


def decode(data):
    """The program an input stands for: plain data, so both worlds run exactly the same one."""
    reader = Reader(data)
    subclassed = reader.choice(4) == 0
    program = []
    while reader.left() and len(program) < MAX_OPERATIONS:
        kind = OPERATIONS[reader.choice(len(OPERATIONS))]
        program.append((kind, [reader.byte() for _ in range(6)]))
    return subclassed, program


def _arguments(world, picks, names, required=0):
    """Positional then keyword arguments: each name may be passed, by position or by keyword,
    or left out, as picks say."""
    args, kwargs = [], {}
    positional = True
    for position, name in enumerate(names):
        pick = picks[position % len(picks)]
        value = world.value(pick % (len(world.palette) + 3))
        mode = (pick >> 5) % 4
        if mode == 3 and position < required:
            mode = 2
        if mode == 3:
            positional = False  # left out
            continue
        if positional and mode in (0, 1):
            args.append(value)
        else:
            positional = False
            kwargs[name] = value
    return args, kwargs


VALIDATOR_NAMES = {"validate_model": KEYWORDS[:3], "validate_series": KEYWORDS[:2],
                   "validate_os": KEYWORDS[:1], "validate_chassis_type": KEYWORDS[3:],
                   "validate_arguments": KEYWORDS}


def run_operation(world, kind, picks):
    """Does one operation; world.arguments says what it was given."""
    manager = world.manager
    world.arguments = None
    if kind in ("get_plugin", "unregister_plugin") or kind in VALIDATOR_NAMES:
        names = VALIDATOR_NAMES.get(kind, KEYWORDS)
        args, kwargs = _arguments(world, picks, names,
                                  required=len(names) if kind in VALIDATOR_NAMES else 0)
        world.arguments = (args, kwargs)
        return getattr(manager, kind)(*args, **kwargs), world.arguments
    if kind == "register_plugin":
        args, kwargs = _arguments(world, picks, ("cls",) + KEYWORDS, required=1)
        if picks[5] % 3:  # mostly a registrable class
            cls = Plugin if picks[5] % 3 == 1 else OtherPlugin
            if args:
                args[0] = cls
            else:
                kwargs["cls"] = cls
        world.arguments = (args, kwargs)
        return manager.register_plugin(*args, **kwargs), world.arguments
    if kind == "print_tree":
        data = world.value(picks[0] % (len(world.palette) + 3))
        if picks[2] % 2:
            data = vars(manager).get("_plugins", data)
        args = [data]
        if picks[1] % 3:
            args.append(world.value(picks[1] % (len(world.palette) + 3)) if picks[1] % 3 == 1
                        else "plugin")
        world.arguments = (args, {})
        return manager.print_tree(*args), world.arguments
    if kind == "repr":
        return repr(manager), ((), {})
    if kind == "set attribute":
        name = ("_plugins", "supported_os", "chassis_type_list")[picks[0] % 3]
        value = world.value(picks[1] % (len(world.palette) + 3))
        if picks[2] % 2 and isinstance(value, (list, dict)):
            value = type(value)(value)  # a copy, not the shared palette entry
        setattr(manager, name, value)
        return None, ((value,), {})
    if kind == "delete attribute":
        name = ("_plugins", "supported_os", "chassis_type_list")[picks[0] % 3]
        delattr(manager, name)
        return None, ((), {})
    if kind == "replace __dict__":
        old = dict(vars(manager))
        if picks[0] % 3 == 0:
            old.popitem() if old else None
        elif picks[0] % 3 == 1:
            old[world.palette[len(TEXTS) + len(PLAIN) + picks[1] % (4 * len(ACTION_NAMES))]] = 1
        manager.__dict__ = old
        return None, ((), {})
    if kind == "act":
        world.act(ACTION_NAMES[picks[0] % len(ACTION_NAMES)])
        return None, ((), {})
    if kind == "override":
        name = METHODS[picks[0] % len(METHODS)]
        how = OVERRIDE_KINDS[picks[1] % len(OVERRIDE_KINDS)]
        place = OVERRIDE_PLACES[picks[2] % len(OVERRIDE_PLACES)]
        holder = {"instance": manager, "class": world.base, "subclass": world.sub}[place]
        world.install(holder, name, _override(world, name, how, place != "instance"))
        return None, ((name, how, place), {})
    if kind == "remove override":
        if world.installed:
            holder, name, previous = world.installed.pop(picks[0] % len(world.installed))
            if isinstance(holder, type):
                if previous is MISSING:
                    holder.__dict__.get(name) is not None and delattr(holder, name)
                else:
                    setattr(holder, name, previous)
            elif previous is MISSING:
                vars(manager).pop(name, None)
            else:
                vars(manager)[name] = previous
        return None, ((), {})
    if kind == "switch class":
        manager.__class__ = world.sub if picks[0] % 2 else world.base
        return None, ((), {})
    raise AssertionError(kind)


OPERATIONS = ["register_plugin", "register_plugin", "unregister_plugin", "get_plugin",
              "get_plugin", "validate_model", "validate_series", "validate_os",
              "validate_chassis_type", "validate_arguments", "print_tree", "print_tree", "repr",
              "set attribute", "delete attribute", "replace __dict__", "act", "override",
              "remove override", "switch class"]


# --- what is compared ----------------------------------------------------------------------------

HEADER = re.compile(r"\(<class '[^']*'> at 0x[0-9a-f]+\) ")


class Describer:
    """A text for any value that runs none of its code: palette entries by position, the manager
    as self, containers by their elements (cycles marked), anything else by its type."""

    def __init__(self, world):
        self.world = world
        self.positions = {id(value): index for index, value in enumerate(world.palette)}

    def __call__(self, value, depth=0, seen=()):
        world = self.world
        if value is world.manager:
            return "self"
        if value is world.base or value is world.sub:
            return "PluginManager" if value is world.base else "subclass"
        if value is None or type(value) in (bool, int, float, bytes):
            return repr(value)
        if type(value) is str:
            return repr(HEADER.sub("(<manager>) ", value))
        if isinstance(value, str):
            return "%s(%r)" % (type(value).__name__, HEADER.sub("(<manager>) ", str.__str__(value)))
        if id(value) in seen or depth > 60:
            return "<cycle>"
        inner = seen + (id(value),)
        if isinstance(value, dict):
            items = [(self(k, depth + 1, inner), self(v, depth + 1, inner))
                     for k, v in dict.items(value)]
            return "{%s}" % ", ".join("%s: %s" % item for item in items)
        if isinstance(value, (list, tuple)):
            return "%s[%s]" % (type(value).__name__,
                               ", ".join(self(v, depth + 1, inner) for v in value))
        if id(value) in self.positions:
            return "palette#%d" % self.positions[id(value)]
        if type(value) is type and type.__dict__["__module__"].__get__(value) == __name__:
            return value.__qualname__
        return "<%s>" % type(value).__name__


def exception_text(error):
    try:
        return HEADER.sub("(<manager>) ", str(error))
    except Exception as failure:  # noqa: BLE001 - what the message did is itself compared
        return "<str() raised %s>" % type(failure).__name__


def snapshot(world, describe):
    state = {name: describe(vars(world.manager).get(name, MISSING))
             for name in ("_plugins", "supported_os", "chassis_type_list")}
    state["keys"] = sorted(describe(key) for key in vars(world.manager))
    state["class"] = describe(type(world.manager))
    state["acts"] = dict(world.acts)
    return state


def outcome(world, describe, kind, picks):
    """Everything compared after one operation: what it returned or raised, then the state."""
    try:
        if kind == "probe":  # the manager's repr, taken after every operation
            world.arguments = None
            result = repr(world.manager)
        else:
            result, _ = run_operation(world, kind, picks)
        returned, raised = describe(result), None
    except Exception as error:  # noqa: BLE001 - any exception is compared, not judged
        returned, raised = None, (type(error).__name__, exception_text(error))
    arguments = world.arguments
    return {"returned": returned, "raised": raised, "state": snapshot(world, describe)}, arguments


class Record:
    """What the program did, for the predicates of BY_DESIGN."""

    def __init__(self, op, outcomes, arguments, trees):
        self.op = op
        self.outcomes = outcomes
        self.arguments = arguments
        self.trees = trees

    def both_raised(self, name):
        names = [o["raised"][0] if o["raised"] else None for o in self.outcomes]
        return names == [name.__name__] * 2

    def differs_only_in(self, *names):
        first, second = self.outcomes
        fields = set(differing(self.outcomes)) - {"acts"}
        return fields <= set(names)

    def same_exception(self):
        first, second = self.outcomes
        return first["raised"] is not None and first["raised"] == second["raised"]

    def dict_hooks_differ(self):
        """The other hooks ran as often on both sides, and either a key among the arguments or
        stored in the tree (a lookup compares with it) has a __hash__ or __eq__ that does
        something, or nothing but those two hooks' counts differs (a hostile str held elsewhere,
        in a list or the class, was compared another number of times, to no other effect)."""
        first, second = (dict(o["state"]["acts"]) for o in self.outcomes)
        for hook in ("hash", "eq"):
            first.pop(hook, None)
            second.pop(hook, None)
        if first != second:
            return False
        return (self.differs_only_in() or any(
            isinstance(v, HostileStr) and v.where in ("hash", "eq")
            for v in flat([self.arguments, self.trees])))

    @property
    def raised_somewhere(self):
        return any(o["raised"] for o in self.outcomes)

    @property
    def hostile_in_args(self):
        return any(isinstance(v, HostileStr) for v in flat(self.arguments))



def flat(value, out=None, seen=None):
    """Every dict key and value, list item and argument reachable from value."""
    out = [] if out is None else out
    seen = set() if seen is None else seen
    if id(value) in seen:
        return out
    seen.add(id(value))
    if isinstance(value, dict):
        for key, item in dict.items(value):
            out.append(key)
            flat(item, out, seen)
    elif isinstance(value, (list, tuple)):
        for item in value:
            flat(item, out, seen)
    else:
        out.append(value)
    return out


# --- one input -----------------------------------------------------------------------------------

def differing(outcomes):
    """The compared fields that differ, each as (extension, baseline)."""
    fields = {}
    for name in ("returned", "raised"):
        if outcomes[0][name] != outcomes[1][name]:
            fields[name] = (outcomes[0][name], outcomes[1][name])
    for name, value in outcomes[0]["state"].items():
        if value != outcomes[1]["state"][name]:
            fields[name] = (value, outcomes[1]["state"][name])
    return fields


def explain(record):
    for group, (_, predicate) in BY_DESIGN.items():
        if predicate(record):
            return group
    return None


def check(data):
    """Runs the input's program on both sides; raises Difference at the first unexplained
    disagreement. Returns the name of the by-design group that ended it, or None."""
    subclassed, program = decode(data)
    worlds = [World(name, subclassed) for name in IMPLEMENTATIONS]
    describers = [Describer(world) for world in worlds]
    try:
        for step, (kind, picks) in enumerate(p for op in program for p in (op, ("probe", ()))):
            outcomes, arguments = [], None
            for world, describe in zip(worlds, describers):
                result, arguments = outcome(world, describe, kind, picks)
                outcomes.append(result)
            if outcomes[0] == outcomes[1]:
                continue
            record = Record(kind, outcomes, arguments,
                            [vars(world.manager).get("_plugins") for world in worlds])
            group = explain(record)
            detail = {"step": step, "operation": kind, "picks": picks,
                      "program": [name for name, _ in program[:step // 2 + 1]],
                      "arguments": describers[1](arguments),
                      "differs": differing(outcomes)}
            if group:
                return group
            raise Difference(json.dumps(detail, indent=1, default=str))
    finally:
        for world in worlds:
            world.undo_class_patches()
    return None


# --- entry points --------------------------------------------------------------------------------


def replay(paths):
    status = 0
    for path in paths:
        with open(path, "rb") as handle:
            data = handle.read()
        try:
            group = check(data)
        except Difference as difference:
            print("%s: DIFFERENCE\n%s" % (path, difference))
            status = 1
            continue
        print("%s: %s" % (path, "agrees" if group is None else "by design: " + group))
    return status


def fuzz(argv):
    import atheris  # noqa: PLC0415 - only the fuzzing run needs it

    started = time.monotonic()

    def one_input(data):
        check(data)

    import importlib  # noqa: PLC0415

    # Python coverage of the baseline's branches (the extension's comes from clang's counters);
    # the harness's own decisions are instrumented too. Everything else stays as it is: the
    # standard library would take minutes to instrument.
    with atheris.instrument_imports(include=["baseline"]):
        importlib.reload(baseline)
    for function in (check, run_operation, _arguments, explain):
        atheris.instrument_func(function)
    atheris.Setup([sys.argv[0]] + argv, one_input)
    print("fuzz: interpreter %s, set up in %.1f s" % (sys.version.split()[0],
                                                       time.monotonic() - started), flush=True)
    atheris.Fuzz()


def main():
    if sys.argv[1:2] == ["--replay"]:
        sys.exit(replay(sys.argv[2:]))
    fuzz(sys.argv[1:])


if __name__ == "__main__":
    main()
