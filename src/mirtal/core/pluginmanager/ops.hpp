// The operations of the manager, one group per source file. Each takes the call context and
// borrowed arguments, and returns -1 (int) or an empty Ref with a Python exception set on failure.
//
// Where callers' code runs (an __eq__, __hash__, __str__, __bool__, __del__, a descriptor, an
// override, a service), which may change the tree, the instance, its class or the module globals:
// - comparing or hashing anything but an exact str: dict lookups, stores and deletions with such
//   a key (dict_get, lookup, item), equals, contains, sorting keys that are not all exact strs;
// - str() of anything but an exact str (str_of, %S and %R in messages); the truth test of
//   anything but None, a bool or an exact str (truth, renders_empty);
// - every attribute lookup and call (get_attr, call, call_method): self's methods when they are
//   not our own, the module globals' services, ConnectionInfraError, the methods of str and dict
//   subclasses (islower, isdigit, split, keys, +, +=, ordering); reading a container that is not
//   an exact dict;
// - dropping the last reference to a caller's object (a Ref released or reassigned), and making
//   a container (a garbage collection runs finalizers).
// Only these stretches rely on none of that happening in them, and use borrowed values:
// - plain_instance and its kept readings (dispatch.cpp): the three attributes, borrowed from where
//   the instance keeps them, are used (validate_plain) or referenced (validated_tree,
//   instance_attr) at once; class_matches reads the class dict, whose keys are exact strs;
// - validate_plain: exact strs and None, exact lists of exact strs;
// - the printout's writer: exact dicts of exact-str keys are read, sorted, compared and joined.
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
// alone: true when they accept every argument; false when they would reject one or cannot tell
// without running code, and must then run the general way. Raises nothing.
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
