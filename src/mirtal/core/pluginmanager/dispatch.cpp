// How a method of the manager reaches self's other methods and attributes: our own C++ function,
// and the attributes read from the instance dict, only where a lookup could find nothing else
// (docs/design.md, "Calling our own methods directly"); the interpreter's lookup otherwise. What
// may run no callers' code here: ops.hpp.
#include "ops.hpp"

namespace mirtal {
namespace {

// Runs inside whatever modified the class (maybe with an exception pending, maybe while the
// interpreter shuts down): only our own class is watched, whose module is its own module.
int on_class_modified(PyTypeObject* type) {
    const PendingError pending;
    if (auto* st = static_cast<ModuleState*>(PyType_GetModuleState(type))) st->class_watch.notify();
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

constexpr Name kAttributes[] = {Name::_plugins, Name::supported_os, Name::chassis_type_list};

// Index of an exact-str key among the three attributes, or -1.
int attribute_index(const Ctx& c, PyObject* key) {
    const bool text = PyUnicode_CheckExact(key) && text_is_ready(key);
    for (int i = 0; i < 3; ++i)
        if (key == c.str(kAttributes[i]) || (text && same_ready_text(key, c.str(kAttributes[i]))))
            return i;
    return -1;
}

// Whether self is an exact PluginManager whose class is as built.
bool plain_class_instance(const Ctx& c) {
    return Py_TYPE(c.self) == c.st->manager_type && class_as_built(c.st);
}

// Reads a dict of exactly three entries, our attributes under exact-str keys, into `out`.
bool read_plain_dict(const Ctx& c, PyObject* dict, Plain& out) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 3) return false;
    PyObject* values[3] = {nullptr, nullptr, nullptr};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (int n = 0; n < 3 && PyDict_Next(dict, &pos, &key, &value); ++n) {
        const int i = attribute_index(c, key);
        if (i < 0 || values[i]) return false;
        values[i] = value;
    }
    out = Plain{values[0], values[1], values[2]};
    return values[0] && values[1] && values[2];
}

}  // namespace

int plain_instance(const Ctx& c, Plain& out) {
    if (!plain_class_instance(c)) return 0;
    PyObject* dict;
    const int has_dict = instance_dict(c.self, &dict);
    if (has_dict <= 0) return has_dict;
    Ref hold = Ref::steal(dict);  // the instance holds it too: its values outlive this call
    ModuleState* st = c.st;
    DictWatch& watch = st->instance_watch;
    if (watch.available()) {
        const uint64_t now = watch.stamp(dict);
        for (const PlainReading& reading : st->plain_readings) {
            if (reading.instance == c.self && reading.dict == dict && reading.stamp == now) {
                out = reading.attributes;
                return 1;
            }
        }
    }
    if (!read_plain_dict(c, dict, out)) return 0;
    if (watch.watch(dict))
        st->plain_readings[st->next_plain_reading++ % kPlainReadings] =
            PlainReading{c.self, dict, watch.stamp(dict), out};
    return 1;
}

int can_call_directly(const Ctx& c, Name method) {
    Plain unused;
    const int plain = plain_instance(c, unused);
    if (plain != 0) return plain;
    if (!plain_class_instance(c)) return 0;
    // As the interpreter looks it up: the class's own function (the class is as built), unless the
    // instance dict holds the name.
    PyObject* dict;
    const int has_dict = instance_dict(c.self, &dict);
    if (has_dict <= 0) return has_dict < 0 ? -1 : 1;
    const int found = PyDict_Contains(dict, c.str(method));  // `dict` is held meanwhile
    Py_DECREF(dict);
    return found < 0 ? -1 : !found;
}

Ref instance_attr(const Ctx& c, Name name) {
    Plain plain;
    const int is_plain = plain_instance(c, plain);
    if (is_plain < 0) return Ref();
    if (!is_plain) return get_attr(c.self, c.str(name));
    return Ref::borrow(name == Name::_plugins       ? plain.plugins
                       : name == Name::supported_os ? plain.supported_os
                                                    : plain.chassis_type_list);
}

namespace {

// Whether setting an attribute of a manager moves its dict's stamp. Where the attributes live
// inline it does not on every release (3.13.0 sends no dict-watcher event), so it is tried once: a
// reading is kept across calls only where a change is sure to be seen.
int stores_reach_watchers(ModuleState* st) {
    Ref instance = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(st->manager_type)));
    PyObject* dict = nullptr;
    const int has_dict = instance ? instance_dict(instance.get(), &dict) : -1;
    Ref hold = Ref::steal(dict);
    if (has_dict <= 0) return has_dict;
    if (!st->instance_watch.watch(dict)) return 0;
    const uint64_t before = st->instance_watch.stamp(dict);
    Ref tree = Ref::steal(PyDict_New());
    if (!tree || PyObject_SetAttr(instance.get(), st->str(Name::_plugins), tree.get()) < 0)
        return -1;
    return st->instance_watch.stamp(dict) != before;
}

}  // namespace

int watch_class(ModuleState* st) {
    Ref dict = Ref::steal(class_dict(st->manager_type));
    if (!dict) return -1;
    for (int i = 0; i < kWatchedClassNameCount; ++i) {
        st->class_entries[i] =
            Py_XNewRef(PyDict_GetItemWithError(dict.get(), st->str(kWatchedClassNames[i])));
        if (!st->class_entries[i] && PyErr_Occurred()) return -1;
    }
    st->class_watch.start(on_class_modified);
    if (st->instance_watch.start() < 0) return -1;
    const int reliable = st->instance_watch.available() ? stores_reach_watchers(st) : 1;
    if (reliable < 0) return -1;
    if (!reliable) st->instance_watch.stop();
    return 0;
}

}  // namespace mirtal
