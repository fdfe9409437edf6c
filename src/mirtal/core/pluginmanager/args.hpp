// Binding of FASTCALL arguments to a method's parameters, with the TypeErrors the interpreter gives
// for a function defined in Python.
#pragma once

#include "state.hpp"

namespace mirtal {

constexpr int kMaxParams = 5;

struct Signature {
    const char* qualname;  // as in the messages: "PluginManager.get_plugin"
    bool takes_self;  // counted in "takes N positional arguments"
    int count;  // parameters after self
    Name params[kMaxParams];
    int required;  // the leading `required` parameters have no default
    Name defaults[kMaxParams];  // defaults of params[required..count), in order
};

// Fills out[0..sig.count) with borrowed references (the caller's arguments or the defaults).
// -1 with TypeError set when the arguments do not fit the signature.
int bind_arguments(const ModuleState* st, const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for a method without parameters called through a slot (tuple and dict), __init__.
int bind_no_arguments(const ModuleState* st, const Signature& sig, PyObject* args,
                      PyObject* kwargs);

}  // namespace mirtal
