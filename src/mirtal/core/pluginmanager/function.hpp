// The function objects that carry the manager's methods (function.cpp).
#pragma once

#include "args.hpp"

namespace mirtal {

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
