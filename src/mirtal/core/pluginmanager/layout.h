/* The interpreter's private layouts that compat.hpp reads on 3.12-3.15 (pycore_dict.h,
   pycore_object.h), in C as well: cmake/layout_check.c holds them against the internal headers
   at build time, and a probe at import against the interpreter (dispatch.cpp, probe_layouts). */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* The head of a dict's keys; the entries (key, value) follow the index table, and the value of
   entry i of a split table is values[i]. */
typedef struct {
    Py_ssize_t refcnt;
    uint8_t log2_size, log2_index_bytes, kind;
    uint32_t version;
    Py_ssize_t usable, count;
    char indices[];
} MirtalKeys;

/* The values of a split table: from 3.13 after a head (capacity, size, embedded, valid). */
typedef struct {
#if PY_VERSION_HEX >= 0x030D0000
    uint8_t capacity, size, embedded, valid;
#endif
    PyObject* values[1];
} MirtalValues;

/* The kind of a split table, and the managed dict's slot in words before the object head. */
enum { MIRTAL_KEYS_SPLIT = 2, MIRTAL_MANAGED_DICT_SLOT = -3 };
