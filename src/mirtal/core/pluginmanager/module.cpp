// The module mirtal.core.pluginmanager: multi-phase initialisation, module state, the globals it
// binds in order, and the demonstration block run when it is executed as the main program.
#include <cstring>
#include <initializer_list>

#include "state.hpp"

namespace mirtal {
namespace {

constexpr const char* kModuleDoc =
    "Module:\n"
    "mirtal.core.pluginmanager\n"
    "Description:\n"
    "This module provides\n"
    "1. Methods for identifying and loading plugin implementations\n"
    "2. Methods for validating and accessing platform implementation";

constexpr const char* kStringTexts[] = {
#define MIRTAL_TEXT(id, text) text,
    MIRTAL_STRINGS(MIRTAL_TEXT)
#undef MIRTAL_TEXT
};

// The builtins of this interpreter (taken from sys.modules: looking them up is not an import) and
// the C function behind their original __import__, which tells it apart from a replacement.
int find_builtins(ModuleState* st) {
    Ref module = Ref::steal(PyImport_GetModule(st->str(Name::builtins)));
    if (!module && PyErr_Occurred()) return -1;
    const bool is_module = module && PyModule_Check(module.get());
    PyObject* dict = is_module ? PyModule_GetDict(module.get()) : PyEval_GetBuiltins();
    if (!dict) return PyErr_SetString(PyExc_ImportError, "no builtins"), -1;
    st->builtins = Py_NewRef(dict);
    PyModuleDef* def = is_module ? PyModule_GetDef(module.get()) : nullptr;
    if (!def) PyErr_Clear();
    for (PyMethodDef* m = def ? def->m_methods : nullptr; m && m->ml_name; ++m)
        if (strcmp(m->ml_name, "__import__") == 0) st->original_import = m->ml_meth;
    return 0;
}

int init_state(ModuleState* st) {
    for (int i = 0; i < kNameCount; ++i) {
        st->strings[i] = PyUnicode_InternFromString(kStringTexts[i]);
        if (!st->strings[i]) return -1;
    }
    using N = Name;
    const std::initializer_list<Name> keywords[kKwCount] = {
        // in the order of Kw
        {N::os, N::series, N::model}, {N::series, N::os}, {N::os},  {N::chassis_type},
        {N::data, N::output},         {N::group},         {N::key}, {N::os, N::series, N::cls}};
    for (int i = 0; i < kKwCount; ++i) {
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(keywords[i].size()));
        if (!(st->keyword_tuples[i] = tuple)) return -1;
        Py_ssize_t k = 0;
        for (Name name : keywords[i]) PyTuple_SET_ITEM(tuple, k++, Py_NewRef(st->str(name)));
    }
    return find_builtins(st);
}

// `import <name>` at module level (globals and locals are the module's dict).
Ref import_module(const ModuleState* st, PyObject* globals, const char* name) {
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    return module_name ? import_name(st, module_name.get(), globals, globals, Py_None, 0) : Ref();
}

// `import <name>` bound under its own name.
int bind_module(const ModuleState* st, PyObject* globals, const char* name) {
    Ref module = import_module(st, globals, name);
    return module ? PyDict_SetItemString(globals, name, module.get()) : -1;
}

// `from <package> import <name>` (relative when level > 0), bound under the same name.
int bind_from(const ModuleState* st, PyObject* globals, const char* package, int level,
              PyObject* name) {
    Ref package_name = Ref::steal(PyUnicode_FromString(package));
    Ref fromlist = package_name ? Ref::steal(PyTuple_Pack(1, name)) : Ref();
    Ref module = fromlist
                     ? import_name(st, package_name.get(), globals, globals, fromlist.get(), level)
                     : Ref();
    Ref value = module ? import_from(module.get(), name) : Ref();
    return value ? PyDict_SetItem(globals, name, value.get()) : -1;
}

// warnings._filters_mutated(): the warnings module caches what its filters decided.
int filters_changed(PyObject* warnings) {
    return Ref::steal(PyObject_CallMethod(warnings, "_filters_mutated", nullptr)) ? 0 : -1;
}

// Takes `entry` out of the warning filters again, found by identity wherever it now sits (nothing
// to do when something else took it out).
int remove_filter(PyObject* warnings, PyObject* filters, PyObject* entry) {
    const Py_ssize_t size = PySequence_Size(filters);
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(filters, i));
        if (!item) return -1;
        if (item.get() == entry)
            return PySequence_DelItem(filters, i) < 0 ? -1 : filters_changed(warnings);
    }
    return size < 0 ? -1 : 0;
}

// `from pkg_resources import iter_entry_points`, with the package's deprecation warning (given on
// its first import by the setuptools releases that deprecate it) hidden by one warning filter of
// ours: put in front of the filters in force for the import, and that very entry taken out after
// it, so that every filter the package installs stays and every other warning reaches the caller.
int bind_entry_point_reader(PyObject* globals, ModuleState* st) {
    Ref warnings = import_module(st, globals, "warnings");
    Ref re = warnings ? import_module(st, globals, "re") : Ref();
    Ref filters = re ? Ref::steal(warning_filters(warnings.get())) : Ref();
    Ref pattern = filters ? Ref::steal(PyObject_CallMethod(re.get(), "compile", "s",
                                                           "pkg_resources is deprecated as an API"))
                          : Ref();
    Ref entry = pattern ? Ref::steal(Py_BuildValue("(sOOOi)", "ignore", pattern.get(),
                                                   PyExc_Warning, Py_None, 0))
                        : Ref();
    if (!entry || !Ref::steal(PyObject_CallMethod(filters.get(), "insert", "iO", 0, entry.get())))
        return -1;
    int status = filters_changed(warnings.get());
    if (status == 0)
        status = bind_from(st, globals, "pkg_resources", 0, st->str(Name::iter_entry_points));
    if (status == 0) return remove_filter(warnings.get(), filters.get(), entry.get());
    const PendingError failure;  // the first error is the one reported
    remove_filter(warnings.get(), filters.get(), entry.get());
    return -1;
}

// Run as the main program: register a sample class with the library's shared manager.
int run_demonstration(PyObject* module, ModuleState* st) {
    const Ctx c{module, st, nullptr};
    PyObject* globals = PyModule_GetDict(module);
    if (bind_from(st, globals, "mirtal", 0, st->str(Name::dunder_plugin_manager)) < 0) return -1;
    Ref module_name = module_global(c, Name::dunder_name);
    if (!module_name) return -1;
    Ref sample = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                  "s(O){sssOss}", "Sample", &PyBaseObject_Type,
                                                  "__doc__", "Sample implementation", "__module__",
                                                  module_name.get(), "__qualname__", "Sample"));
    if (!sample || PyDict_SetItemString(globals, "Sample", sample.get()) < 0) return -1;
    Ref manager = module_global(c, Name::dunder_plugin_manager);
    if (!manager) return -1;
    Ref method = get_attr(manager.get(), st->str(Name::register_plugin));
    return method && call(method.get(), st->kw(Kw::register_demo), st->str(Name::vennu),
                          st->str(Name::zq4), sample.get())
               ? 0
               : -1;
}

int exec_steps(PyObject* module) {
    ModuleState* st = state_of(module);
    PyObject* globals = PyModule_GetDict(module);
    if (init_state(st) < 0) return -1;
    if (bind_module(st, globals, "os") < 0 || bind_module(st, globals, "pkgutil") < 0 ||
        bind_module(st, globals, "importlib") < 0 ||
        bind_from(st, globals, "mirtal", 0, st->str(Name::log)) < 0 ||
        bind_from(st, globals, "inspect", 0, st->str(Name::getfile)) < 0 ||
        bind_from(st, globals, "errors", 1, st->str(Name::ConnectionInfraError)) < 0 ||
        bind_entry_point_reader(globals, st) < 0 ||
        PyDict_SetItem(globals, st->str(Name::ENTRYPOINT_GROUP), st->str(Name::plugin_group)) < 0 ||
        add_manager_type(module) < 0 || check_layouts(module, st) < 0)
        return -1;
#ifdef MIRTAL_TEST_BUILD  // the counts of state.hpp's Path, read in place
    Ref counts = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(st->path_counts),
                                                    sizeof st->path_counts, PyBUF_READ));
    if (!counts || PyModule_AddObjectRef(module, "_path_counts", counts.get()) < 0) return -1;
#endif
    Ref name = Ref::borrow(PyDict_GetItemWithError(globals, st->str(Name::dunder_name)));
    if (!name) return PyErr_Occurred() ? -1 : 0;
    const int is_main = equals(name.get(), st->str(Name::dunder_main));
    return is_main <= 0 ? is_main : run_demonstration(module, st);
}

int module_exec(PyObject* module) {
    if (exec_steps(module) == 0) return 0;
    // Every step reports its error; 3.11 loses one, a failed allocation's, when it frees a
    // half-made type (its type deallocation clears the pending exception).
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (!st) return 0;
    Py_VISIT(st->manager_type);
    Py_VISIT(st->function_type);
    Py_VISIT(st->builtins);
    for (PyObject* entry : st->class_entries) Py_VISIT(entry);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!st) return 0;
    // The module may go while an exception is on its way (a failed import): freeing the class can
    // clear it (3.11's type deallocation does), so it is kept.
    const PendingError pending;
    st->class_watch.stop();
    Py_CLEAR(st->manager_type);
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->builtins);
    for (PyObject*& entry : st->class_entries) Py_CLEAR(entry);
    for (PyObject*& text : st->strings) Py_CLEAR(text);
    for (PyObject*& tuple : st->keyword_tuples) Py_CLEAR(tuple);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// clang-format off
PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    MIRTAL_MODULE_INTERPRETER_SLOTS
    {0, nullptr},
};
// clang-format on

}  // namespace

Ref module_global(const Ctx& c, Name name) {
    PyObject* key = c.str(name);
    PyObject* value;
    int found = dict_get(PyModule_GetDict(c.module), key, &value);
    if (found == 0) found = dict_get(c.st->builtins, key, &value);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return Ref::steal(value);
}

int raise_connection_error(const Ctx& c, Ref message) {
    if (!message) return -1;
    Ref error_type = module_global(c, Name::ConnectionInfraError);
    Ref error = error_type ? call(error_type.get(), nullptr, message.get()) : Ref();
    if (!error) return -1;
    // What `raise ConnectionInfraError(message)` does with whatever the call returned.
    if (PyExceptionInstance_Check(error.get()))
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    else if (PyExceptionClass_Check(error.get()))
        PyErr_SetNone(error.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return -1;
}

Ref import_from(PyObject* package, PyObject* name) {
    Ref value = get_attr(package, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

Ref import_name(const ModuleState* st, PyObject* name, PyObject* globals, PyObject* locals,
                PyObject* fromlist, int level) {
    PyObject* found;
    const int has_import = dict_get(st->builtins, st->str(Name::dunder_import), &found);
    if (has_import == 0) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    if (has_import <= 0) return Ref();
    Ref hook = Ref::steal(found);
    const bool original = st->original_import && PyCFunction_Check(hook.get()) &&
                          PyCFunction_GetFunction(hook.get()) == st->original_import;
    if (original)
        return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals, fromlist, level));
    Ref level_number = Ref::steal(PyLong_FromLong(level));
    return level_number
               ? call(hook.get(), nullptr, name, globals, locals, fromlist, level_number.get())
               : Ref();
}

PyModuleDef pluginmanager_module = {
    PyModuleDef_HEAD_INIT,
    "mirtal.core.pluginmanager",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    kModuleSlots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace mirtal

PyMODINIT_FUNC PyInit_pluginmanager() { return PyModuleDef_Init(&mirtal::pluginmanager_module); }
