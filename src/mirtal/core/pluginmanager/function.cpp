// The manager's methods as functions of their own (vectorcall): what a class statement's `def`
// gives, every parameter bound by position or keyword (docs/design.md, "The class on every
// version").
#include "function.hpp"

#include <cstddef>

namespace mirtal {
namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->def->sig->name());
}

PyObject* get_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->def->sig->qualname);
}

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = as_function(self)->def->doc;
    return doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
}

// What inspect shows, e.g. "(self, os=None, chassis_type='single_rp')".
PyObject* get_text_signature(PyObject* self, void*) {
    const FunctionObject* f = as_function(self);
    const Signature& sig = *f->def->sig;
    Ref text = Ref::steal(PyUnicode_FromString("("));
    for (int i = 0; text && i < sig.count; ++i) {
        PyObject* name = f->state->str(sig.params[i].name);
        const char* separator = i ? ", " : "";
        text = Ref::steal(i < sig.required
                              ? PyUnicode_FromFormat("%U%s%U", text.get(), separator, name)
                              : PyUnicode_FromFormat("%U%s%U=%R", text.get(), separator, name,
                                                     f->state->str(sig.params[i].fallback)));
    }
    return text ? PyUnicode_FromFormat("%U)", text.get()) : nullptr;
}

PyObject* get_defaults(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->defaults ?: Py_None);
}

PyObject* get_kwdefaults(PyObject*, void*) { return Py_NewRef(Py_None); }

// A function pickles (and copies) by reference: its qualified name in its module.
PyObject* reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    return !instance || instance == Py_None ? Py_NewRef(self) : PyMethod_New(self, instance);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->def->sig->qualname, self);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->module);
    Py_VISIT(as_function(self)->defaults);
    return 0;
}

// No tp_clear, as for the interpreter's C functions (callable until it goes): the cycles it is
// part of (module, class, class dict) are broken by the class and module.
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_function(self)->module);
    Py_CLEAR(as_function(self)->defaults);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyGetSetDef kGetSets[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", kMemberPySsize, offsetof(FunctionObject, vectorcall), kMemberReadOnly,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, kGetSets},
    {Py_tp_methods, kMethods},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

// Immutable: the interpreter specialises loads of these methods as for its own method descriptors.
PyType_Spec kSpec = {
    "mirtal.core.pluginmanager.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

// The default values of the trailing parameters as a tuple, null when there are none.
Ref defaults_of(const ModuleState* st, const Signature& sig) {
    const int count = sig.count - sig.required;
    Ref tuple = count ? Ref::steal(PyTuple_New(count)) : Ref();
    for (int i = 0; tuple && i < count; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(st->str(sig.params[sig.required + i].fallback)));
    return tuple;
}

}  // namespace

int add_function_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
    state_of(module)->function_type = reinterpret_cast<PyTypeObject*>(type);
    return type ? 0 : -1;
}

Ref new_function(PyObject* module, const FunctionDef& def) {
    ModuleState* st = state_of(module);
    Ref defaults = defaults_of(st, *def.sig);
    if (!defaults && PyErr_Occurred()) return Ref();
    FunctionObject* f = PyObject_GC_New(FunctionObject, st->function_type);
    if (!f) return Ref();
    f->vectorcall = def.call;
    f->def = &def;
    f->module = Py_NewRef(module);
    f->state = st;
    f->defaults = defaults.release();
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace mirtal
