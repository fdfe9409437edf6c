// Everything that differs between the CPython versions we support (3.11 to 3.15) sits here, each
// behind one small name; the rest of the extension has no version tests of its own. What is used
// here beyond the public C API, on which versions, why, and what replaces it later: docs/design.md.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#if defined(__linux__)
#include <pthread.h>
#endif

#include <cstddef>
#include <cstdint>
#include <utility>

namespace mirtal {

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

// text_ready: 0 when the characters of a str can be read with PyUnicode_GET_LENGTH/DATA, -1 on
// error. text_is_ready: whether they can be read already (no allocation, no error).
#if PY_VERSION_HEX < 0x030C0000
inline int text_ready(PyObject* text) { return PyUnicode_READY(text); }
inline bool text_is_ready(PyObject* text) { return PyUnicode_IS_READY(text); }
#else
inline int text_ready(PyObject*) { return 0; }
inline bool text_is_ready(PyObject*) { return true; }
#endif

// Builds a str piece by piece. ok() is false when it could not be made (MemoryError set); after
// finish(), restart() begins a new text. The write functions return -1 on error.
class TextWriter {
public:
    TextWriter() { restart(); }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
#if PY_VERSION_HEX >= 0x030E0000
    ~TextWriter() {
        if (writer_) PyUnicodeWriter_Discard(writer_);
    }
    void restart() {
        if (!writer_) writer_ = PyUnicodeWriter_Create(0);
        length_ = 0;
    }
    bool ok() const { return writer_ != nullptr; }
    Py_ssize_t length() const { return length_; }  // the characters written so far
    int ascii(const char* text, Py_ssize_t size) {
        length_ += size;
        return PyUnicodeWriter_WriteASCII(writer_, text, size);
    }
    int substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        length_ += end - start;
        return PyUnicodeWriter_WriteSubstring(writer_, text, start, end);
    }
    PyObject* finish() {  // the str written (a new reference), or null with an exception set
        return PyUnicodeWriter_Finish(std::exchange(writer_, nullptr));
    }

private:
    PyUnicodeWriter* writer_ = nullptr;
    Py_ssize_t length_ = 0;  // the public writer does not tell
#else
    ~TextWriter() {
        if (!finished_) _PyUnicodeWriter_Dealloc(&writer_);
    }
    void restart() {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
        finished_ = false;
    }
    bool ok() const { return !finished_; }
    Py_ssize_t length() const { return writer_.pos; }
    int ascii(const char* text, Py_ssize_t size) {
        // The writer has no buffer kind before its first character.
        return size ? _PyUnicodeWriter_WriteASCIIString(&writer_, text, size) : 0;
    }
    int substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        return _PyUnicodeWriter_WriteSubstring(&writer_, text, start, end);
    }
    PyObject* finish() {
        finished_ = true;
        return _PyUnicodeWriter_Finish(&writer_);
    }

private:
    _PyUnicodeWriter writer_;
    bool finished_ = false;
#endif
};

// Keeps the exception pending when it is made (if any) and restores it when it goes: whatever the
// code in between raised is dropped (restoring clears it).
class PendingError {
public:
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
#if PY_VERSION_HEX >= 0x030C0000
    PendingError() : error_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(error_); }

private:
    PyObject* error_;
#else
    PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError() { PyErr_Restore(type_, value_, traceback_); }

private:
    PyObject *type_, *value_, *traceback_;
#endif
};

using ClassCallback = int (*)(PyTypeObject*);

// Answers "may the type have been modified since arm() last succeeded?" cheaply: maybe yes when
// nothing changed (the caller compares and re-arms), never no when something did. All zero bytes
// is an unarmed watch. `on_modified` must call notify(); without a watcher it always says maybe.
#if PY_VERSION_HEX >= 0x030C0000
class ClassWatch {
public:
    void start(ClassCallback on_modified) {
        const int id = PyType_AddWatcher(on_modified);
        if (id < 0) PyErr_Clear();  // all watcher slots of this interpreter are taken
        slot_ = id + 1;
    }
    void stop() {
        if (slot_ > 0 && PyType_ClearWatcher(slot_ - 1) < 0) PyErr_Clear();
        slot_ = 0;
        armed_ = false;
    }
    bool maybe_modified(const PyTypeObject*) const { return !armed_; }
    // The type was found as expected. A watcher hears of modifications only while the type holds
    // a version tag; watching assigns one, the check tells whether it still can have one.
    void arm(PyTypeObject* type) {
        if (slot_ == 0) return;
        if (PyType_Watch(slot_ - 1, reinterpret_cast<PyObject*>(type)) < 0) return PyErr_Clear();
        armed_ = PyUnstable_Type_AssignVersionTag(type) != 0;
    }
    void notify() { armed_ = false; }

private:
    int slot_ = 0;  // watcher id + 1; 0: none
    bool armed_ = false;
};
#else
// 3.11 offers no watchers; a type's version tag changes (or drops to 0) whenever PyType_Modified
// runs on it, and tags are never handed out twice.
class ClassWatch {
public:
    void start(ClassCallback) {}
    void stop() {}
    bool maybe_modified(const PyTypeObject* type) const {
        return type->tp_version_tag == 0 || type->tp_version_tag != tag_;
    }
    void arm(PyTypeObject* type) { tag_ = type->tp_version_tag; }
    void notify() {}

private:
    unsigned int tag_ = 0;
};
#endif

// dict_stamp (3.11): the dict's version tag, which every change of a dict and every new dict take
// from one global counter: a reading of a dict holds while its stamp does. 0 (none) from 3.12.
inline uint64_t dict_stamp([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    return 0;
#endif
}

// ManagerObject and its helpers: where a manager keeps its dict and weak references (from 3.12
// managed by the interpreter, as for a class statement's class: docs/design.md). instance_dict: 1
// and *dict set to a new reference, 0 when there is none, -1 on error; runs no Python code.
// set_instance_dict: `instance.__dict__ = value`, and `del instance.__dict__` (which leaves a new,
// empty dict). first_weak_reference: what __weakref__ shows. MIRTAL_MODULE_INTERPRETER_SLOTS: all
// is in module state, so each interpreter, with its own GIL too, gets a module of its own.
#if PY_VERSION_HEX >= 0x030C0000
// Traverse and clear of such a type: documented with an underscore in 3.12, public from 3.13.
#if PY_VERSION_HEX >= 0x030D0000
constexpr auto visit_instance = PyObject_VisitManagedDict;
constexpr auto clear_instance = PyObject_ClearManagedDict;
#else
constexpr auto visit_instance = _PyObject_VisitManagedDict;
constexpr auto clear_instance = _PyObject_ClearManagedDict;
#endif
struct ManagerObject {
    PyObject_HEAD
};
constexpr unsigned int kLayoutFlags = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF;
#define MIRTAL_LAYOUT_MEMBERS
constexpr int kMemberPySsize = Py_T_PYSSIZET;
constexpr int kMemberReadOnly = Py_READONLY;
#define MIRTAL_MODULE_INTERPRETER_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},

inline int instance_dict(PyObject* self, PyObject** dict) {
    *dict = PyObject_GenericGetDict(self, nullptr);  // the inline attributes, as a dict
    return *dict ? 1 : -1;
}

// The generic setter only swaps the dict, and the inline attributes would stay visible: they are
// first moved into the old dict (kept for whoever holds it) and detached.
inline int set_instance_dict(PyObject* self, PyObject* value, void* context) {
    if (!value || PyDict_Check(value)) clear_instance(self);
    return value ? PyObject_GenericSetDict(self, value, context) : 0;
}

inline PyObject* first_weak_reference(PyObject* self) {
    const Py_ssize_t offset = Py_TYPE(self)->tp_weaklistoffset;  // negative: before the head
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}
#else
struct ManagerObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakreflist;
};
constexpr unsigned int kLayoutFlags = 0;
constexpr int kMemberPySsize = T_PYSSIZET;
constexpr int kMemberReadOnly = READONLY;
#define MIRTAL_LAYOUT_MEMBERS                                                                    \
    {"__dictoffset__", kMemberPySsize, offsetof(ManagerObject, dict), kMemberReadOnly, nullptr}, \
        {"__weaklistoffset__", kMemberPySsize, offsetof(ManagerObject, weakreflist),             \
         kMemberReadOnly, nullptr},
#define MIRTAL_MODULE_INTERPRETER_SLOTS

inline ManagerObject* as_manager(PyObject* self) { return reinterpret_cast<ManagerObject*>(self); }
inline int instance_dict(PyObject* self, PyObject** dict) {
    *dict = Py_XNewRef(as_manager(self)->dict);
    return *dict ? 1 : 0;
}
inline int visit_instance(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_manager(self)->dict);
    return 0;
}
inline void clear_instance(PyObject* self) { Py_CLEAR(as_manager(self)->dict); }
inline int set_instance_dict(PyObject* self, PyObject* value, void* context) {
    if (value) return PyObject_GenericSetDict(self, value, context);
    clear_instance(self);
    return 0;
}
inline PyObject* first_weak_reference(PyObject* self) { return as_manager(self)->weakreflist; }
#endif

// inline_values (3.12-3.15): a manager's attributes where the interpreter keeps them, a split
// table's shared keys and values, without making a dict; null for a table of its own, or 3.11. The
// layouts (pycore_dict.h, pycore_object.h) are checked at build time (cmake/layout_check.cpp) and
// read once a probe at import found them (dispatch.cpp; only its tests pass another `layout`).
struct SharedKeys {
    Py_ssize_t refcnt;
    uint8_t log2_size, log2_index_bytes, kind;
    uint32_t version;
    Py_ssize_t usable, count;
    char indices[];  // then the entries (key, value), the value of entry i in values[i]
};
struct Layout {
    int dict_slot;  // where the managed dict is, in words from the object head
    uint8_t split_kind;  // a split table's kind
    ptrdiff_t values_head;  // bytes before the first value (3.13: capacity, size, embedded, valid)
};
constexpr Layout kLayout{-3, 2, PY_VERSION_HEX >= 0x030D0000 ? sizeof(PyObject*) : 0};
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED)
constexpr bool kInlineLayouts = true;
inline uintptr_t managed_dict_slot(PyObject* self, const Layout& layout) {
    return reinterpret_cast<const uintptr_t*>(self)[layout.dict_slot];
}
inline const SharedKeys* inline_values(PyObject* self, PyObject* const** values,
                                       const Layout& layout = kLayout) {
    auto* type = reinterpret_cast<PyHeapTypeObject*>(Py_TYPE(self));
    const uintptr_t slot = managed_dict_slot(self, layout);
    const void* keys = type->ht_cached_keys;
    const char* at;
    if (slot && !(slot & 1)) {  // a made dict, which may still share the keys
        keys = reinterpret_cast<const PyDictObject*>(slot)->ma_keys;
        at = reinterpret_cast<const char*>(reinterpret_cast<const PyDictObject*>(slot)->ma_values);
#if PY_VERSION_HEX >= 0x030D0000
    } else if (type->ht_type.tp_flags & Py_TPFLAGS_INLINE_VALUES) {
        at = reinterpret_cast<const char*>(self) + type->ht_type.tp_basicsize;
        if (!at[3]) return nullptr;  // not valid
#else
    } else if (slot & 1) {
        at = reinterpret_cast<const char*>(slot + 1);  // tagged: the inline values
#endif
    } else {
        return nullptr;
    }
    const auto* shared = static_cast<const SharedKeys*>(keys);
    if (!at || !shared || shared->kind != layout.split_kind) return nullptr;
    *values = reinterpret_cast<PyObject* const*>(at + layout.values_head);
    return shared;
}
#else
constexpr bool kInlineLayouts = false;
inline uintptr_t managed_dict_slot(PyObject*, const Layout&) { return 0; }
inline const SharedKeys* inline_values(PyObject*, PyObject* const**, const Layout& = kLayout) {
    return nullptr;
}
#endif

// The warning filters in force (a new reference): warnings.filters, from 3.14 the current warnings
// context's (warnings._get_filters()); warnings._filters_mutated() tells of a change.
inline PyObject* warning_filters(PyObject* warnings) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyObject_CallMethod(warnings, "_get_filters", nullptr);
#else
    return PyObject_GetAttrString(warnings, "filters");
#endif
}

// The lowest C stack address of the running thread that leaves `margin` bytes below it: a frame
// under it has less than that left. The bounds of each thread's stack are read once per thread and
// kept under a pthread key, plus one (null: not read yet). Not a thread_local: in a module loaded
// by dlopen that lives in dynamic TLS, which GCC 12's leak checker misreads when it scans the
// threads at exit (the scan crashes). 0 where the bounds cannot be read: no frame is under it.
inline uintptr_t stack_floor(size_t margin) {
#if defined(__linux__) && defined(__GLIBC__)
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    static pthread_key_t key;
    static bool keyed = false;
    pthread_once(&once, [] { keyed = pthread_key_create(&key, nullptr) == 0; });
    auto kept = keyed ? reinterpret_cast<uintptr_t>(pthread_getspecific(key)) : 0;
    if (kept == 0) {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            if (pthread_attr_getstack(&attr, &base, &size) != 0) base = nullptr;
            pthread_attr_destroy(&attr);
        }
        kept = reinterpret_cast<uintptr_t>(base) + 1;
        if (keyed) pthread_setspecific(key, reinterpret_cast<void*>(kept));
    }
    return kept == 1 ? 0 : kept - 1 + margin;
#else
    (void)margin;
    return 0;
#endif
}

// Whether the calling frame lies under a floor from stack_floor(), taken on the same thread. The
// frame's own address: a local's could lie in AddressSanitizer's heap-allocated fake stack
// (use-after-return detection), far from the thread's real stack.
inline bool under_stack_floor(uintptr_t floor) {
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

}  // namespace mirtal
