// Module state (PEP 489, one per module object) and the per-call context of a manager method.
#pragma once

#include <cstdint>
#include <iterator>

#include "ref.hpp"

namespace mirtal {

// Every string used as an attribute name, keyword, key or fixed value. X(identifier, text).
// clang-format off
#define MIRTAL_STRINGS(X)                                                                         \
    X(os, "os") X(series, "series") X(model, "model") X(chassis_type, "chassis_type")             \
    X(cls, "cls") X(data, "data") X(output, "output") X(path, "path") X(_plugins, "_plugins")     \
    X(chassis_type_list, "chassis_type_list") X(supported_os, "supported_os")                     \
    X(validate_model, "validate_model") X(validate_series, "validate_series")                     \
    X(validate_os, "validate_os") X(validate_chassis_type, "validate_chassis_type")               \
    X(validate_arguments, "validate_arguments") X(print_tree, "print_tree") X(islower, "islower") \
    X(isdigit, "isdigit") X(debug, "debug") X(keys, "keys") X(split, "split") X(sort, "sort")     \
    X(log, "log") X(getfile, "getfile") X(ConnectionInfraError, "ConnectionInfraError")           \
    X(iter_entry_points, "iter_entry_points") X(ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP")             \
    X(plugin_group, "mirtal.plugins") X(vennu, "vennu") X(zq4, "zq4") X(builtins, "builtins")     \
    X(group, "group") X(key, "key") X(name, "name") X(module_name, "module_name") X(load, "load") \
    X(pkgutil, "pkgutil") X(importlib, "importlib") X(walk_packages, "walk_packages")             \
    X(import_module, "import_module") X(dirname, "dirname") X(dunder_path, "__path__")            \
    X(dunder_name, "__name__") X(dunder_file, "__file__") X(dunder_class, "__class__")            \
    X(dunder_main, "__main__") X(dunder_import, "__import__")                                     \
    X(dunder_plugin_manager, "__plugin_manager__") X(register_plugin, "register_plugin")          \
    X(single_rp, "single_rp") X(quilos, "quilos") X(mocked, "mocked") X(self_, "self")            \
    X(plugin, "plugin") X(empty, "") X(label_marker, "__ ") X(equals_marker, " = ")               \
    X(break_open, "\n  |") X(break_last, "\n  ") X(newline, "\n") X(dot, ".")                     \
    X(dot_plugins_dot, ".plugins.") X(not_found, "Plugin data not found")                         \
    X(not_found_for, "Plugin data not found for (") X(type_separator, "), type: ") X(space, " ")  \
    X(slash, "/") X(not_supported, " is not part of the built-in list of supported OSes.")

enum class Name : int {
#define MIRTAL_ENUM(id, text) id,
    MIRTAL_STRINGS(MIRTAL_ENUM)
#undef MIRTAL_ENUM
    count,
    none,  // not a string: stands for None where a Name is expected (argument defaults)
};

// The keyword-name tuples of the calls on self and on services (module.cpp: ("os",), ...).
enum class Kw : int {
    validate_model, validate_series, os, chassis_type, print_tree, group, key, register_demo, count
};
// clang-format on

constexpr int kNameCount = static_cast<int>(Name::count);

// The names whose class entries decide whether the fast path may call our own functions: the
// methods called on self and the attributes read (a class descriptor beats the instance dict).
constexpr Name kWatchedClassNames[] = {
    Name::validate_model,     Name::validate_series, Name::validate_os, Name::validate_chassis_type,
    Name::validate_arguments, Name::print_tree,      Name::_plugins,    Name::supported_os,
    Name::chassis_type_list,
};
constexpr int kWatchedClassNameCount = static_cast<int>(std::size(kWatchedClassNames));

// The three attributes of a plain instance, borrowed from where the instance keeps them: valid only
// until callers' code may run (ops.hpp).
struct Plain {
    PyObject* plugins;
    PyObject* supported_os;
    PyObject* chassis_type_list;
};

// A plain instance as last read from a dict of its own: still so while it holds that dict and the
// dict's stamp stands (dict_stamp; a new dict's stamp was never read, wherever it is made).
struct PlainReading {
    const PyObject* instance;  // identity only
    const PyObject* dict;  // identity only
    uint64_t stamp;
    Plain attributes;
};
constexpr int kPlainReadings = 4;

constexpr int kKwCount = static_cast<int>(Kw::count);

// How self's attributes were read (or not read as plain) and its methods reached, counted by the
// test build alone (module._path_counts, in this order: tests/test_fast_path.py).
enum class Path : int { inline_values, own_dict, kept_reading, not_plain, direct, lookup, count };
#ifdef MIRTAL_TEST_BUILD
#define MIRTAL_COUNT(st, path) ++(st)->path_counts[static_cast<int>(path)]
#else
#define MIRTAL_COUNT(st, path) static_cast<void>(0)
#endif

struct ModuleState {
    PyTypeObject* manager_type;
    PyTypeObject* function_type;  // what the class's methods are (function.cpp)
    PyObject* strings[kNameCount];
    PyObject* keyword_tuples[kKwCount];
    // This interpreter's builtins (for missing globals) and the C function of its own __import__.
    PyObject* builtins;
    PyCFunction original_import;
    // The class's watched entries as laid out (null: none), whether it still holds them, the watch.
    PyObject* class_entries[kWatchedClassNameCount];
    bool class_as_built;
    ClassWatch class_watch;
    // Readings of instance dicts kept, the layouts found (dispatch.cpp), the test build's counts.
    PlainReading plain_readings[kPlainReadings];
    unsigned int next_plain_reading;
    bool layouts_verified;
    Py_ssize_t path_counts[static_cast<int>(Path::count)];

    PyObject* str(Name name) const {
        return name == Name::none ? Py_None : strings[static_cast<int>(name)];
    }
    PyObject* kw(Kw call) const { return keyword_tuples[static_cast<int>(call)]; }
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

// The module's definition (module.cpp): types find their module state through it.
extern PyModuleDef pluginmanager_module;

// module.cpp
// A module global, read at the moment of use (falling back to the builtins of the module's own
// interpreter, like a name in the module's Python code); NameError when neither has it.
Ref module_global(const Ctx& c, Name name);
// Raises ConnectionInfraError(message), the class looked up now. Always returns -1.
int raise_connection_error(const Ctx& c, Ref message);
// The same with the message made by PyUnicode_FromFormat (%S runs the argument's str()).
template <typename... Args>
int raise_connection_error(const Ctx& c, const char* format, Args... args) {
    return raise_connection_error(c, Ref::steal(PyUnicode_FromFormat(format, args...)));
}
// `from <package> import <name>`: the attribute, or ImportError "cannot import name <name>".
Ref import_from(PyObject* package, PyObject* name);
// What an import statement runs: the builtins' __import__ (name, globals, locals, fromlist, level)
// when it has been replaced, the interpreter's own import otherwise.
Ref import_name(const ModuleState* st, PyObject* name, PyObject* globals, PyObject* locals,
                PyObject* fromlist, int level);

// dispatch.cpp
// 1, with `out` filled, when self is an exact PluginManager, its class holds the watched names as
// built and the instance holds exactly _plugins, supported_os and chassis_type_list: the methods
// called on self are our own functions. 0 otherwise, -1 on error (only making a dict can fail).
int plain_instance(const Ctx& c, Plain& out);
// 1 when self.<method> is the class's own C++ function (looked up as the interpreter would), 0 when
// something else is to be called through the attribute, -1 on error.
int can_call_directly(const Ctx& c, Name method);
// self.<name> for the attributes _plugins, supported_os and chassis_type_list.
Ref instance_attr(const Ctx& c, Name name);
// Starts watching the class for changes to the watched names (module set-up).
int watch_class(ModuleState* st);
// Whether inline_values reads the interpreter's layouts, found on probe objects (module set-up).
int check_layouts(PyObject* module, ModuleState* st);

// manager.cpp: creates the PluginManager class and binds it in the module.
int add_manager_type(PyObject* module);

}  // namespace mirtal
