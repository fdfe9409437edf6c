// Everything that differs between the CPython versions we support (3.11 to 3.15) sits here, each
// behind one small name; the rest of the extension has no version tests of its own.
//
// - dict_get: a dict lookup into an owned reference (PyDict_GetItemRef from 3.13).
// - text_ready: a str's characters are readable (3.11 still has legacy, not-yet-ready strs).
// - TextWriter: builds a str piecewise (the public PyUnicodeWriter from 3.14).
// - ClassWatch: learns that a type was modified (type watchers from 3.12; the type's version tag,
//   which has no public replacement there, on 3.11).
// - kMemberPySsize / kMemberReadOnly: PyMemberDef codes without structmember.h from 3.12.
// - MIRTAL_MODULE_INTERPRETER_SLOTS: the module's subinterpreter declarations (3.12+).
// - stack_nearly_exhausted: the C stack headroom of the running thread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#if defined(__linux__)
#include <pthread.h>
#endif

#include <cstdint>

namespace mirtal {

// --- dict lookup ---------------------------------------------------------------------------------

// 1 and *out set to a new reference when `dict` (a dict) holds `key`, 0 (*out null) when it does
// not, -1 on error. The key's __hash__/__eq__ may run.
inline int dict_get(PyObject* dict, PyObject* key, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, out);
#else
    Py_INCREF(dict);  // the key's __eq__ may drop the caller's reference to it
    PyObject* value = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    Py_DECREF(dict);
    *out = value;
    return value ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

// The dict of a heap type, as a new reference.
inline PyObject* class_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_NewRef(type->tp_dict);
#endif
}

// --- str readiness -------------------------------------------------------------------------------

// 0 when the characters of a str can be read with PyUnicode_GET_LENGTH/DATA, -1 on error.
inline int text_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// Whether they can be read already (no allocation, no error).
inline bool text_is_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text);
#else
    (void)text;
    return true;
#endif
}

// --- str builder ---------------------------------------------------------------------------------

class TextWriter {
public:
    TextWriter() {
#if PY_VERSION_HEX >= 0x030E0000
        writer_ = PyUnicodeWriter_Create(0);
#else
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
#endif
    }
    ~TextWriter() {
        if (finished_) return;
#if PY_VERSION_HEX >= 0x030E0000
        PyUnicodeWriter_Discard(writer_);
#else
        _PyUnicodeWriter_Dealloc(&writer_);
#endif
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // False when the writer could not be made (MemoryError set).
    bool ok() const {
#if PY_VERSION_HEX >= 0x030E0000
        return writer_ != nullptr;
#else
        return true;
#endif
    }

    int character(Py_UCS4 ch) {
#if PY_VERSION_HEX >= 0x030E0000
        return PyUnicodeWriter_WriteChar(writer_, ch);
#else
        return _PyUnicodeWriter_WriteChar(&writer_, ch);
#endif
    }

    int ascii(const char* text, Py_ssize_t size) {
        if (size == 0) return 0;  // the old writer has no buffer kind before its first character
#if PY_VERSION_HEX >= 0x030E0000
        return PyUnicodeWriter_WriteASCII(writer_, text, size);
#else
        return _PyUnicodeWriter_WriteASCIIString(&writer_, text, size);
#endif
    }

    // text[start:end] of a str.
    int substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
#if PY_VERSION_HEX >= 0x030E0000
        return PyUnicodeWriter_WriteSubstring(writer_, text, start, end);
#else
        return _PyUnicodeWriter_WriteSubstring(&writer_, text, start, end);
#endif
    }

    // The str written (a new reference), or null with an exception set.
    PyObject* finish() {
        finished_ = true;
#if PY_VERSION_HEX >= 0x030E0000
        return PyUnicodeWriter_Finish(writer_);
#else
        return _PyUnicodeWriter_Finish(&writer_);
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030E0000
    PyUnicodeWriter* writer_;
#else
    _PyUnicodeWriter writer_;
#endif
    bool finished_ = false;
};

// --- learning that a type was modified -------------------------------------------------------

using ClassCallback = int (*)(PyTypeObject*);

// Answers "may the type have been modified since arm() last succeeded?" cheaply. It may say yes
// when nothing changed (the caller then compares what it cares about and re-arms), never no when
// something did. All zero bytes is a valid, unarmed watch (it lives in module state).
class ClassWatch {
public:
    // Starts watching; `on_modified` must call notify() on this watch. Failing to get a watcher is
    // not an error: the watch then always says "maybe modified".
    void start(ClassCallback on_modified) {
#if PY_VERSION_HEX >= 0x030C0000
        const int id = PyType_AddWatcher(on_modified);
        if (id < 0) PyErr_Clear();  // all watcher slots of this interpreter are taken
        slot_ = id + 1;
#else
        (void)on_modified;
#endif
    }

    void stop() {
#if PY_VERSION_HEX >= 0x030C0000
        if (slot_ > 0 && PyType_ClearWatcher(slot_ - 1) < 0) PyErr_Clear();
        slot_ = 0;
        armed_ = false;
#endif
    }

    bool maybe_modified(const PyTypeObject* type) const {
#if PY_VERSION_HEX >= 0x030C0000
        (void)type;
        return !armed_;
#else
        // 3.11 offers no watchers; a type's version tag changes (or drops to 0) whenever
        // PyType_Modified runs on it, and tags are never handed out twice.
        return type->tp_version_tag == 0 || type->tp_version_tag != tag_;
#endif
    }

    // The type was found as expected: report further modifications.
    void arm(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
        if (slot_ == 0) return;
        // Watchers hear of a modification only while the type holds a version tag; watching
        // assigns one, and the check tells whether the type can still have one.
        if (PyType_Watch(slot_ - 1, reinterpret_cast<PyObject*>(type)) < 0) {
            PyErr_Clear();
            return;
        }
        armed_ = PyUnstable_Type_AssignVersionTag(type) != 0;
#else
        tag_ = type->tp_version_tag;
#endif
    }

    void notify() { armed_ = false; }

private:
    int slot_ = 0;  // watcher id + 1; 0: none
    bool armed_ = false;
    unsigned int tag_ = 0;
};

// --- member codes --------------------------------------------------------------------------------

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kMemberPySsize = Py_T_PYSSIZET;
constexpr int kMemberReadOnly = Py_READONLY;
#else
constexpr int kMemberPySsize = T_PYSSIZET;
constexpr int kMemberReadOnly = READONLY;
#endif

// --- subinterpreters -----------------------------------------------------------------------------

// The module keeps everything in its module state and has no process-wide mutable C data, so each
// interpreter, with its own GIL too, gets a module of its own.
#if PY_VERSION_HEX >= 0x030C0000
#define MIRTAL_MODULE_INTERPRETER_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define MIRTAL_MODULE_INTERPRETER_SLOTS
#endif

// --- C stack headroom --------------------------------------------------------------------------

// True when the running thread has less than `margin` bytes of C stack left. The bounds of each
// thread's stack are read once per thread (per-thread data, so interpreters with their own GIL
// do not share it). Where they cannot be read, the answer is always false.
inline bool stack_nearly_exhausted(size_t margin) {
#if defined(__linux__) && defined(__GLIBC__)
    static thread_local uintptr_t low = 0;
    static thread_local bool known = false;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* base = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0)
                low = reinterpret_cast<uintptr_t>(base);
            pthread_attr_destroy(&attr);
        }
    }
    if (low == 0) return false;
    char here;
    return reinterpret_cast<uintptr_t>(&here) < low + margin;
#else
    (void)margin;
    return false;
#endif
}

}  // namespace mirtal
