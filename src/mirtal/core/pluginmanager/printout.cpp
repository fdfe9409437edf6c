// The text rendering of a tree of dicts, and the manager's text form (docs/design.md, "Printout
// and deep trees"). Each level renders its children through self.print_tree, splits each child's
// text into lines and appends them to its output with + and +=. Where the output, a level's keys
// and every child's rendering are exact strs, none of that runs code, and the writer produces the
// same text in one pass: each line feed of a level's text is followed, in the final text, by the
// separators of all the levels above it, which the writer keeps as a prefix. Everything else goes
// step by step (append_children); a level being written when a child's rendering is not an exact
// str takes its text so far out of the writer and goes on step by step from that child.
#include "ops.hpp"

#include <algorithm>
#include <cstring>

namespace mirtal {
namespace {

// A growable array of trivially copyable items in the interpreter's memory (a failure is a
// MemoryError, injected ones too): the extension is built without C++ exceptions (docs/design.md).
template <typename T>
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyMem_Free(items_); }
    size_t size() const { return size_; }
    T* begin() const { return items_; }
    T* end() const { return items_ + size_; }
    T operator[](size_t i) const { return items_[i]; }
    // Appends `count` items, making room for `room` in all if it grows; -1 with MemoryError set.
    int append(const T* from, size_t count, size_t room = 0) {
        if (size_ + count > capacity_) {
            const size_t capacity = std::max({size_ + count, room, 2 * capacity_});
            void* items = capacity < PY_SSIZE_T_MAX / sizeof(T)
                              ? PyMem_Realloc(items_, capacity * sizeof(T))
                              : nullptr;
            if (!items) return PyErr_NoMemory(), -1;
            items_ = static_cast<T*>(items);
            capacity_ = capacity;
        }
        memcpy(items_ + size_, from, count * sizeof(T));
        size_ += count;
        return 0;
    }
    void shrink(size_t size) { size_ = size; }

private:
    T* items_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

class Keys : public Buffer<PyObject*> {  // the keys of a level, as owned references
public:
    ~Keys() { clear(); }
    int push(PyObject* key, size_t room) {
        return append(&key, 1, room) < 0 ? -1 : (Py_INCREF(key), 0);
    }
    void clear() {
        for (PyObject* key : *this) Py_DECREF(key);
        shrink(0);
    }
};

// The pieces of the rendering, interned ASCII strs used by both ways of rendering: a child's
// label follows "__ ", a leaf's text " = ". The first line of a child follows "\n  |", every later
// line "\n" and its separator: "  " for the last child, "  |" for the others.
constexpr Name kLabelMarker = Name::label_marker, kLeafMarker = Name::equals_marker,
               kBreak = Name::break_open, kLastBreak = Name::break_last;

// A level is not entered with less C stack than this left: a deep tree (a dict holding itself, or
// a chain rendered level by level through an overriding print_tree) ends in RecursionError on any
// thread, whatever its stack size and the interpreter's recursion limits.
constexpr size_t kStackMargin = 128 * 1024;

// The interpreter's recursion guard for one level (`entered` false with RecursionError set),
// with the C stack checked against `floor` (stack_floor(kStackMargin), read once per printout).
struct LevelGuard {
    explicit LevelGuard(uintptr_t floor) : entered(enter(floor)) {}
    static bool enter(uintptr_t floor) {
        if (!under_stack_floor(floor))
            return Py_EnterRecursiveCall(" while rendering the plugin tree") == 0;
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while rendering the plugin tree");
        return false;
    }
    ~LevelGuard() {
        if (entered) Py_LeaveRecursiveCall();
    }
    LevelGuard(const LevelGuard&) = delete;
    const bool entered;
};

// Where a child's text goes: its first line after "\n" and the current prefix, then "  |"; its
// later lines under the prefix extended by its separator. Opened when the child first writes.
struct Block {
    bool last;
    bool open = false;
    Py_ssize_t start = 0;  // where its line feed was written
    size_t feed_size = 0;  // the line feed's prefix before it
};

class TreeWriter {
public:
    explicit TreeWriter(const Ctx& c) : c_(c) { feed_.append("\n", 1); }
    bool ok() const { return writer_.ok() && feed_.size() == 1; }
    Py_ssize_t length() const { return writer_.length(); }
    const uintptr_t floor = stack_floor(kStackMargin);

    // A piece of the table, from its `from`th character.
    int piece(Name name, Py_ssize_t from = 0) {
        PyObject* text = c_.str(name);  // ASCII
        return writer_.ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)) + from,
                             PyUnicode_GET_LENGTH(text) - from);
    }

    // A str, each of its line feeds followed by the prefix.
    int text(PyObject* text) {
        if (text_ready(text) < 0) return -1;
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        const bool feeds = PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND  // keys, names, paths
                               ? memchr(PyUnicode_1BYTE_DATA(text), '\n', size) != nullptr
                               : PyUnicode_FindChar(text, '\n', 0, size, 1) != -1;
        if (!feeds) return size ? writer_.substring(text, 0, size) : 0;
        Ref feed = line_feed();
        Ref lines = feed
                        ? Ref::steal(PyUnicode_Replace(text, c_.str(Name::newline), feed.get(), -1))
                        : Ref();
        return lines ? writer_.substring(lines.get(), 0, PyUnicode_GET_LENGTH(lines.get())) : -1;
    }

    int open(Block& block) {
        if (block.open) return 0;
        block.start = length();
        block.feed_size = feed_.size();
        if (writer_.ascii(feed_.begin(), static_cast<Py_ssize_t>(feed_.size())) < 0 ||
            piece(kBreak, 1) < 0)
            return -1;
        PyObject* separator = c_.str(block.last ? kLastBreak : kBreak);  // "\n" + separator
        if (feed_.append(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(separator)) + 1,
                         static_cast<size_t>(PyUnicode_GET_LENGTH(separator) - 1)) < 0)
            return -1;
        block.open = true;
        return 0;
    }
    void close(Block& block) {
        if (block.open) feed_.shrink(block.feed_size);
        block.open = false;
    }

    Ref finish() { return Ref::steal(writer_.finish()); }

    // The text written from `from` on, as the level that wrote it built it: without the prefix
    // that the levels above add after each of its line feeds (the current prefix). The writer
    // then holds only what came before `keep` (<= from).
    Ref take_back(Py_ssize_t keep, Py_ssize_t from) {
        Ref all = finish();
        writer_.restart();
        if (!all || !writer_.ok() || (keep > 0 && writer_.substring(all.get(), 0, keep) < 0))
            return Ref();
        Ref level =
            Ref::steal(PyUnicode_Substring(all.get(), from, PyUnicode_GET_LENGTH(all.get())));
        Ref feed_text = level ? line_feed() : Ref();
        return feed_text ? Ref::steal(PyUnicode_Replace(level.get(), feed_text.get(),
                                                        c_.str(Name::newline), -1))
                         : Ref();
    }

private:
    // A line feed and the prefix, as a str.
    Ref line_feed() const {
        return Ref::steal(
            PyUnicode_FromStringAndSize(feed_.begin(), static_cast<Py_ssize_t>(feed_.size())));
    }

    const Ctx& c_;
    TextWriter writer_;
    Buffer<char> feed_;  // what follows each line feed ("\n"): the separators of the open levels
};

// What writing a value gave: its text is in the writer, or it is an object (`result`), which the
// caller appends itself.
constexpr int kWritten = 0, kObject = 1;

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

Ref add(PyObject* left, PyObject* right) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right))
        return Ref::steal(PyUnicode_Concat(left, right));
    return Ref::steal(PyNumber_Add(left, right));
}

// output += piece.
int append(Ref& output, PyObject* piece) {
    if (PyUnicode_CheckExact(output.get()) && PyUnicode_CheckExact(piece)) {
        PyObject* text = output.release();
        PyUnicode_Append(&text, piece);  // in place when nothing else holds the text
        output = Ref::steal(text);
    } else {
        output = Ref::steal(PyNumber_InPlaceAdd(output.get(), piece));
    }
    return output ? 0 : -1;
}

int append_items(Keys& keys, PyObject* list) {
    const auto size = static_cast<size_t>(PyList_GET_SIZE(list));
    for (size_t i = 0; i < size; ++i)
        if (keys.push(PyList_GET_ITEM(list, i), size) < 0) return -1;
    return 0;
}

// The keys of a level in the order they are rendered (IndexError for none): sorted when all are
// str; otherwise as sorted(keys, key=str) orders them (a tree may hold None or tuple keys).
// `plain`: all are exact strs, so that sorting, comparing and joining them runs no code. The keys
// of a plain dict of plain strs are read and sorted here without any container object: they would
// feed the cyclic garbage collector, whose passes over a large tree cost more than the rendering
// itself.
int sorted_keys(const Ctx& c, PyObject* level, Keys& keys, bool& plain) {
    Ref listed;
    if (PyDict_CheckExact(level)) {
        const auto size = static_cast<size_t>(PyDict_GET_SIZE(level));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(level, &pos, &key, &value))
            if (keys.push(key, size) < 0) return -1;
    } else {  // list(level.keys())
        Ref view = call_method(level, c.str(Name::keys));
        listed = view ? Ref::steal(PySequence_List(view.get())) : Ref();
        if (!listed || append_items(keys, listed.get()) < 0) return -1;
    }
    if (keys.size() == 0)  // as sorted_keys[-1] fails
        return PyErr_SetString(PyExc_IndexError, "list index out of range"), -1;
    plain = std::all_of(keys.begin(), keys.end(),
                        [](PyObject* key) { return PyUnicode_CheckExact(key); });
    if (plain) {
        std::sort(keys.begin(), keys.end(),
                  [](PyObject* a, PyObject* b) { return PyUnicode_Compare(a, b) < 0; });
        return 0;
    }
    // The interpreter's sort: str subclasses may order themselves, other keys go by str().
    if (!listed) listed = Ref::steal(PyDict_Keys(level));
    if (!listed) return -1;
    const bool all_text =
        std::all_of(keys.begin(), keys.end(), [](PyObject* key) { return PyUnicode_Check(key); });
    PyObject* args[] = {listed.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)};
    if (all_text
            ? PyList_Sort(listed.get()) < 0
            : !Ref::steal(PyObject_VectorcallMethod(c.str(Name::sort), args, 1, c.st->kw(Kw::key))))
        return -1;
    keys.clear();
    return append_items(keys, listed.get());
}

// The lines of a child's rendering appended to `output` as the interpreter does it: the first
// after "\n  |" when `key == last_key` (asked again for it), every line else after "\n" and the
// separator.
int append_child(const Ctx& c, Ref& output, PyObject* rendering, PyObject* key,
                 PyObject* last_key) {
    const int last = equals(key, last_key);
    if (last < 0) return -1;
    Ref lines = PyUnicode_CheckExact(rendering)
                    ? Ref::steal(PyUnicode_Split(rendering, c.str(Name::newline), -1))
                    : call_method(rendering, c.str(Name::split), c.str(Name::newline));
    Ref iter = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
    if (!iter) return -1;
    for (bool first = true;; first = false) {
        Ref line = Ref::steal(PyIter_Next(iter.get()));
        if (!line) return PyErr_Occurred() ? -1 : 0;
        const int first_of_last = first ? equals(key, last_key) : 0;
        if (first_of_last < 0) return -1;
        Ref piece = add(c.str(first_of_last || !last ? kBreak : kLastBreak), line.get());
        if (!piece || append(output, piece.get()) < 0) return -1;
    }
}

// self.print_tree: 1 when it is our own (nothing to look up), 0 with `method` set otherwise.
int print_tree_method(const Ctx& c, Ref& method) {
    const int own = can_call_directly(c, Name::print_tree);
    if (own == 0) method = get_attr(c.self, c.str(Name::print_tree));
    return own != 0 ? own : method ? 0 : -1;
}

// method(data=value, output=label), or our own print_tree when there is no method.
Ref render_child(const Ctx& c, PyObject* method, PyObject* value, PyObject* label) {
    return method ? call(method, c.st->kw(Kw::print_tree), value, label)
                  : print_tree(c, value, label);
}

// The children keys[from:] of `level`, step by step: self.print_tree(data=level[key],
// output="__ " + key) for each, its lines appended to `output`.
int append_children(const Ctx& c, PyObject* level, const Keys& keys, size_t from, Ref& output) {
    PyObject* last_key = keys[keys.size() - 1];  // `keys` holds its own references
    for (size_t i = from; i < keys.size(); ++i) {
        PyObject* key = keys[i];
        Ref method;
        const int own = print_tree_method(c, method);
        Ref value = own < 0 ? Ref() : item(level, key);
        Ref key_text = value ? (PyUnicode_Check(key) ? Ref::borrow(key) : str_of(key)) : Ref();
        Ref label = key_text ? add(c.str(kLabelMarker), key_text.get()) : Ref();
        Ref rendering = label ? render_child(c, method.get(), value.get(), label.get()) : Ref();
        if (!rendering || append_child(c, output, rendering.get(), key, last_key) < 0) return -1;
    }
    return 0;
}

int write_tree(const Ctx& c, TreeWriter& out, PyObject* data, PyObject* label, Block* block,
               Ref& result);

// The children of a level whose keys are exact strs, written after its label (at `text_start`,
// in `block` unless it is the top level). kObject, with `output` set, when a child's rendering
// could not be written: the level goes on step by step.
int write_children(const Ctx& c, TreeWriter& out, PyObject* level, const Keys& keys, Block* self,
                   Py_ssize_t text_start, Ref& output) {
    PyObject* last_key = keys[keys.size() - 1];
    for (size_t i = 0; i < keys.size(); ++i) {
        PyObject* key = keys[i];
        const int last = same_text(key, last_key);  // a keys() of a dict subclass may repeat one
        Ref method;
        const int own = last < 0 ? -1 : print_tree_method(c, method);
        Ref value = own < 0 ? Ref() : item(level, key);
        if (!value) return -1;
        Block child{last == 1};
        Ref rendering;
        int outcome = own ? write_tree(c, out, value.get(), key, &child, rendering) : kObject;
        if (!own) {
            Ref label = add(c.str(kLabelMarker), key);
            rendering = label ? render_child(c, method.get(), value.get(), label.get()) : Ref();
            if (!rendering) return -1;
        }
        if (outcome == kObject && PyUnicode_CheckExact(rendering.get()))
            outcome = out.open(child) < 0 || out.text(rendering.get()) < 0 ? -1 : kWritten;
        out.close(child);
        if (outcome < 0) return -1;
        if (outcome == kWritten) continue;
        output = out.take_back(self ? self->start : 0, text_start);
        if (self) out.close(*self);
        if (!output || append_child(c, output, rendering.get(), key, last_key) < 0 ||
            append_children(c, level, keys, i + 1, output) < 0)
            return -1;
        return kObject;
    }
    return kWritten;
}

// The rendering of `data` under an exact-str label ("__ " + label for a child, which has a block;
// the caller's output at the top): written, or kObject with `result` set.
int write_tree(const Ctx& c, TreeWriter& out, PyObject* data, PyObject* label, Block* block,
               Ref& result) {
    const int empty = renders_empty(data);
    if (empty != 0) return empty < 0 || (block && out.open(*block) < 0) ? -1 : kWritten;
    if (!PyDict_Check(data)) {  // a leaf: label + " = " + str(data)
        Ref text = str_of(data);
        if (!text) return -1;
        if (PyUnicode_CheckExact(text.get())) {
            if (block && (out.open(*block) < 0 || out.piece(kLabelMarker) < 0)) return -1;
            const bool failed = out.text(label) < 0 || out.piece(kLeafMarker) < 0;
            return failed || out.text(text.get()) < 0 ? -1 : kWritten;
        }
        Ref head = block ? add(c.str(kLabelMarker), label) : Ref::borrow(label);
        head = head ? add(head.get(), c.str(kLeafMarker)) : Ref();
        result = head ? add(head.get(), text.get()) : Ref();
        return result ? kObject : -1;
    }
    const LevelGuard guard(out.floor);
    Keys keys;
    bool plain = false;
    if (!guard.entered || sorted_keys(c, data, keys, plain) < 0) return -1;
    if (!plain) {  // keys that run their own code: the whole level step by step
        result = block ? add(c.str(kLabelMarker), label) : Ref::borrow(label);
        return !result || append_children(c, data, keys, 0, result) < 0 ? -1 : kObject;
    }
    if (block && out.open(*block) < 0) return -1;
    const Py_ssize_t text_start = out.length();
    if ((block && out.piece(kLabelMarker) < 0) || out.text(label) < 0) return -1;
    return write_children(c, out, data, keys, block, text_start, result);
}

// print_tree for an output that is not an exact str: every step through the interpreter.
Ref render_object(const Ctx& c, PyObject* data, PyObject* output) {
    const int empty = renders_empty(data);
    if (empty != 0) return empty < 0 ? Ref() : Ref::borrow(c.str(Name::empty));
    if (!PyDict_Check(data)) {
        Ref head = add(output, c.str(kLeafMarker));
        Ref text = head ? str_of(data) : Ref();
        return text ? add(head.get(), text.get()) : Ref();
    }
    const LevelGuard guard(stack_floor(kStackMargin));
    Keys keys;
    bool plain = false;
    if (!guard.entered || sorted_keys(c, data, keys, plain) < 0) return Ref();
    Ref result = Ref::borrow(output);
    return append_children(c, data, keys, 0, result) < 0 ? Ref() : std::move(result);
}

}  // namespace

Ref print_tree(const Ctx& c, PyObject* data, PyObject* output) {
    if (!PyUnicode_CheckExact(output)) return render_object(c, data, output);
    TreeWriter out(c);
    Ref result;
    const int outcome = out.ok() ? write_tree(c, out, data, output, nullptr, result) : -1;
    if (outcome < 0) return Ref();
    return outcome == kObject ? std::move(result) : out.finish();
}

Ref manager_text(const Ctx& c) {
    Ref cls = get_attr(c.self, c.str(Name::dunder_class));
    Ref identity = cls ? Ref::steal(PyLong_FromVoidPtr(c.self)) : Ref();
    Ref hex = identity ? Ref::steal(PyNumber_ToBase(identity.get(), 16)) : Ref();
    Ref header =
        hex ? Ref::steal(PyUnicode_FromFormat("plugins (%S at %U) ", cls.get(), hex.get())) : Ref();
    Ref method;
    const int own = header ? print_tree_method(c, method) : -1;
    Ref tree = own < 0 ? Ref() : instance_attr(c, Name::_plugins);
    return tree ? render_child(c, method.get(), tree.get(), header.get()) : Ref();
}

}  // namespace mirtal
