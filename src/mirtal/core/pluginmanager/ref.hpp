// The owned-reference handle and the few C-API helpers built on it.
//
// Error convention of the whole extension: a function that can fail returns an empty Ref, a null
// pointer or -1 with a Python exception set, and its caller passes that on. Every owned reference
// lives in a Ref, so an early return releases what the function holds.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <cstring>

namespace mirtal {

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = obj_;
        obj_ = other.obj_;
        other.obj_ = nullptr;
        Py_XDECREF(old);  // last: releasing can run arbitrary code
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (may be null: an error result of the C API).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller (usually CPython).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// callable(*args) with the trailing len(kwnames) arguments passed by keyword.
template <typename... Args>
inline Ref call(PyObject* callable, PyObject* kwnames, Args*... args) {
    PyObject* argv[] = {nullptr, args...};
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    const size_t nargs = sizeof...(Args) - nkw;
    return Ref::steal(
        PyObject_Vectorcall(callable, argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args), all positional.
template <typename... Args>
inline Ref call_method(PyObject* obj, PyObject* name, Args*... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(Args)), nullptr));
}

inline Ref get_attr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// The interpreter's truth test, without a call for the values the hot path sees.
inline int truth(PyObject* obj) {
    if (obj == Py_None || obj == Py_False) return 0;
    if (obj == Py_True) return 1;
    if (PyUnicode_CheckExact(obj)) return text_ready(obj) < 0 ? -1 : PyUnicode_GET_LENGTH(obj) != 0;
    return PyObject_IsTrue(obj);
}

inline Ref str_of(PyObject* obj) { return Ref::steal(PyObject_Str(obj)); }

// `key in container` followed by `container[key]`, as one step: 1 and `out` set when the container
// holds the key, 0 when it does not, -1 on error. Exact dicts take one lookup.
inline int lookup(PyObject* container, PyObject* key, Ref& out) {
    if (PyDict_CheckExact(container)) {
        PyObject* value;
        const int found = dict_get(container, key, &value);
        out = Ref::steal(value);
        return found;
    }
    Ref hold = Ref::borrow(container);  // the key's __eq__ may drop the caller's reference to it
    int found = PySequence_Contains(container, key);
    if (found <= 0) return found;
    out = Ref::steal(PyObject_GetItem(container, key));
    return out ? 1 : -1;
}

// `container[key]`.
inline Ref item(PyObject* container, PyObject* key) {
    if (!PyDict_CheckExact(container)) return Ref::steal(PyObject_GetItem(container, key));
    Ref value;
    if (lookup(container, key, value) == 0) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

// Equality of two exact strs whose characters are ready (runs no Python code, cannot fail).
[[gnu::always_inline]] inline bool same_ready_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t size = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return size == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(size) * kind) == 0;
}

// Equality of two exact strs: 1 or 0, -1 on error (a legacy str that cannot be made ready).
inline int same_text(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (text_ready(a) < 0 || text_ready(b) < 0) return -1;
    return same_ready_text(a, b);
}

// `value in texts` for an exact, ready str in an exact list: 1 or 0 when every element up to the
// answer is an exact str (their comparisons run no Python code); -1 (nothing raised) at the first
// other element, whose own comparison must run. Interned texts usually match by identity, so that
// is tried first, over the exact strs before any other element.
[[gnu::always_inline]] inline int find_plain_text(PyObject* texts, PyObject* value) {
    if (!PyList_CheckExact(texts)) return -1;
    const Py_ssize_t size = PyList_GET_SIZE(texts);
    PyObject** items = PySequence_Fast_ITEMS(texts);
    for (Py_ssize_t i = 0; i < size && PyUnicode_CheckExact(items[i]); ++i)
        if (items[i] == value) return 1;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!PyUnicode_CheckExact(items[i]) || !text_is_ready(items[i])) return -1;
        if (same_ready_text(items[i], value)) return 1;
    }
    return 0;
}

// `value in container`, without calls where find_plain_text can tell.
inline int contains(PyObject* container, PyObject* value) {
    const bool plain = PyUnicode_CheckExact(value) && text_is_ready(value);
    const int found = plain ? find_plain_text(container, value) : -1;
    return found >= 0 ? found : PySequence_Contains(container, value);
}

// The interpreter's `a == b` taken as a truth value (no identity shortcut, unlike
// PyObject_RichCompareBool: a NaN is not equal to itself here either).
inline int equals(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return same_text(a, b);
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace mirtal
