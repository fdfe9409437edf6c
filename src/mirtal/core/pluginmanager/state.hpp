// Module state (PEP 489, one per module object) and the per-call context of a manager method.
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace mirtal {

// Every string the extension uses as an attribute name, keyword, key or fixed value, interned once
// per module. X(identifier, text).
// clang-format off
#define MIRTAL_STRINGS(X)                                                               \
    X(os, "os") X(series, "series") X(model, "model") X(chassis_type, "chassis_type")  \
    X(cls, "cls") X(data, "data") X(output, "output") X(path, "path")                  \
    X(_plugins, "_plugins") X(chassis_type_list, "chassis_type_list")                  \
    X(supported_os, "supported_os") X(validate_model, "validate_model")                \
    X(validate_series, "validate_series") X(validate_os, "validate_os")                \
    X(validate_chassis_type, "validate_chassis_type")                                  \
    X(validate_arguments, "validate_arguments") X(print_tree, "print_tree")            \
    X(islower, "islower") X(isdigit, "isdigit") X(debug, "debug") X(keys, "keys")      \
    X(split, "split") X(log, "log") X(getfile, "getfile")                              \
    X(ConnectionInfraError, "ConnectionInfraError") X(iter_entry_points, "iter_entry_points") \
    X(ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP") X(group, "group") X(name, "name")          \
    X(module_name, "module_name") X(load, "load") X(pkgutil, "pkgutil")                \
    X(importlib, "importlib") X(walk_packages, "walk_packages")                        \
    X(import_module, "import_module") X(dirname, "dirname") X(dunder_path, "__path__") \
    X(dunder_name, "__name__") X(dunder_file, "__file__") X(dunder_class, "__class__") \
    X(dunder_main, "__main__") X(dunder_plugin_manager, "__plugin_manager__")          \
    X(register_plugin, "register_plugin") X(single_rp, "single_rp")                    \
    X(quilos, "quilos") X(mocked, "mocked") X(plugin, "plugin") X(empty, "")           \
    X(newline, "\n") X(dot, ".") X(dot_plugins_dot, ".plugins.")                       \
    X(not_found, "Plugin data not found") X(not_found_for, "Plugin data not found for (")    \
    X(type_separator, "), type: ") X(space, " ") X(slash, "/")                             \
    X(not_supported, " is not part of the built-in list of supported OSes.")

enum class Name : int {
#define MIRTAL_ENUM(id, text) id,
    MIRTAL_STRINGS(MIRTAL_ENUM)
#undef MIRTAL_ENUM
    count,
    none,  // not a string: stands for None where a Name is expected (argument defaults)
};
// clang-format on

constexpr int kNameCount = static_cast<int>(Name::count);

// What an exact manager's instance dict held when it was last read: whether any method is
// overridden there, and its three attributes (borrowed; valid while the dict keeps its version).
struct InstanceView {
    const PyObject* dict;  // identity only, never dereferenced
    uint64_t version;
    bool overrides;
    PyObject* values[3];  // _plugins, supported_os, chassis_type_list, or null when absent
};

struct ModuleState {
    PyTypeObject* manager_type;
    PyObject* strings[kNameCount];
    // Keyword-name tuples of the calls the manager makes on itself and on services.
    PyObject* kw_validate_model;  // ("os", "series", "model")
    PyObject* kw_validate_series;  // ("series", "os")
    PyObject* kw_os;  // ("os",)
    PyObject* kw_chassis_type;  // ("chassis_type",)
    PyObject* kw_print_tree;  // ("data", "output")
    PyObject* kw_group;  // ("group",)
    PyObject* kw_register_demo;  // ("os", "series", "cls")
    // The class's own dict as laid out at start-up, and the version tag it had then: while the tag
    // is unchanged nothing on the class was replaced.
    PyObject* class_dict_snapshot;
    unsigned int pristine_tag;
    unsigned int patched_tag;
    // The hot path's view of the last exact, untouched instance dict it read (manager.cpp).
    InstanceView view;

    PyObject* str(Name name) const {
        return name == Name::none ? Py_None : strings[static_cast<int>(name)];
    }
};

inline ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// What every method of the manager works with: its module (for module globals and state) and the
// instance it was called on. All borrowed: they outlive the call.
struct Ctx {
    PyObject* module;
    ModuleState* st;
    PyObject* self;

    PyObject* str(Name name) const { return st->str(name); }
};

// The C layout of a manager instance; everything else lives in its __dict__.
struct ManagerObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakreflist;
};

// The module's definition (module.cpp): types find their module state through it.
extern PyModuleDef pluginmanager_module;

// --- module.cpp ---------------------------------------------------------------------------------

// A module global, read at the moment of use (falling back to builtins, like a name in Python
// code); NameError when neither has it.
Ref module_global(const Ctx& c, Name name);
// Raises ConnectionInfraError(message), the class looked up now. Always returns -1.
int raise_connection_error(const Ctx& c, Ref message);
// `from <package> import <name>`: the attribute, or ImportError "cannot import name <name>".
Ref import_from(PyObject* package, PyObject* name);

// --- manager.cpp --------------------------------------------------------------------------------

// The fast path's knowledge of the instance, when it still holds: the instance is an exact
// PluginManager, nothing on the class was replaced since start-up (its version tag), and its dict
// is in the state last read (its version). Null otherwise; refresh_view then reads the dict anew.
inline const InstanceView* current_view(const Ctx& c) {
#if PY_VERSION_HEX < 0x030C0000
    const PyTypeObject* type = c.st->manager_type;
    if (Py_TYPE(c.self) != type || !(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ||
        type->tp_version_tag != c.st->pristine_tag)
        return nullptr;
    const PyObject* dict = reinterpret_cast<ManagerObject*>(c.self)->dict;
    const InstanceView& view = c.st->view;
    if (!dict || dict != view.dict ||
        reinterpret_cast<const PyDictObject*>(dict)->ma_version_tag != view.version)
        return nullptr;
    return &view;
#else
    (void)c;
    return nullptr;
#endif
}

constexpr int view_index(Name attribute) {
    return attribute == Name::_plugins            ? 0
           : attribute == Name::supported_os      ? 1
           : attribute == Name::chassis_type_list ? 2
                                                  : -1;
}

int can_call_directly_slow(const Ctx& c, Name method);
Ref instance_attr_slow(const Ctx& c, Name name);

// True when no method may be overridden on the instance: the view is current and its dict holds
// none of the methods' names.
inline bool nothing_overridden(const Ctx& c) {
    const InstanceView* view = current_view(c);
    return view && !view->overrides;
}

// 1 when `method` on the instance is the class's own C++ function: the instance's type is exactly
// PluginManager, the class is as it was laid out, and the instance dict has no entry of that name.
inline int can_call_directly(const Ctx& c, Name method) {
    return nothing_overridden(c) ? 1 : can_call_directly_slow(c, method);
}

// self.<name> for a plain attribute (_plugins, supported_os, chassis_type_list).
inline Ref instance_attr(const Ctx& c, Name name) {
    const InstanceView* view = current_view(c);
    const int index = view_index(name);
    if (view && index >= 0 && view->values[index]) return Ref::borrow(view->values[index]);
    return instance_attr_slow(c, name);
}

// Creates the PluginManager class and binds it in the module.
int add_manager_type(PyObject* module);

}  // namespace mirtal
