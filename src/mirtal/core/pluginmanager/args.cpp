// Argument binding for the manager's methods. The checks run in the interpreter's order (keywords,
// then surplus positionals, then missing ones) and give its messages.
#include "function.hpp"

namespace mirtal {
namespace {

// Index of the parameter called `keyword`, or -1 (call sites intern keywords: identity decides).
int parameter_index(const ModuleState* st, const Signature& sig, PyObject* keyword) {
    for (int i = 0; i < sig.count; ++i)
        if (st->str(sig.params[i].name) == keyword) return i;
    if (!PyUnicode_Check(keyword)) return -1;
    for (int i = 0; i < sig.count; ++i)
        if (PyUnicode_Compare(st->str(sig.params[i].name), keyword) == 0) return i;
    return -1;
}

int too_many_positional(const Signature& sig, Py_ssize_t given) {
    const Py_ssize_t most = sig.count, least = sig.required;
    const char* verb = given == 1 ? "was" : "were";
    if (least == most)
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     sig.qualname, most, most == 1 ? "" : "s", given, verb);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zd to %zd positional arguments but %zd %s given",
                     sig.qualname, least, most, given, verb);
    return -1;
}

// TypeError for a keyword naming no parameter or one given already (held: %S runs its str()).
int keyword_error(const Signature& sig, const Ref& keyword, bool given) {
    PyErr_Format(PyExc_TypeError,
                 given ? "%s() got multiple values for argument '%S'"
                       : "%s() got an unexpected keyword argument '%S'",
                 sig.qualname, keyword.get());
    return -1;
}

int missing_arguments(const ModuleState* st, const Signature& sig, PyObject** out) {
    int missing[kMaxParams], n = 0;
    for (int i = 0; i < sig.required; ++i)
        if (!out[i]) missing[n++] = i;
    Ref text = Ref::steal(PyUnicode_FromString(""));  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    for (int k = 0; text && k < n; ++k) {
        const char* before = k == 0 ? "" : k < n - 1 ? ", " : n > 2 ? ", and " : " and ";
        text = Ref::steal(PyUnicode_FromFormat("%U%s'%U'", text.get(), before,
                                               st->str(sig.params[missing[k]].name)));
    }
    if (!text) return -1;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %U",
                 sig.qualname, n, n == 1 ? "" : "s", text.get());
    return -1;
}

}  // namespace

int bind_arguments(const ModuleState* st, const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t placed = nargs < sig.count ? nargs : sig.count;
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < placed ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const int i = parameter_index(st, sig, keyword);
        if (i < 0 || out[i]) return keyword_error(sig, Ref::borrow(keyword), i >= 0);
        out[i] = args[nargs + k];
    }
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (int i = 0; i < sig.count; ++i) {
        if (out[i]) continue;
        if (i < sig.required) return missing_arguments(st, sig, out);
        out[i] = st->str(sig.params[i].fallback);
    }
    return 0;
}

int bind_self_only(const ModuleState* st, const Signature& sig, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *keyword, *value;
        PyDict_Next(kwargs, &pos, &keyword, &value);
        // `self` is taken: the instance is bound to it, as the interpreter does for a function.
        return keyword_error(sig, Ref::borrow(keyword),
                             PyUnicode_Check(keyword) && parameter_index(st, sig, keyword) == 0);
    }
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    return given > 0 ? too_many_positional(sig, given + 1) : 0;
}

}  // namespace mirtal
