/* Compiled at configure time (CMakeLists.txt) against the interpreter's internal headers, as C:
   with MIRTAL_CHECK_LAYOUTS, each layout in src/mirtal/core/pluginmanager/layout.h must be the
   interpreter's own, or the compilation fails and names it. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <stddef.h>

#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
#include "layout.h"

#if defined(MIRTAL_CHECK_LAYOUTS) && PY_VERSION_HEX >= 0x030C0000 && \
    PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED)
#define SAME_OFFSET(ours, field, theirs, their_field)                     \
    _Static_assert(offsetof(ours, field) == offsetof(theirs, their_field), \
                   #ours "." #field " is not at " #theirs "." #their_field)
SAME_OFFSET(MirtalKeys, refcnt, PyDictKeysObject, dk_refcnt);
SAME_OFFSET(MirtalKeys, log2_size, PyDictKeysObject, dk_log2_size);
SAME_OFFSET(MirtalKeys, log2_index_bytes, PyDictKeysObject, dk_log2_index_bytes);
SAME_OFFSET(MirtalKeys, kind, PyDictKeysObject, dk_kind);
SAME_OFFSET(MirtalKeys, version, PyDictKeysObject, dk_version);
SAME_OFFSET(MirtalKeys, usable, PyDictKeysObject, dk_usable);
SAME_OFFSET(MirtalKeys, count, PyDictKeysObject, dk_nentries);
SAME_OFFSET(MirtalKeys, indices, PyDictKeysObject, dk_indices);
_Static_assert(sizeof(((MirtalKeys*)0)->count) == sizeof(((PyDictKeysObject*)0)->dk_nentries),
               "MirtalKeys.count is not as wide as dk_nentries");
_Static_assert(MIRTAL_KEYS_SPLIT == DICT_KEYS_SPLIT, "MIRTAL_KEYS_SPLIT is not DICT_KEYS_SPLIT");
_Static_assert(sizeof(PyDictUnicodeEntry) == 2 * sizeof(PyObject*) &&
                   offsetof(PyDictUnicodeEntry, me_key) == 0,
               "a shared table's entries are not (key, value) pairs");
SAME_OFFSET(MirtalValues, values, PyDictValues, values);
#if PY_VERSION_HEX >= 0x030D0000
SAME_OFFSET(MirtalValues, valid, PyDictValues, valid);
_Static_assert(MIRTAL_MANAGED_DICT_SLOT * (Py_ssize_t)sizeof(PyObject*) == MANAGED_DICT_OFFSET,
               "the managed dict is not at MIRTAL_MANAGED_DICT_SLOT");
#endif
#endif
