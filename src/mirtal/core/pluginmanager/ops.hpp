// The operations of the manager, one group per source file. Each takes the call context and
// borrowed arguments, and returns -1 (int) or an empty Ref with a Python exception set on failure.
#pragma once

#include "state.hpp"

namespace mirtal {

// validation.cpp
int validate_model(const Ctx& c, PyObject* os, PyObject* series, PyObject* model);
int validate_series(const Ctx& c, PyObject* os, PyObject* series);
int validate_os(const Ctx& c, PyObject* os);
int validate_chassis_type(const Ctx& c, PyObject* chassis_type);
int validate_arguments(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
                       PyObject* chassis_type);
// The checks of validate_arguments on a plain instance (`self`, see plain_instance), done in C++
// alone for exact strs and None: true when they accept every argument. False when they would
// reject one or cannot tell without running Python code: the checks must then run the general
// way. Runs no Python code and raises nothing, so `self` still holds afterwards.
bool validate_plain(const Ctx& c, const Plain& self, PyObject* os, PyObject* series,
                    PyObject* model, PyObject* chassis_type);
// self.validate_arguments(os, series, model, chassis_type), an override included.
int run_validate_arguments(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
                           PyObject* chassis_type);

// registry.cpp
Ref get_plugin(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
               PyObject* chassis_type);
int unregister_plugin(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
                      PyObject* chassis_type);
int register_plugin(const Ctx& c, PyObject* cls, PyObject* os, PyObject* series, PyObject* model,
                    PyObject* chassis_type);

// printout.cpp
Ref print_tree(const Ctx& c, PyObject* data, PyObject* output);
Ref manager_text(const Ctx& c);

// discovery.cpp
int discover_builtin_plugins(const Ctx& c);
int discover_external_plugins(const Ctx& c);

}  // namespace mirtal
