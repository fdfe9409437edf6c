"""The argument checks: what each accepts, every rejection message, and the order in which
validate_arguments runs them through the instance."""

from types import SimpleNamespace

import pytest
from hypothesis import given, strategies as st

from mirtal.core.errors import ConnectionInfraError
from mirtal.core.pluginmanager import PluginManager

OS_LIST = ("['brelk', 'tarn', 'vennu', 'tarnel', 'tarvik', 'solvar', 'quilos', 'mekari', 'oru', "
           "'dex', 'plo', 'yarrf', 'uzu', 'kolm', 'jepra', 'dravo']")
CHASSIS_LIST = "['single_rp', 'dual_rp', 'stack']"
NEEDS_OS_AND_SERIES = "OS and Series are required for Model: "
NEEDS_OS = "OS information not provided for Series: "


@pytest.fixture
def log(module_globals):
    """Stands in for the library's logger and keeps what it was given."""
    calls = []
    module_globals["log"] = SimpleNamespace(calls=calls, debug=lambda *a, **k: calls.append((a, k)))
    return module_globals["log"]


def outcome(call, *args):
    try:
        return call(*args)
    except ConnectionInfraError as error:
        assert type(error) is ConnectionInfraError and len(error.args) == 1
        return error.args[0]


@pytest.mark.parametrize("os, series, model, expected", [
    (None, None, None, None), (None, None, "", None), (None, None, 0, None), (None, None, [], None),
    ("vennu", "zq4", "ab12", None), ("vennu", "zq4", "123", None), ("vennu", "zq4", "²", None),
    ("vennu", "zq4", "AB12", " Model (AB12) has to be in lowecase"),
    ("vennu", "zq4", "Ab12", " Model (Ab12) has to be in lowecase"),
    ("vennu", "zq4", "12-34", " Model (12-34) has to be in lowecase"),
    ("vennu", "zq4", 5, "Model should be of type str"),
    ("vennu", "zq4", ("a", "b"), "Model should be of type str"),
    ("vennu", None, 5, NEEDS_OS_AND_SERIES + "5"),
    ("vennu", "", "m1", NEEDS_OS_AND_SERIES + "m1"),
    ("", "zq4", "m1", NEEDS_OS_AND_SERIES + "m1"),
    (None, "ZQ4", "M1", NEEDS_OS_AND_SERIES + "M1"),
    ("vennu", None, ("a", "b"), NEEDS_OS_AND_SERIES + "('a', 'b')"),
    ("vennu", "zq4", "data", "Model (data) is a reserved name"),
    ("vennu", "zq4", "DATA", " Model (DATA) has to be in lowecase"),
    (None, None, "data", NEEDS_OS_AND_SERIES + "data"),
])
def test_validate_model(manager, os, series, model, expected):
    assert outcome(manager.validate_model, os, series, model) == expected


@pytest.mark.parametrize("os, series, expected", [
    (None, None, None), (None, "", None), (None, 0, None), ("", "zq4", None), (0, "zq4", None),
    ("vennu", "123", None), ("vennu", "zq-4", None),
    (None, "zq4", NEEDS_OS + "zq4"), (None, 5, NEEDS_OS + "5"), (None, ("a",), NEEDS_OS + "('a',)"),
    ("vennu", 5, "Series should be of type str"),
    ("vennu", "ZQ4", "Series (ZQ4) has to be in lowercase"),
    ("vennu", "1-2", "Series (1-2) has to be in lowercase"),
    ("vennu", "data", "Series (data) is a reserved name"),
    ("", "data", "Series (data) is a reserved name"),
    (None, "data", NEEDS_OS + "data"),
    ("vennu", "Data", "Series (Data) has to be in lowercase"),
])
def test_validate_series(manager, os, series, expected):
    assert outcome(manager.validate_series, os, series) == expected


@pytest.mark.parametrize("os, expected, debug", [
    ("brelk", None, None), ("dravo", None, None), ("mocked", None, None),
    ("lab_mocked_box", None, None), (["mocked"], None, None),
    ("newos", None, "newos"), ("VENNU", None, "VENNU"), ("data", None, "data"),
    (("x", "y"), None, "('x', 'y')"),
    (None, "OS should be one of these " + OS_LIST + " , but got None", None),
    ("", "OS should be one of these " + OS_LIST + " , but got ", None),
    (0, "OS should be one of these " + OS_LIST + " , but got 0", None),
    ((), "OS should be one of these " + OS_LIST + " , but got ()", None),
])
def test_validate_os(manager, log, os, expected, debug):
    assert outcome(manager.validate_os, os) == expected
    lines = [] if debug is None else [
        ((debug + " is not part of the built-in list of supported OSes.",), {})]
    assert log.calls == lines


def test_validate_os_containment_error_propagates(manager):
    with pytest.raises(TypeError) as info:
        manager.validate_os(5)
    with pytest.raises(TypeError) as expected:
        "mocked" in 5  # noqa: B015 (the containment test itself raises)
    assert str(info.value) == str(expected.value)


def test_os_list_is_read_at_each_call(manager, log):
    manager.supported_os.append("newos")
    manager.validate_os("newos")
    assert log.calls == []
    manager.supported_os = ["only"]
    manager.validate_os("brelk")
    assert len(log.calls) == 1
    assert outcome(manager.validate_os, "") == "OS should be one of these ['only'] , but got "


@pytest.mark.parametrize("chassis_type, expected", [
    ("single_rp", None), ("dual_rp", None), ("stack", None),
    (None, "None"), ("", ""), ("SINGLE_RP", "SINGLE_RP"), ("quad", "quad"), (0, "0"),
    (["single_rp"], "['single_rp']"), (("a", "b"), "('a', 'b')"),
])
def test_validate_chassis_type(manager, chassis_type, expected):
    message = None if expected is None else (
        "chassis Type should be one of these " + CHASSIS_LIST + ", but got " + expected)
    assert outcome(manager.validate_chassis_type, chassis_type) == message


def test_chassis_list_is_read_at_each_call(manager):
    manager.chassis_type_list.append("quad")
    assert manager.validate_chassis_type("quad") is None
    manager.chassis_type_list = ["x"]
    assert outcome(manager.validate_chassis_type, "stack") == (
        "chassis Type should be one of these ['x'], but got stack")


@pytest.mark.parametrize("os, series, model, chassis_type, expected", [
    ("vennu", "zq4", "m1", "single_rp", None),
    ("quilos", None, None, None, None), ("quilos", "s1", "m1", "quad", None),
    ("QUILOS", None, None, "quad", "chassis Type should be one of these " + CHASSIS_LIST
     + ", but got quad"),
    ("vennu", "zq4", "M1", "quad", " Model (M1) has to be in lowecase"),
    (None, None, None, "single_rp", "OS should be one of these " + OS_LIST + " , but got None"),
    (None, "zq4", "m1", "single_rp", NEEDS_OS_AND_SERIES + "m1"),
    (None, "zq4", None, "quad", NEEDS_OS + "zq4"),
    ("", "ZQ4", None, "quad", "Series (ZQ4) has to be in lowercase"),
    ("", "zq4", None, "quad", "OS should be one of these " + OS_LIST + " , but got "),
    ("vennu", "data", "data", None, "Model (data) is a reserved name"),
    ("vennu", "data", "m1", None, "Series (data) is a reserved name"),
])
def test_validate_arguments(manager, os, series, model, chassis_type, expected):
    assert outcome(manager.validate_arguments, os, series, model, chassis_type) == expected


CHECKS = ["validate_model", "validate_series", "validate_os", "validate_chassis_type"]


def recording_manager(where, monkeypatch, calls):
    """A manager whose four checks, overridden at `where`, record how they are called."""
    def check(name):
        def record(self, *args, **kwargs):
            calls.append((name, args, list(kwargs.items())))
            return "ignored"
        return record
    checks = {name: check(name) for name in CHECKS}
    if where == "subclass":
        return type("Recording", (PluginManager,), checks)()
    if where == "class":
        for name, method in checks.items():
            monkeypatch.setattr(PluginManager, name, method)
        return PluginManager()
    manager = PluginManager()
    for name, method in checks.items():
        setattr(manager, name, method.__get__(manager))
    return manager


@pytest.mark.parametrize("where", ["subclass", "instance", "class"])
@pytest.mark.parametrize("os, expected_checks", [("vennu", 4), ("quilos", 3)])
def test_overrides_are_called_by_keyword_in_order(monkeypatch, where, os, expected_checks):
    calls = []
    manager = recording_manager(where, monkeypatch, calls)
    assert manager.validate_arguments(os, "zq4", "m1", "quad") is None
    assert calls == [
        ("validate_model", (), [("os", os), ("series", "zq4"), ("model", "m1")]),
        ("validate_series", (), [("series", "zq4"), ("os", os)]),
        ("validate_os", (), [("os", os)]),
        ("validate_chassis_type", (), [("chassis_type", "quad")]),
    ][:expected_checks]


def test_built_in_checks_return_after_the_class_is_restored(monkeypatch, manager, log):
    monkeypatch.setattr(PluginManager, "validate_os", lambda self, os: None)
    manager.validate_arguments("newos", None, None, "single_rp")
    monkeypatch.undo()
    manager.validate_arguments("newos", None, None, "single_rp")
    assert len(log.calls) == 1


class Traced(str):
    calls = []
    lower = True

    def islower(self):
        Traced.calls.append("islower")
        return Traced.lower and str.islower(self)

    def isdigit(self):
        Traced.calls.append("isdigit")
        return str.isdigit(self)


@pytest.mark.parametrize("text, lower, calls, accepted", [
    ("zq4", True, ["islower"], True), ("123", True, ["islower", "isdigit"], True),
    ("ZQ4", True, ["islower", "isdigit"], False), ("zq4", False, ["islower", "isdigit"], False),
])
@pytest.mark.parametrize("check", [
    lambda m, v: m.validate_series("vennu", v), lambda m, v: m.validate_model("vennu", "zq4", v)],
    ids=["series", "model"])
def test_string_subclass_methods_decide(manager, monkeypatch, check, text, lower, calls, accepted):
    monkeypatch.setattr(Traced, "calls", [])
    monkeypatch.setattr(Traced, "lower", lower)
    assert (outcome(check, manager, Traced(text)) is None) == accepted
    assert Traced.calls == calls


def expected_shape_message(text, what, case_message):
    if not text:
        return None
    if not (text.islower() or text.isdigit()):
        return case_message % text
    return f"{what} (data) is a reserved name" if text == "data" else None


@given(text=st.text() | st.sampled_from(
    ["ǅ", "ß", "٣", "Ⅻ", "ａｂ", "ⓐ", "ʰ", "¹²", "ǈa", "ΣΑ", "data", "Data", ""]))
def test_case_and_digit_tests_agree_with_str(text):
    manager = PluginManager()
    assert outcome(manager.validate_series, "vennu", text) == expected_shape_message(
        text, "Series", "Series (%s) has to be in lowercase")
    assert outcome(manager.validate_model, "vennu", "zq4", text) == expected_shape_message(
        text, "Model", " Model (%s) has to be in lowecase")
