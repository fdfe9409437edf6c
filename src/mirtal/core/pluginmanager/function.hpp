// The function objects of the manager's methods (function.cpp), and the binding of their arguments
// with the TypeErrors of a function defined in Python (args.cpp).
#pragma once

#include "state.hpp"

#include <cstring>
#include <initializer_list>

namespace mirtal {

constexpr int kMaxParams = 6;

// A parameter, and its default (Name::count for none).
struct Param {
    Name name;
    Name fallback = Name::count;
};

// A method's parameters, declared once: the binder, the messages, __defaults__ and the text
// signature are all derived from it.
struct Signature {
    const char* qualname;  // as in the messages: "PluginManager.get_plugin"
    int count = 0;  // parameters, `self` first for a method
    int required = 0;  // the leading `required` parameters have no default
    Param params[kMaxParams] = {};

    constexpr Signature(const char* qualname, std::initializer_list<Param> list)
        : qualname(qualname) {
        for (const Param& p : list) {
            required += p.fallback == Name::count;
            params[count++] = p;
        }
    }
    const char* name() const { return strchr(qualname, '.') + 1; }
};

// Fills out[0..sig.count) with borrowed references (the caller's arguments or the defaults).
// -1 with TypeError set when the arguments do not fit the signature.
int bind_arguments(const ModuleState* st, const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// bind_arguments inlined per signature for everyday calls: positionals, then keywords that are
// parameter names by identity (call sites intern them), nothing twice, nothing required left out.
// Anything else goes to bind_arguments for its checks and messages.
template <const Signature& sig>
inline int bind(const ModuleState* st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    if (!kwnames && nargs == sig.count) {  // every argument by position
        for (int i = 0; i < sig.count; ++i) out[i] = args[i];
        return 0;
    }
    if (nargs <= sig.count) {
        for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        bool simple = true;
        for (Py_ssize_t k = 0; k < nkw && simple; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            int i = 0;
            while (i < sig.count && st->str(sig.params[i].name) != keyword) ++i;
            simple = i < sig.count && !out[i];
            if (simple) out[i] = args[nargs + k];
        }
        for (int i = 0; i < sig.count && simple; ++i) {
            if (out[i]) continue;
            simple = i >= sig.required;
            if (simple) out[i] = st->str(sig.params[i].fallback);
        }
        if (simple) return 0;
    }
    return bind_arguments(st, sig, args, nargs, kwnames, out);
}

// The same for a call through a slot (an argument tuple and a keyword dict) of a method whose only
// parameter is `self`, already known: __init__ called by the class.
int bind_self_only(const ModuleState* st, const Signature& sig, PyObject* args, PyObject* kwargs);

struct FunctionDef {
    const Signature* sig;  // names and parameters: `self` first for a method, none for a static one
    const char* doc;  // null: no docstring
    vectorcallfunc call;  // receives the FunctionObject and the arguments as given
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* module;  // strong: where the call finds its state and globals
    ModuleState* state;  // the module's state, which lives as long as the module
    PyObject* defaults;  // the __defaults__ tuple, null for none
};

// Creates the function type of the module (module state).
int add_function_type(PyObject* module);
// A function of the module made from `def` (which must outlive it: a static table).
Ref new_function(PyObject* module, const FunctionDef& def);

}  // namespace mirtal
