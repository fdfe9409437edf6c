// How a method of the manager reaches self's other methods and attributes. In Python every
// `self.validate_os(...)` or `self._plugins` is an attribute lookup, so an override in a subclass,
// in the instance dict or on the class itself takes effect. We call our own C++ function directly
// only when the lookup could not find anything else:
//
// - the instance is an exact PluginManager;
// - the class holds, under each watched name, what it was built with (compared again only after
//   the class watch reports a modification, so unrelated class attributes cost nothing);
// - the instance dict holds exactly its three attributes (read with PyDict_Next, which runs no
//   Python code: a hostile key's __eq__ is never called here).
//
// Otherwise the lookup goes the interpreter's way. Nothing is cached between calls: each answer is
// computed from the objects as they are now, and borrowed values are used before Python code runs.
#include "ops.hpp"

#include <cstring>

namespace mirtal {
namespace {

ModuleState* state_of_class(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &pluginmanager_module);
    if (!module) {
        PyErr_Clear();  // cannot happen: only our own class is watched
        return nullptr;
    }
    return state_of(module);
}

int on_class_modified(PyTypeObject* type) {
    if (ModuleState* st = state_of_class(type)) st->class_watch.notify();
    return 0;
}

// The class holds every watched name as it was built (`entries`, null for none), its MRO is still
// (PluginManager, object) and attribute access is the generic one. Class dict keys are exact strs
// (type.__setattr__ makes them so): the lookups run no Python code and cannot fail.
bool class_matches(PyTypeObject* type, const ModuleState* st, PyObject* const* entries) {
    if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr) ||
        !type->tp_mro || PyTuple_GET_SIZE(type->tp_mro) != 2)
        return false;
    Ref dict = Ref::steal(class_dict(type));
    for (int i = 0; i < kWatchedClassNameCount; ++i)
        if (PyDict_GetItemWithError(dict.get(), st->str(kWatchedClassNames[i])) != entries[i])
            return false;
    return true;
}

bool class_as_built(ModuleState* st) {
    if (!st->class_watch.maybe_modified(st->manager_type)) return st->class_as_built;
    st->class_as_built = class_matches(st->manager_type, st, st->class_entries);
    st->class_watch.arm(st->manager_type);
    return st->class_as_built;
}

// Index of an exact-str key among the three attributes, or -1.
int attribute_index(const Ctx& c, PyObject* key) {
    static constexpr Name kAttributes[] = {Name::_plugins, Name::supported_os,
                                           Name::chassis_type_list};
    for (int i = 0; i < 3; ++i)
        if (key == c.str(kAttributes[i])) return i;
    if (!PyUnicode_CheckExact(key) || !text_is_ready(key)) return -1;
    for (int i = 0; i < 3; ++i)
        if (same_ready_text(key, c.str(kAttributes[i]))) return i;
    return -1;
}

// The instance dict, when self is an exact PluginManager whose class is as built; else null.
PyObject* dict_of_plain_class_instance(const Ctx& c) {
    if (Py_TYPE(c.self) != c.st->manager_type || !class_as_built(c.st)) return nullptr;
    return reinterpret_cast<ManagerObject*>(c.self)->dict;
}

}  // namespace

bool plain_instance(const Ctx& c, Plain& out) {
    PyObject* dict = dict_of_plain_class_instance(c);
    if (!dict || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 3) return false;
    PyObject* values[3] = {nullptr, nullptr, nullptr};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        const int i = attribute_index(c, key);
        if (i < 0 || values[i]) return false;
        values[i] = value;
    }
    out = Plain{values[0], values[1], values[2]};
    return true;
}

int can_call_directly(const Ctx& c, Name method) {
    Plain unused;
    if (plain_instance(c, unused)) return 1;
    // As the interpreter looks it up: the class's own function (the class is as built), unless the
    // instance dict holds the name.
    PyObject* dict = dict_of_plain_class_instance(c);
    if (!dict) return Py_TYPE(c.self) == c.st->manager_type && c.st->class_as_built;
    PyObject* entry;
    const int found = dict_get(dict, c.str(method), &entry);
    Py_XDECREF(entry);
    return found < 0 ? -1 : !found;
}

Ref instance_attr(const Ctx& c, Name name) {
    Plain plain;
    if (plain_instance(c, plain)) {
        switch (name) {
            case Name::_plugins: return Ref::borrow(plain.plugins);
            case Name::supported_os: return Ref::borrow(plain.supported_os);
            case Name::chassis_type_list: return Ref::borrow(plain.chassis_type_list);
            default: break;
        }
    }
    return get_attr(c.self, c.str(name));
}

int watch_class(ModuleState* st) {
    Ref dict = Ref::steal(class_dict(st->manager_type));
    if (!dict) return -1;
    for (int i = 0; i < kWatchedClassNameCount; ++i)
        st->class_entries[i] =
            Py_XNewRef(PyDict_GetItemWithError(dict.get(), st->str(kWatchedClassNames[i])));
    st->class_watch.start(on_class_modified);
    return 0;
}

}  // namespace mirtal
