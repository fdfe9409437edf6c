// Compiled at configure time (CMakeLists.txt) against the interpreter's internal headers: with
// MIRTAL_CHECK_LAYOUTS, each private layout that compat.hpp reads must be the interpreter's own,
// or the compilation fails and names it.
#define Py_BUILD_CORE 1
#include <Python.h>
#undef HAVE_STD_ATOMIC  // 3.12's internal atomics take C11's <stdatomic.h> otherwise

#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
#include "compat.hpp"

#if defined(MIRTAL_CHECK_LAYOUTS) && PY_VERSION_HEX >= 0x030C0000 && \
    PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED)
using mirtal::kLayout, mirtal::SharedKeys;
#define SAME_OFFSET(ours, field, theirs, their_field)                                           \
    static_assert(offsetof(ours, field) == offsetof(theirs, their_field) &&                    \
                      sizeof(ours::field) == sizeof(theirs::their_field),                        \
                  #ours "::" #field " is not " #theirs "::" #their_field)
SAME_OFFSET(SharedKeys, refcnt, PyDictKeysObject, dk_refcnt);
SAME_OFFSET(SharedKeys, log2_size, PyDictKeysObject, dk_log2_size);
SAME_OFFSET(SharedKeys, log2_index_bytes, PyDictKeysObject, dk_log2_index_bytes);
SAME_OFFSET(SharedKeys, kind, PyDictKeysObject, dk_kind);
SAME_OFFSET(SharedKeys, version, PyDictKeysObject, dk_version);
SAME_OFFSET(SharedKeys, usable, PyDictKeysObject, dk_usable);
SAME_OFFSET(SharedKeys, count, PyDictKeysObject, dk_nentries);
static_assert(offsetof(SharedKeys, indices) == offsetof(PyDictKeysObject, dk_indices),
              "SharedKeys::indices is not PyDictKeysObject::dk_indices");
static_assert(kLayout.split_kind == DICT_KEYS_SPLIT, "kLayout.split_kind is not DICT_KEYS_SPLIT");
static_assert(sizeof(PyDictUnicodeEntry) == 2 * sizeof(PyObject*) &&
                  offsetof(PyDictUnicodeEntry, me_key) == 0,
              "a shared table's entries are not (key, value) pairs");
static_assert(kLayout.values_head == offsetof(PyDictValues, values),
              "kLayout.values_head is not where PyDictValues::values is");
#if PY_VERSION_HEX >= 0x030D0000
static_assert(offsetof(PyDictValues, valid) == 3, "the values' valid flag is not their 4th byte");
static_assert(kLayout.dict_slot * static_cast<Py_ssize_t>(sizeof(PyObject*)) == MANAGED_DICT_OFFSET,
              "kLayout.dict_slot is not MANAGED_DICT_OFFSET");
#endif
#endif
