// Discovery of plugin modules (importing one registers its classes): the library's own, below the
// top-level package with ".plugins." in their names, and installed distributions' entry points.
#include "ops.hpp"

namespace mirtal {
namespace {

// `from .. import <first>, <second>`, relative to this module's package.
int import_from_top_package(const Ctx& c, Name first, Name second, Ref& first_value,
                            Ref& second_value) {
    Ref fromlist = Ref::steal(PyTuple_Pack(2, c.str(first), c.str(second)));
    // As in a function body: no locals are passed.
    Ref package = fromlist ? import_name(c.st, c.str(Name::empty), PyModule_GetDict(c.module),
                                         Py_None, fromlist.get(), 2)
                           : Ref();
    first_value = package ? import_from(package.get(), c.str(first)) : Ref();
    second_value = first_value ? import_from(package.get(), c.str(second)) : Ref();
    return second_value ? 0 : -1;
}

// `finder, name, ispkg = entry`: the name, with the interpreter's errors for another shape.
Ref module_name_of(PyObject* entry) {
    Ref items = Ref::steal(PySequence_Tuple(entry));
    if (!items) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n > 3) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (n < 3)
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", n);
    return n == 3 ? Ref::borrow(PyTuple_GET_ITEM(items.get(), 1)) : Ref();
}

}  // namespace

int discover_builtin_plugins(const Ctx& c) {
    Ref search_path, package_name;
    if (import_from_top_package(c, Name::dunder_path, Name::dunder_name, search_path,
                                package_name) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        // A package without __path__: walk the directory that holds its __init__ file.
        Ref init_file;
        if (import_from_top_package(c, Name::dunder_file, Name::dunder_name, init_file,
                                    package_name) < 0)
            return -1;
        Ref os = module_global(c, Name::os);
        Ref os_path = os ? get_attr(os.get(), c.str(Name::path)) : Ref();
        Ref directory =
            os_path ? call_method(os_path.get(), c.str(Name::dirname), init_file.get()) : Ref();
        search_path = directory ? Ref::steal(PyList_New(1)) : Ref();
        if (!search_path) return -1;
        PyList_SET_ITEM(search_path.get(), 0, directory.release());
    }
    Ref prefix = Ref::steal(PyNumber_Add(package_name.get(), c.str(Name::dot)));
    Ref pkgutil = prefix ? module_global(c, Name::pkgutil) : Ref();
    Ref walk = pkgutil ? get_attr(pkgutil.get(), c.str(Name::walk_packages)) : Ref();
    Ref entries = walk ? call(walk.get(), nullptr, search_path.get(), prefix.get()) : Ref();
    Ref iter = entries ? Ref::steal(PyObject_GetIter(entries.get())) : Ref();
    if (!iter) return -1;
    while (Ref entry = Ref::steal(PyIter_Next(iter.get()))) {
        Ref name = module_name_of(entry.get());
        if (!name) return -1;
        const int wanted = PySequence_Contains(name.get(), c.str(Name::dot_plugins_dot));
        if (wanted < 0) return -1;
        if (!wanted) continue;
        Ref importlib = module_global(c, Name::importlib);
        Ref imported = importlib
                           ? call_method(importlib.get(), c.str(Name::import_module), name.get())
                           : Ref();
        if (!imported) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int discover_external_plugins(const Ctx& c) {
    Ref iter_entry_points = module_global(c, Name::iter_entry_points);
    Ref group = iter_entry_points ? module_global(c, Name::ENTRYPOINT_GROUP) : Ref();
    Ref entry_points =
        group ? call(iter_entry_points.get(), c.st->kw(Kw::group), group.get()) : Ref();
    Ref iter = entry_points ? Ref::steal(PyObject_GetIter(entry_points.get())) : Ref();
    if (!iter) return -1;
    while (Ref plugin = Ref::steal(PyIter_Next(iter.get()))) {
        Ref log = module_global(c, Name::log);
        Ref debug = log ? get_attr(log.get(), c.str(Name::debug)) : Ref();
        Ref name = debug ? get_attr(plugin.get(), c.str(Name::name)) : Ref();
        Ref name_text = name ? str_of(name.get()) : Ref();
        Ref module = name_text ? get_attr(plugin.get(), c.str(Name::module_name)) : Ref();
        Ref module_text = module ? str_of(module.get()) : Ref();
        Ref message = module_text
                          ? Ref::steal(PyUnicode_FromFormat("Loading external plugin %U from %U",
                                                            name_text.get(), module_text.get()))
                          : Ref();
        if (!message || !call(debug.get(), nullptr, message.get())) return -1;
        if (!call_method(plugin.get(), c.str(Name::load))) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace mirtal
