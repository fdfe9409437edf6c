// The PluginManager type: layout, slots, __init__, the plugins property, the methods, and the class
// dict in definition order, as a class statement makes it.
#include <cstddef>
#include <utility>

#include "function.hpp"
#include "ops.hpp"

namespace mirtal {
namespace {

// tp_doc with the class's text signature (for inspect); __doc__ in the class dict is what follows.
constexpr const char* kClassDocWithSignature =
    "PluginManager()\n--\n\nLoads all plugin implementation,\nprovides API's for accessing plugins";
constexpr const char* kPluginsDoc = "Plugin list getter";

constexpr const char* kSupportedOs[] = {"brelk",  "tarn",   "vennu", "tarnel", "tarvik", "solvar",
                                        "quilos", "mekari", "oru",   "dex",    "plo",    "yarrf",
                                        "uzu",    "kolm",   "jepra", "dravo"};
constexpr const char* kChassisTypes[] = {"single_rp", "dual_rp", "stack"};

// The parameters of each method: `self` first, as in the class statement.
using N = Name;
constexpr Param kSelf{N::self_};
constexpr Signature kInit{"PluginManager.__init__", {kSelf}};
constexpr Signature kRepr{"PluginManager.__repr__", {kSelf}};
constexpr Signature kValidateModel{"PluginManager.validate_model",
                                   {kSelf, {N::os}, {N::series}, {N::model}}};
constexpr Signature kValidateSeries{"PluginManager.validate_series", {kSelf, {N::os}, {N::series}}};
constexpr Signature kValidateOs{"PluginManager.validate_os", {kSelf, {N::os}}};
constexpr Signature kValidateChassisType{"PluginManager.validate_chassis_type",
                                         {kSelf, {N::chassis_type}}};
constexpr Signature kValidateArguments{
    "PluginManager.validate_arguments",
    {kSelf, {N::os}, {N::series}, {N::model}, {N::chassis_type}}};
constexpr Param kKeyPath[] = {{N::os, N::none}, {N::series, N::none}, {N::model, N::none}};
constexpr Signature kGetPlugin{
    "PluginManager.get_plugin",
    {kSelf, kKeyPath[0], kKeyPath[1], kKeyPath[2], {N::chassis_type, N::single_rp}}};
constexpr Signature kUnregisterPlugin{
    "PluginManager.unregister_plugin",
    {kSelf, kKeyPath[0], kKeyPath[1], kKeyPath[2], {N::chassis_type, N::none}}};
constexpr Signature kRegisterPlugin{
    "PluginManager.register_plugin",
    {kSelf, {N::cls}, kKeyPath[0], kKeyPath[1], kKeyPath[2], {N::chassis_type, N::single_rp}}};
constexpr Signature kDiscoverBuiltin{"PluginManager.discover_builtin_plugins", {}};
constexpr Signature kDiscoverExternal{"PluginManager.discover_external_plugins", {}};
constexpr Signature kPrintTree{"PluginManager.print_tree",
                               {kSelf, {N::data}, {N::output, N::plugin}}};

template <size_t N>
Ref new_str_list(const char* const (&texts)[N]) {
    Ref list = Ref::steal(PyList_New(N));
    for (size_t i = 0; list && i < N; ++i) {
        PyObject* text = PyUnicode_InternFromString(texts[i]);
        if (!text) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list;
}

int init_instance(const Ctx& c) {
    Ref tree = Ref::steal(PyDict_New());
    if (!tree || PyObject_SetAttr(c.self, c.str(N::_plugins), tree.get()) < 0) return -1;
    Ref chassis = new_str_list(kChassisTypes);
    if (!chassis || PyObject_SetAttr(c.self, c.str(N::chassis_type_list), chassis.get()) < 0)
        return -1;
    Ref supported = new_str_list(kSupportedOs);
    return supported ? PyObject_SetAttr(c.self, c.str(N::supported_os), supported.get()) : -1;
}

Ctx context_of_instance(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &pluginmanager_module);
    return Ctx{module, module ? state_of(module) : nullptr, self};
}

int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Ctx c = context_of_instance(self);
    return !c.module || bind_self_only(c.st, kInit, args, kwargs) < 0 ? -1 : init_instance(c);
}

PyObject* repr_slot(PyObject* self) {
    const Ctx c = context_of_instance(self);
    return c.module ? manager_text(c).release() : nullptr;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return visit_instance(self, visit, arg);
}

int clear(PyObject* self) {
    clear_instance(self);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_weakref(PyObject* self, void*) {
    return Py_NewRef(first_weak_reference(self) ?: Py_None);
}

inline PyObject* to_python(int status) { return status < 0 ? nullptr : Py_NewRef(Py_None); }
inline PyObject* to_python(Ref result) { return result.release(); }

// A method: `self` is the first parameter, bound like the others (any object: the body's lookups
// decide whether it will do). Without parameters, a static method (wrapped in a staticmethod).
template <const Signature& sig, auto impl>
PyObject* method(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const auto* f = reinterpret_cast<FunctionObject*>(function);
    PyObject* bound[kMaxParams];
    if (bind<sig>(f->state, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) return nullptr;
    if constexpr (sig.count == 0) {
        return to_python(impl(Ctx{f->module, f->state, nullptr}));
    } else {
        auto with_self = [&]<size_t... I>(std::index_sequence<I...>) {
            return to_python(impl(Ctx{f->module, f->state, bound[0]}, bound[I + 1]...));
        };
        return with_self(std::make_index_sequence<sig.count - 1>());
    }
}

constexpr const char* kPrintTreeDoc =
    "This Method print the plugin list in tree structure\n"
    "Sample Tree Structure::\n"
    "\n"
    "    plugin\n"
    "      |__ brelk\n"
    "      |  |__ data\n"
    "      |    |__ dual_rp\n"
    "      |    |  |__ cls = <class 'brelk.DualRpConnection'>\n"
    "      |    |  |__ path = /lib/mirtal/plugins/brelk.py\n"
    "      |    |__ single_rp\n"
    "      |      |__ cls = <class 'brelk.SingleRpConnection'>\n"
    "      |      |__ path = /lib/mirtal/plugins/brelk.py\n"
    "      |__ vennu\n"
    "        |__ zq4\n"
    "          |__ data\n"
    "            |__ single_rp\n"
    "              |__ cls = <class 'vennu.Zq4Connection'>\n"
    "              |__ path = /lib/mirtal/plugins/vennu.py";

constexpr const char* kRegisterPluginDoc =
    "This method registers all the implementation plugin(i.e connection class)\n"
    "to the mirtal plugin manager\n"
    "It takes OS, SERIES, MODEL information and based on that\n"
    "registers it\n"
    "cls refer to the connection class\n"
    "chassis_type indicates if the connection class is for single_rp or\n"
    "dual_rp or stack(default single_rp)";

// The class body in definition order (the plugins property follows __init__).
const FunctionDef kClassBody[] = {
    {&kInit, "Initialize", method<kInit, init_instance>},
    {&kValidateModel, "Validates Model", method<kValidateModel, validate_model>},
    {&kValidateSeries, "Validates series", method<kValidateSeries, validate_series>},
    {&kValidateOs, "Validates OS", method<kValidateOs, validate_os>},
    {&kValidateChassisType, "Validate chassis",
     method<kValidateChassisType, validate_chassis_type>},
    {&kValidateArguments, "Validates the input arguments provided",
     method<kValidateArguments, validate_arguments>},
    {&kGetPlugin, "This method returns the connection class based on the\ninput details provided",
     method<kGetPlugin, get_plugin>},
    {&kUnregisterPlugin,
     "This method unregister a particular implementations from\nthe internal database",
     method<kUnregisterPlugin, unregister_plugin>},
    {&kRegisterPlugin, kRegisterPluginDoc, method<kRegisterPlugin, register_plugin>},
    {&kDiscoverBuiltin, "loads all plugins", method<kDiscoverBuiltin, discover_builtin_plugins>},
    {&kDiscoverExternal, "discover external plugins defined that users pip installed.",
     method<kDiscoverExternal, discover_external_plugins>},
    {&kPrintTree, kPrintTreeDoc, method<kPrintTree, print_tree>},
    {&kRepr, nullptr, method<kRepr, manager_text>},
};

// The plugins property: functions bound to the module, wrapped in a real `property`.
PyObject* plugins_get(PyObject* module, PyObject* instance) {
    return PyObject_GetAttr(instance, state_of(module)->str(N::_plugins));
}

PyObject* plugins_set(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    if (nargs != 2)
        PyErr_Format(PyExc_TypeError, "plugins() takes 2 positional arguments but %zd were given",
                     nargs);
    else
        PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

PyMethodDef kPluginsGetter = {"plugins", plugins_get, METH_O, kPluginsDoc};
PyMethodDef kPluginsSetter = {
    "plugins", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plugins_set)),
    METH_FASTCALL, kPluginsDoc};

Ref make_plugins_property(PyObject* module) {
    Ref getter = Ref::steal(PyCFunction_NewEx(&kPluginsGetter, module, nullptr));
    Ref setter = getter ? Ref::steal(PyCFunction_NewEx(&kPluginsSetter, module, nullptr)) : Ref();
    Ref doc = setter ? Ref::steal(PyUnicode_FromString(kPluginsDoc)) : Ref();
    if (!doc) return Ref();
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                   getter.get(), setter.get(), Py_None, doc.get(),
                                                   nullptr));
}

// clang-format off
PyMemberDef kMembers[] = {
    MIRTAL_LAYOUT_MEMBERS
    {nullptr, 0, 0, 0, nullptr},
};
// clang-format on

PyGetSetDef kGetSets[] = {
    {"__dict__", PyObject_GenericGetDict, set_instance_dict,
     "dictionary for instance variables (if defined)", nullptr},
    {"__weakref__", get_weakref, nullptr, "list of weak references to the object (if defined)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDocWithSignature)},
    {Py_tp_init, reinterpret_cast<void*>(init_slot)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "mirtal.core.pluginmanager.PluginManager",
    sizeof(ManagerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | kLayoutFlags,
    kSlots,
};

// The class dict in the order a class statement gives: __module__, __doc__, the class body as
// defined, then __dict__ and __weakref__. What else the type was made with is dropped.
int lay_out_class_dict(PyObject* module, PyTypeObject* type) {
    Ref dict = Ref::steal(class_dict(type));
    Ref made = dict ? Ref::steal(PyDict_Copy(dict.get())) : Ref();
    if (!made) return -1;
    PyDict_Clear(dict.get());
    auto keep = [&](const char* name) {
        Ref key = Ref::steal(PyUnicode_FromString(name));
        PyObject* value = key ? PyDict_GetItemWithError(made.get(), key.get()) : nullptr;
        if (!value && !PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "PluginManager lacks %s", name);
        return value ? PyDict_SetItem(dict.get(), key.get(), value) : -1;
    };
    if (keep("__module__") < 0 || keep("__doc__") < 0) return -1;
    for (const FunctionDef& def : kClassBody) {
        Ref entry = new_function(module, def);
        if (entry && def.sig->count == 0)
            entry = Ref::steal(PyObject_CallOneArg(
                reinterpret_cast<PyObject*>(&PyStaticMethod_Type), entry.get()));
        if (!entry || PyDict_SetItemString(dict.get(), def.sig->name(), entry.get()) < 0) return -1;
        if (&def != kClassBody) continue;
        Ref plugins = make_plugins_property(module);  // after __init__
        if (!plugins || PyDict_SetItemString(dict.get(), "plugins", plugins.get()) < 0) return -1;
    }
    if (keep("__dict__") < 0 || keep("__weakref__") < 0) return -1;
    PyType_Modified(type);
    return 0;
}

// The class laid out, watched and bound in the module.
int finish_manager_type(PyObject* module, ModuleState* st, PyObject* type) {
    // The dotted type name sets __module__; the class itself is named as in a class statement.
    Ref name = Ref::steal(PyUnicode_FromString("PluginManager"));
    if (!name || PyObject_SetAttrString(type, "__name__", name.get()) < 0 ||
        lay_out_class_dict(module, reinterpret_cast<PyTypeObject*>(type)) < 0)
        return -1;
    st->manager_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    if (watch_class(st) < 0) return -1;
    return PyModule_AddObjectRef(module, "PluginManager", type);
}

}  // namespace

int add_manager_type(PyObject* module) {
    if (add_function_type(module) < 0) return -1;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
    if (!type) return -1;
    const int status = finish_manager_type(module, state_of(module), type.get());
    if (status < 0) {
        const PendingError failure;  // freeing a type can clear it (3.11's does)
        type = Ref();
    }
    return status;
}

}  // namespace mirtal
