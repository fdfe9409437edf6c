// How a method reaches self's other methods and attributes: our own function and the attributes
// where the instance keeps them, only where a lookup could find nothing else (docs/design.md,
// "Calling our own methods directly"); the interpreter's lookup otherwise. See also ops.hpp.
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

// The class holds the watched names as built (`entries`), its MRO is (PluginManager, object) and
// its getattr the generic one. Its dict's keys are exact strs: the lookups run no code, never fail.
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

// Puts an attribute found under `key` in its place among the three (Plain's order): false when the
// key is none of their names (an exact str of the same text) or its place is taken.
[[gnu::noinline]] bool place(const Ctx& c, PyObject* key, PyObject* value, PyObject* (&found)[3]) {
    const bool text = PyUnicode_CheckExact(key) && text_is_ready(key);
    for (int i = 0; i < 3; ++i) {
        if (key != c.str(kAttributes[i]) && !(text && same_ready_text(key, c.str(kAttributes[i]))))
            continue;
        if (found[i]) return false;
        found[i] = value;
        return true;
    }
    return false;
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
    for (int n = 0; n < 3 && PyDict_Next(dict, &pos, &key, &value); ++n)
        if (!place(c, key, value, values)) return false;
    out = Plain{values[0], values[1], values[2]};
    return values[0] && values[1] && values[2];
}

// 1: the inline attributes (exact-str keys) are just the three; 0: they are not; -1: own table.
[[gnu::always_inline]] inline int read_inline(const Ctx& c, Plain& out,
                                              const Layout& at = kLayout) {
    PyObject* const* values;
    const SharedKeys* keys = inline_values(c.self, &values, at);
    if (!keys) return -1;
    const auto* entries =
        reinterpret_cast<PyObject* const*>(keys->indices + (size_t{1} << keys->log2_index_bytes));
    PyObject* const names[3] = {c.str(kAttributes[0]), c.str(kAttributes[1]),
                                c.str(kAttributes[2])};
    // As __init__ sets them, under its own names: _plugins, chassis_type_list, supported_os.
    if (keys->count == 3 && entries[0] == names[0] && entries[2] == names[2] &&
        entries[4] == names[1]) {
        out = Plain{values[0], values[2], values[1]};
        return out.plugins && out.supported_os && out.chassis_type_list;
    }
    PyObject* found[3] = {nullptr, nullptr, nullptr};
    for (Py_ssize_t i = 0; i < keys->count; ++i)
        if (values[i] && !place(c, entries[2 * i], values[i], found)) return 0;
    out = Plain{found[0], found[1], found[2]};
    return found[0] && found[1] && found[2];
}

// A dict of the instance's own; the last few readings are kept while the dict's stamp holds (3.11).
[[gnu::noinline]] int read_instance_dict(const Ctx& c, Plain& out) {
    PyObject* dict;
    const int has_dict = instance_dict(c.self, &dict);
    if (has_dict <= 0) return has_dict;
    Ref hold = Ref::steal(dict);  // the instance holds it too: its values outlive this call
    ModuleState* st = c.st;
    const uint64_t now = dict_stamp(dict);
    for (const PlainReading& reading : st->plain_readings) {
        if (now && reading.instance == c.self && reading.dict == dict && reading.stamp == now) {
            out = reading.attributes;
            MIRTAL_COUNT(st, Path::kept_reading);
            return 1;
        }
    }
    if (!read_plain_dict(c, dict, out)) return 0;
    MIRTAL_COUNT(st, Path::own_dict);
    if (now)
        st->plain_readings[st->next_plain_reading++ % kPlainReadings] =
            PlainReading{c.self, dict, now, out};
    return 1;
}

// Two fresh managers, one given an empty dict of its own (the slot must hold it, before anything
// is read through the slot; nothing is found), one with its attributes inline: read_inline must
// find what the public API finds, the keys' sizes checked first. 0: `fault` says what differs. (A
// dict made over inline values would be detached as its manager goes: an allocation never raised.)
int probe_layouts(ModuleState* st, const Layout& layout, const char** fault) {
    auto fails = [fault](const char* what) { return *fault = what, 0; };
    for (int own = 1; kInlineLayouts && own >= 0; --own) {
        Ref probe = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(st->manager_type)));
        Ref dict = Ref::steal(probe && own ? PyDict_New() : nullptr);
        if (!probe || (own && (!dict || set_instance_dict(probe.get(), dict.get(), nullptr) < 0)))
            return -1;
        if (own &&
            managed_dict_slot(probe.get(), layout) != reinterpret_cast<uintptr_t>(dict.get()))
            return fails("the managed dict is not in its slot");
        PyObject* const* values;
        const SharedKeys* keys = inline_values(probe.get(), &values, layout);
        if (own != !keys)
            return fails(keys ? "attributes were found where none are"
                              : "no attributes were found");
        if (own) continue;
        Plain read;
        if (keys->log2_index_bytes != keys->log2_size || keys->log2_size > 7 || keys->count < 3 ||
            keys->count > (Py_ssize_t{1} << keys->log2_size) ||
            read_inline(Ctx{nullptr, st, probe.get()}, read, layout) != 1)
            return fails("the shared keys are not as expected");
        PyObject* const found[3] = {read.plugins, read.supported_os, read.chassis_type_list};
        for (int i = 0; i < 3; ++i) {
            Ref expected =
                Ref::steal(PyObject_GenericGetAttr(probe.get(), st->str(kAttributes[i])));
            if (!expected || expected.get() != found[i])
                return expected ? fails("the attributes read are not the instance's") : -1;
        }
    }
    return 1;
}

}  // namespace

int plain_instance(const Ctx& c, Plain& out) {
    int read = !plain_class_instance(c) ? 0 : c.st->layouts_verified ? read_inline(c, out) : -1;
    if (read > 0) MIRTAL_COUNT(c.st, Path::inline_values);
    if (read < 0) read = read_instance_dict(c, out);
    if (read == 0) MIRTAL_COUNT(c.st, Path::not_plain);
    return read;
}

int can_call_directly(const Ctx& c, Name method) {
    Plain unused;
    int direct = plain_instance(c, unused);
    if (direct == 0 && plain_class_instance(c)) {
        // As the interpreter looks it up: the class's (as built) unless the instance dict has it.
        PyObject* dict;
        const int has_dict = instance_dict(c.self, &dict);
        if (has_dict < 0) return -1;
        direct = has_dict ? PyDict_Contains(dict, c.str(method)) : 0;  // `dict` is held meanwhile
        Py_XDECREF(dict);
        direct = direct < 0 ? -1 : !direct;
    }
    if (direct >= 0) MIRTAL_COUNT(c.st, direct ? Path::direct : Path::lookup);
    return direct;
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

int watch_class(ModuleState* st) {
    Ref dict = Ref::steal(class_dict(st->manager_type));
    if (!dict) return -1;
    for (int i = 0; i < kWatchedClassNameCount; ++i) {
        st->class_entries[i] =
            Py_XNewRef(PyDict_GetItemWithError(dict.get(), st->str(kWatchedClassNames[i])));
        if (!st->class_entries[i] && PyErr_Occurred()) return -1;
    }
    st->class_watch.start(on_class_modified);
    return 0;
}

// Where the probe finds other layouts, instance dicts are read instead, and the log says why.
int check_layouts(PyObject* module, ModuleState* st) {
    Layout layout = kLayout;
#ifdef MIRTAL_TEST_BUILD
    const char* skew = getenv("MIRTAL_TEST_LAYOUT_SKEW") ?: "";  // slot, kind or head
    layout.dict_slot -= strcmp(skew, "slot") == 0;
    layout.split_kind += strcmp(skew, "kind") == 0;
    layout.values_head -= strcmp(skew, "head") == 0 ? sizeof(PyObject*) : 0;
#endif
    const char* fault = nullptr;
    const int found = probe_layouts(st, layout, &fault);
    if ((st->layouts_verified = found > 0) || found < 0) return found;
    const Ctx c{module, st, nullptr};
    Ref log = module_global(c, Name::log);
    Ref debug = log ? get_attr(log.get(), c.str(Name::debug)) : Ref();
    const char* format =
        "PluginManager reads its instances' attributes from their dict: their "
        "layout is not the one expected (%s)";
    Ref text = debug ? Ref::steal(PyUnicode_FromFormat(format, fault)) : Ref();
    return text && call(debug.get(), nullptr, text.get()) ? 0 : -1;
}

}  // namespace mirtal
