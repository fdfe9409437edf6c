// The text rendering of a tree of dicts, and the manager's text form.
//
// The rendering is defined recursively: each level renders its children (through self.print_tree),
// splits each child's text into lines and prefixes them. We write the same text in one pass: every
// line feed that a level's text contains is followed, in the final text, by the separators of all
// the levels above it ("  |" where a later sibling follows, "  " for a last child), so the writer
// keeps that prefix and adds it after each line feed it writes. A child whose print_tree is
// overridden is rendered by calling the override and writing its text through the same writer.
#include "ops.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace mirtal {
namespace {

// A level is not entered with less C stack than this left: a deep tree (a dict holding itself, or
// a chain rendered level by level through an overriding print_tree) ends in RecursionError on any
// thread, whatever its stack size and the interpreter's recursion limits.
constexpr size_t kStackMargin = 128 * 1024;

class TreeWriter {
public:
    bool ok() const { return writer_.ok(); }

    int ascii(const char* text) {
        return writer_.ascii(text, static_cast<Py_ssize_t>(strlen(text)));
    }

    // A line feed and the prefix of the current nesting.
    int line_break() {
        if (writer_.character('\n') < 0) return -1;
        return writer_.ascii(prefix_.data(), static_cast<Py_ssize_t>(prefix_.size()));
    }

    // A str, each of its line feeds followed by the prefix.
    int text(PyObject* text) {
        if (text_ready(text) < 0) return -1;
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        Py_ssize_t start = 0;
        while (start < size) {
            const Py_ssize_t feed = find_line_feed(text, start, size);
            if (feed == -2) return -1;
            const Py_ssize_t end = feed < 0 ? size : feed;
            if (end > start && writer_.substring(text, start, end) < 0) return -1;
            if (feed < 0) break;
            if (line_break() < 0) return -1;
            start = feed + 1;
        }
        return 0;
    }

    // Enters a child: its later lines get "  " when it is the last key of its level, else "  |".
    void push(bool last) {
        prefix_.push_back(' ');
        prefix_.push_back(' ');
        if (!last) prefix_.push_back('|');
    }
    void pop(bool last) {
        for (int i = last ? 2 : 3; i > 0; --i) prefix_.pop_back();
    }

    Ref finish() { return Ref::steal(writer_.finish()); }

    // Whether self's print_tree was found to be our own and nothing that could run Python code
    // (and so change that) has happened since: then the next child needs no new look.
    bool own_renderer(const Ctx& c) const {
        return own_renderer_ && !c.st->class_watch.maybe_modified(c.st->manager_type);
    }
    void set_own_renderer(bool own) { own_renderer_ = own; }

private:
    // The next line feed in text[start:size], -1 for none, -2 on error. One-byte texts (keys,
    // class names, paths) are searched here directly.
    static Py_ssize_t find_line_feed(PyObject* text, Py_ssize_t start, Py_ssize_t size) {
        if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND)
            return PyUnicode_FindChar(text, '\n', start, size, 1);
        const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text);
        const void* feed = memchr(chars + start, '\n', static_cast<size_t>(size - start));
        return feed ? static_cast<const Py_UCS1*>(feed) - chars : -1;
    }

    TextWriter writer_;
    std::string prefix_;
    bool own_renderer_ = false;
};

// Values whose rendering runs no Python code: exact dicts and strs, and None. (Not even a plain
// class: its str() looks __module__ up in its dict, where a key of another type may compare.)
bool renders_in_c(PyObject* data) {
    return PyDict_CheckExact(data) || PyUnicode_CheckExact(data) || data == Py_None;
}

int render(const Ctx& c, TreeWriter& out, PyObject* data, const char* marker, PyObject* label);

// False values, and values equal to an empty dict, render as nothing at all.
int renders_empty(PyObject* data) {
    // What the test gives for the values of a plain tree, without calls: an exact str or a class
    // whose metaclass is type is never equal to a dict.
    if (PyDict_CheckExact(data)) return PyDict_GET_SIZE(data) == 0;
    if (PyUnicode_CheckExact(data) && text_is_ready(data)) return PyUnicode_GET_LENGTH(data) == 0;
    if (Py_TYPE(data) == &PyType_Type) return 0;
    const int truth = PyObject_IsTrue(data);
    if (truth <= 0) return truth < 0 ? -1 : 1;
    Ref empty = Ref::steal(PyDict_New());
    return empty ? equals(data, empty.get()) : -1;
}

// The keys of a level in the order they are rendered: sorted when all are str; otherwise ordered
// by their str() texts, equal texts keeping their order (a tree may hold None or tuple keys).
// A plain dict with plain str keys is read and sorted here without any container object: they
// would feed the cyclic garbage collector, whose passes over a large tree cost more than the
// rendering itself.
int sorted_keys(const Ctx& c, PyObject* level, std::vector<Ref>& keys, bool& plain_keys) {
    if (PyDict_CheckExact(level)) {
        keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(level)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(level, &pos, &key, &value)) keys.push_back(Ref::borrow(key));
    } else {
        Ref view = call_method(level, c.str(Name::keys));
        Ref listed = view ? Ref::steal(PySequence_List(view.get())) : Ref();
        if (!listed) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i)
            keys.push_back(Ref::borrow(PyList_GET_ITEM(listed.get(), i)));
    }
    bool plain_text = true, all_text = true;
    for (const Ref& key : keys) {
        plain_text = plain_text && PyUnicode_CheckExact(key.get());
        all_text = all_text && PyUnicode_Check(key.get());
    }
    plain_keys = plain_text && PyDict_CheckExact(level);
    if (plain_text) {
        std::sort(keys.begin(), keys.end(), [](const Ref& a, const Ref& b) {
            return PyUnicode_Compare(a.get(), b.get()) < 0;
        });
        return 0;
    }
    if (all_text) {  // str subclasses may order themselves: the interpreter's sort
        Ref listed = Ref::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
        if (!listed) return -1;
        for (size_t i = 0; i < keys.size(); ++i)
            PyList_SET_ITEM(listed.get(), static_cast<Py_ssize_t>(i), Py_NewRef(keys[i].get()));
        if (PyList_Sort(listed.get()) < 0) return -1;
        for (size_t i = 0; i < keys.size(); ++i)
            keys[i] = Ref::borrow(PyList_GET_ITEM(listed.get(), static_cast<Py_ssize_t>(i)));
        return 0;
    }
    std::vector<std::pair<Ref, Ref>> by_text;
    for (Ref& key : keys) {
        Ref text = str_of(key.get());
        if (!text) return -1;
        by_text.emplace_back(std::move(text), std::move(key));
    }
    std::stable_sort(by_text.begin(), by_text.end(), [](const auto& a, const auto& b) {
        return PyUnicode_Compare(a.first.get(), b.first.get()) < 0;
    });
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = std::move(by_text[i].second);
    return 0;
}

// Opens a child's block: its first line starts with "  |" under the current prefix, its later
// lines continue under the prefix extended by the child's separator until the block closes.
class ChildBlock {
public:
    ChildBlock(TreeWriter& out, bool last) : out_(out), last_(last) {}
    ~ChildBlock() {
        if (open_) out_.pop(last_);
    }
    int open() {
        if (out_.line_break() < 0 || out_.ascii("  |") < 0) return -1;
        out_.push(last_);
        open_ = true;
        return 0;
    }

private:
    TreeWriter& out_;
    bool last_;
    bool open_ = false;
};

// The block of the child `key_text` holding `value`: rendered here, or by an overriding
// print_tree whose text is split into lines like any child's rendering.
int render_child(const Ctx& c, TreeWriter& out, PyObject* value, PyObject* key_text, bool last) {
    ChildBlock block(out, last);
    const int plain = out.own_renderer(c) ? 1 : can_call_directly(c, Name::print_tree);
    if (plain < 0) return -1;
    out.set_own_renderer(plain);
    if (plain) return block.open() < 0 ? -1 : render(c, out, value, "__ ", key_text);

    Ref label = Ref::steal(PyUnicode_FromFormat("__ %U", key_text));
    Ref method = label ? get_attr(c.self, c.str(Name::print_tree)) : Ref();
    Ref rendering = method ? call(method.get(), c.st->kw_print_tree, value, label.get()) : Ref();
    if (!rendering) return -1;
    if (PyUnicode_Check(rendering.get())) return block.open() < 0 ? -1 : out.text(rendering.get());
    // Not a str: whatever its split("\n") yields, each line a str.
    Ref lines = call_method(rendering.get(), c.str(Name::split), c.str(Name::newline));
    Ref iter = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
    if (!iter) return -1;
    for (bool first = true;; first = false) {
        Ref line = Ref::steal(PyIter_Next(iter.get()));
        if (!line) return PyErr_Occurred() ? -1 : 0;
        if (!PyUnicode_Check(line.get())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(line.get())->tp_name);
            return -1;
        }
        if ((first ? block.open() : out.line_break()) < 0 || out.text(line.get()) < 0) return -1;
    }
}

int render_children(const Ctx& c, TreeWriter& out, PyObject* level) {
    std::vector<Ref> keys;
    bool plain_keys = false;
    if (sorted_keys(c, level, keys, plain_keys) < 0) return -1;
    // Other keys run their own code when sorted, shown, compared or looked up.
    if (!plain_keys) out.set_own_renderer(false);
    if (keys.empty()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return -1;
    }
    PyObject* last_key = keys.back().get();  // `keys` holds its own references
    for (const Ref& held : keys) {
        PyObject* key = held.get();
        Ref value = item(level, key);
        Ref key_text = value ? (PyUnicode_Check(key) ? Ref::borrow(key) : str_of(key)) : Ref();
        if (!key_text) return -1;
        const int last = equals(key, last_key);
        if (last < 0 || render_child(c, out, value.get(), key_text.get(), last) < 0) return -1;
    }
    return 0;
}

// The block of one level: nothing for an empty value; `marker` + `label`, " = " and the value's
// text for a leaf; `marker` + `label` and the children's blocks for a dict.
int render(const Ctx& c, TreeWriter& out, PyObject* data, const char* marker, PyObject* label) {
    if (!renders_in_c(data)) out.set_own_renderer(false);
    const int empty = renders_empty(data);
    if (empty != 0) return empty < 0 ? -1 : 0;
    if (!PyDict_Check(data)) {
        Ref text = str_of(data);
        return text && out.ascii(marker) == 0 && out.text(label) == 0 && out.ascii(" = ") == 0 &&
                       out.text(text.get()) == 0
                   ? 0
                   : -1;
    }
    if (out.ascii(marker) < 0 || out.text(label) < 0) return -1;
    if (stack_nearly_exhausted(kStackMargin)) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while rendering the plugin tree");
        return -1;
    }
    if (Py_EnterRecursiveCall(" while rendering the plugin tree")) return -1;
    const int rendered = render_children(c, out, data);
    Py_LeaveRecursiveCall();
    return rendered;
}

}  // namespace

Ref print_tree(const Ctx& c, PyObject* data, PyObject* output) {
    if (PyUnicode_CheckExact(output)) {
        TreeWriter out;
        return !out.ok() || render(c, out, data, "", output) < 0 ? Ref() : out.finish();
    }
    // An output that is not a plain str is only ever added to: render the rest, then add it the
    // way the interpreter would (a leaf's text with +, children with +=).
    Ref rest;
    {
        TreeWriter out;
        if (!out.ok() || render(c, out, data, "", c.str(Name::empty)) < 0) return Ref();
        rest = out.finish();
    }
    if (!rest || PyUnicode_GET_LENGTH(rest.get()) == 0) return rest;
    return Ref::steal(PyDict_Check(data) ? PyNumber_InPlaceAdd(output, rest.get())
                                         : PyNumber_Add(output, rest.get()));
}

Ref manager_text(const Ctx& c) {
    Ref cls = get_attr(c.self, c.str(Name::dunder_class));
    Ref identity = cls ? Ref::steal(PyLong_FromVoidPtr(c.self)) : Ref();
    Ref hex = identity ? Ref::steal(PyNumber_ToBase(identity.get(), 16)) : Ref();
    Ref header =
        hex ? Ref::steal(PyUnicode_FromFormat("plugins (%S at %U) ", cls.get(), hex.get())) : Ref();
    if (!header) return Ref();
    const int plain = can_call_directly(c, Name::print_tree);
    if (plain < 0) return Ref();
    if (plain) {
        Ref tree = instance_attr(c, Name::_plugins);
        return tree ? print_tree(c, tree.get(), header.get()) : Ref();
    }
    Ref method = get_attr(c.self, c.str(Name::print_tree));
    Ref tree = method ? instance_attr(c, Name::_plugins) : Ref();
    return tree ? call(method.get(), c.st->kw_print_tree, tree.get(), header.get()) : Ref();
}

}  // namespace mirtal
