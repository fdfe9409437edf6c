// The plugin tree's operations by key path (os[, series[, model]]) and chassis type. Every node is
// held while we walk: a key's __hash__/__eq__, getfile or an override may rebuild the tree under
// us, and we keep working on (and only on) objects we own.
#include "ops.hpp"

namespace mirtal {
namespace {

// The address of a node: os, then series, then model, decided by identity with None.
struct KeyPath {
    PyObject* keys[3];  // os, series, model
    int size = keys[2] != Py_None ? 3 : keys[1] != Py_None ? 2 : 1;
};

// "Plugin data not found for (vennu/zq4), type: single_rp ": the keys of the whole path joined by
// "/", each shown by its str() text, then the chassis type's. One join: a miss is a hot path too.
Ref not_found_message(const Ctx& c, const KeyPath& path, PyObject* chassis_type) {
    Ref parts = Ref::steal(PyTuple_New(2 * path.size + 3));
    if (!parts) return Ref();
    Py_ssize_t filled = 0;
    auto put = [&](PyObject* text) {  // takes over `text`
        if (text) PyTuple_SET_ITEM(parts.get(), filled++, text);
        return text != nullptr;
    };
    if (!put(Py_NewRef(c.str(Name::not_found_for)))) return Ref();
    for (int i = 0; i < path.size; ++i)
        if ((i > 0 && !put(Py_NewRef(c.str(Name::slash)))) || !put(PyObject_Str(path.keys[i])))
            return Ref();
    if (!put(Py_NewRef(c.str(Name::type_separator))) || !put(PyObject_Str(chassis_type)) ||
        !put(Py_NewRef(c.str(Name::space))))
        return Ref();
    return Ref::steal(PyUnicode_Join(c.str(Name::empty), parts.get()));
}

// Walks from `node` along the key path as far as nodes exist, leaving `node` at the deepest one.
// Returns how many keys were walked, or -1.
[[gnu::always_inline]] inline int walk_existing(Ref& node, const KeyPath& path) {
    int depth = 0;
    for (; depth < path.size; ++depth) {
        Ref child;
        const int found = lookup(node.get(), path.keys[depth], child);
        if (found < 0) return -1;
        if (!found) break;
        node = std::move(child);
    }
    return depth;
}

// self.validate_arguments(os, series, model, chassis_type), in C++ alone on a plain instance
// whose arguments it accepts; then self._plugins.
[[gnu::always_inline]] inline Ref validated_tree(const Ctx& c, PyObject* os, PyObject* series,
                                                 PyObject* model, PyObject* chassis_type) {
    Plain self;
    const int plain = plain_instance(c, self);
    if (plain < 0) return Ref();
    if (plain && validate_plain(c, self, os, series, model, chassis_type))
        return Ref::borrow(self.plugins);
    if (run_validate_arguments(c, os, series, model, chassis_type) < 0) return Ref();
    return instance_attr(c, Name::_plugins);
}

}  // namespace

Ref get_plugin(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
               PyObject* chassis_type) {
    Ref node = validated_tree(c, os, series, model, chassis_type);
    if (!node) return Ref();
    const KeyPath path{{os, series, model}};
    const int depth = walk_existing(node, path);
    if (depth < 0) return Ref();
    // The deepest existing node decides alone; the root is never read as a chassis map.
    if (depth > 0) {
        Ref chassis_map, record;
        int found = lookup(node.get(), c.str(Name::data), chassis_map);
        if (found > 0) found = lookup(chassis_map.get(), chassis_type, record);
        if (found < 0) return Ref();
        if (found) return item(record.get(), c.str(Name::cls));
    }
    raise_connection_error(c, not_found_message(c, path, chassis_type));
    return Ref();
}

int unregister_plugin(const Ctx& c, PyObject* os, PyObject* series, PyObject* model,
                      PyObject* chassis_type) {
    // A removal never validates its chassis type: None means every chassis type of the node.
    Ref node = validated_tree(c, os, series, model, c.str(Name::single_rp));
    if (!node) return -1;
    const KeyPath path{{os, series, model}};
    Ref chassis_map;
    const int depth = walk_existing(node, path);
    const int has_data =
        depth == path.size ? lookup(node.get(), c.str(Name::data), chassis_map) : 0;
    if (depth < 0 || has_data < 0) return -1;
    if (!has_data) return raise_connection_error(c, Ref::borrow(c.str(Name::not_found)));
    if (chassis_type == Py_None) return PyObject_DelItem(node.get(), c.str(Name::data));
    Ref record;
    const int found = lookup(chassis_map.get(), chassis_type, record);
    if (found < 0) return -1;
    if (!found) return raise_connection_error(c, "Plugin data not found for %S", chassis_type);
    return PyObject_DelItem(chassis_map.get(), chassis_type);
}

int register_plugin(const Ctx& c, PyObject* cls, PyObject* os, PyObject* series, PyObject* model,
                    PyObject* chassis_type) {
    // The root is read, and held, before getfile runs: a getfile that rebinds self._plugins does
    // not redirect this registration.
    Ref node = validated_tree(c, os, series, model, chassis_type);
    if (!node) return -1;
    // The file before any node: a class that getfile rejects must leave no trace in the tree.
    Ref getfile = module_global(c, Name::getfile);
    Ref class_path = getfile ? call(getfile.get(), nullptr, cls) : Ref();
    if (!class_path) return -1;
    Ref record = Ref::steal(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), c.str(Name::cls), cls) < 0 ||
        PyDict_SetItem(record.get(), c.str(Name::path), class_path.get()) < 0)
        return -1;

    // Walk the existing part of the key path without creating anything.
    const KeyPath path{{os, series, model}};
    const int depth = walk_existing(node, path);
    if (depth < 0) return -1;
    if (depth == path.size) {
        Ref chassis_map;
        const int found = lookup(node.get(), c.str(Name::data), chassis_map);
        if (found < 0) return -1;
        if (found) return PyObject_SetItem(chassis_map.get(), chassis_type, record.get());
    }
    // The missing nodes are built as a detached branch, bottom up, and attached in one step: a key
    // or chassis type that cannot be stored leaves no empty nodes. Their keys first meet an empty
    // dict in path order: the upper of two unhashable keys is reported, in this Python's words.
    Ref branch = Ref::steal(PyDict_New());
    for (int level = depth + 1; branch && level < path.size; ++level)
        if (PyDict_Contains(branch.get(), path.keys[level]) < 0) return -1;
    if (!branch || PyDict_SetItem(branch.get(), chassis_type, record.get()) < 0) return -1;
    PyObject* key = c.str(Name::data);
    for (int level = path.size; level > depth; --level) {
        Ref parent = Ref::steal(PyDict_New());
        if (!parent || PyDict_SetItem(parent.get(), key, branch.get()) < 0) return -1;
        branch = std::move(parent);
        key = path.keys[level - 1];
    }
    return PyObject_SetItem(node.get(), key, branch.get());
}

}  // namespace mirtal
