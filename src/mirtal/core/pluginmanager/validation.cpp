// The argument checks, and validate_arguments running them in order through self (overrides too).
#include "ops.hpp"

namespace mirtal {
namespace {

// str.islower and str.isdigit of an exact ASCII str.
bool ascii_is_lower(PyObject* text) {
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text);
    bool cased = false;
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) {
        if (chars[i] - unsigned{'A'} < 26u) return false;
        cased = cased || chars[i] - unsigned{'a'} < 26u;
    }
    return cased;
}

bool ascii_is_digits(PyObject* text) {
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (chars[i] - unsigned{'0'} >= 10u) return false;
    return n > 0;
}

bool plain_ascii(PyObject* value) {
    return PyUnicode_CheckExact(value) && text_is_ready(value) && PyUnicode_IS_ASCII(value);
}

// value.islower() or value.isdigit() as a truth: in C++ for an exact ASCII str, else its own
// method.
int text_test(const Ctx& c, PyObject* value, Name method) {
    if (plain_ascii(value))
        return method == Name::islower ? ascii_is_lower(value) : ascii_is_digits(value);
    Ref result = call_method(value, c.str(method));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// The shape test of series and model: a lowercase or all-digit str, not "data" (`what`: its name).
int check_shape(const Ctx& c, PyObject* value, const char* what, const char* case_message) {
    if (!PyUnicode_Check(value)) return raise_connection_error(c, "%s should be of type str", what);
    int ok = text_test(c, value, Name::islower);
    if (ok == 0) ok = text_test(c, value, Name::isdigit);
    if (ok < 0) return -1;
    if (!ok) return raise_connection_error(c, case_message, value);
    const int reserved = equals(value, c.str(Name::data));
    if (reserved <= 0) return reserved;
    return raise_connection_error(c, "%s (%S) is a reserved name", what, value);
}

// Runs self.<name>(**{kwnames[i]: args[i]}); a C++ call when nothing overrides it.
template <typename Direct, typename... Args>
int run_check(const Ctx& c, Name name, PyObject* kwnames, Direct direct, Args*... args) {
    const int plain = can_call_directly(c, name);
    if (plain < 0) return -1;
    if (plain) return direct(c, args...);
    Ref method = get_attr(c.self, c.str(name));
    if (!method) return -1;
    return call(method.get(), kwnames, args...) ? 0 : -1;
}

// validate_series with its arguments in the order of its keyword call: series, os.
int series_first(const Ctx& c, PyObject* series, PyObject* os) {
    return validate_series(c, os, series);
}

// An exact ASCII str that passes the series/model shape test (others are left to the checks).
bool plain_shape(const Ctx& c, PyObject* text) {
    return plain_ascii(text) && (ascii_is_lower(text) || ascii_is_digits(text)) &&
           !same_ready_text(text, c.str(Name::data));
}

bool plain_value(PyObject* value) {
    return value == Py_None || (PyUnicode_CheckExact(value) && text_is_ready(value));
}

bool given(PyObject* plain) { return plain != Py_None && PyUnicode_GET_LENGTH(plain) != 0; }

}  // namespace

int validate_model(const Ctx& c, PyObject* os, PyObject* series, PyObject* model) {
    const int given = truth(model);
    if (given <= 0) return given;
    int complete = truth(series);
    if (complete > 0) complete = truth(os);
    if (complete < 0) return -1;
    if (!complete)
        return raise_connection_error(c, "OS and Series are required for Model: %S", model);
    return check_shape(c, model, "Model", " Model (%S) has to be in lowecase");
}

int validate_series(const Ctx& c, PyObject* os, PyObject* series) {
    const int given = truth(series);
    if (given <= 0) return given;
    if (os == Py_None)
        return raise_connection_error(c, "OS information not provided for Series: %S", series);
    return check_shape(c, series, "Series", "Series (%S) has to be in lowercase");
}

int validate_os(const Ctx& c, PyObject* os) {
    int given = truth(os);
    if (given < 0) return -1;
    if (given) {
        Ref supported = instance_attr(c, Name::supported_os);
        if (!supported) return -1;
        int known = contains(supported.get(), os);
        if (known == 0) known = PySequence_Contains(os, c.str(Name::mocked));
        if (known < 0) return -1;
        if (!known) {
            Ref log = module_global(c, Name::log);
            Ref debug = log ? get_attr(log.get(), c.str(Name::debug)) : Ref();
            Ref text = debug ? str_of(os) : Ref();
            Ref message =
                text ? Ref::steal(PyUnicode_Concat(text.get(), c.str(Name::not_supported))) : Ref();
            return message && call(debug.get(), nullptr, message.get()) ? 0 : -1;
        }
    }
    // The condition above is re-evaluated as `not os`, as the interpreter would.
    const int present = truth(os);
    if (present != 0) return present > 0 ? 0 : -1;
    Ref supported = instance_attr(c, Name::supported_os);
    if (!supported) return -1;
    return raise_connection_error(c, "OS should be one of these %S , but got %S", supported.get(),
                                  os);
}

int validate_chassis_type(const Ctx& c, PyObject* chassis_type) {
    const int given = truth(chassis_type);
    if (given < 0) return -1;
    if (given) {
        Ref known = instance_attr(c, Name::chassis_type_list);
        if (!known) return -1;
        const int listed = contains(known.get(), chassis_type);
        if (listed != 0) return listed > 0 ? 0 : -1;
    }
    Ref known = instance_attr(c, Name::chassis_type_list);
    if (!known) return -1;
    return raise_connection_error(c, "chassis Type should be one of these %S, but got %S",
                                  known.get(), chassis_type);
}

bool validate_plain(const Ctx& c, const Plain& self, PyObject* os, PyObject* series,
                    PyObject* model, PyObject* chassis_type) {
    if (!plain_value(os) || !plain_value(series) || !plain_value(model) ||
        !plain_value(chassis_type))
        return false;
    // The checks of validate_model, _series, _os, _chassis_type in order; the rest is left to them.
    const bool has_os = given(os), has_series = given(series);
    if (given(model) && !(has_series && has_os && plain_shape(c, model))) return false;
    if (has_series && !(os != Py_None && plain_shape(c, series))) return false;
    if (!has_os || find_plain_text(self.supported_os, os) != 1) return false;
    if (same_ready_text(os, c.str(Name::quilos))) return true;
    return given(chassis_type) && find_plain_text(self.chassis_type_list, chassis_type) == 1;
}

int validate_arguments(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
                       PyObject* chassis_type) {
    Plain self;
    const int plain = plain_instance(c, self);
    if (plain < 0) return -1;
    if (plain && validate_plain(c, self, os, series, model, chassis_type)) return 0;
    const ModuleState* st = c.st;
    if (run_check(c, Name::validate_model, st->kw(Kw::validate_model), validate_model, os, series,
                  model) < 0 ||
        run_check(c, Name::validate_series, st->kw(Kw::validate_series), series_first, series, os) <
            0 ||
        run_check(c, Name::validate_os, st->kw(Kw::os), validate_os, os) < 0)
        return -1;
    const int quilos = equals(os, c.str(Name::quilos));
    if (quilos != 0) return quilos > 0 ? 0 : -1;
    return run_check(c, Name::validate_chassis_type, st->kw(Kw::chassis_type),
                     validate_chassis_type, chassis_type);
}

int run_validate_arguments(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
                           PyObject* chassis_type) {
    return run_check(c, Name::validate_arguments, nullptr, validate_arguments, os, series, model,
                     chassis_type);
}

}  // namespace mirtal
