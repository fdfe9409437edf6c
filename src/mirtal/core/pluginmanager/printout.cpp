// The text rendering of a tree of dicts, and the manager's text form.
//
// The rendering is defined recursively: each level renders its children (through self.print_tree),
// splits each child's text into lines and appends them, one piece at a time, to its output with
// the interpreter's + and +=. Where every output and key is an exact str, none of that runs code,
// and we write the same text in one pass: every line feed that a level's text contains is
// followed, in the final text, by the separators of all the levels above it ("  |" where a later
// sibling follows, "  " for a last child), so the writer keeps that prefix and adds it after each
// line feed it writes.
//
// Anything else goes the interpreter's way, step by step: an output that is not an exact str, a
// level whose keys are not all exact strs (their +, == and ordering are their own), and a child's
// rendering that is not an exact str (an override's result, a leaf whose str() is of a subclass).
// When such a rendering cannot be appended without running code, the level's text written so far
// is taken back out of the writer (without the ancestors' prefixes) and the level goes on as an
// object.
#include "alloc.hpp"
#include "ops.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace mirtal {
namespace {

// A level is not entered with less C stack than this left: a deep tree (a dict holding itself, or
// a chain rendered level by level through an overriding print_tree) ends in RecursionError on any
// thread, whatever its stack size and the interpreter's recursion limits.
constexpr size_t kStackMargin = 128 * 1024;

class TreeWriter {
public:
    bool ok() const { return writer_.ok(); }
    Py_ssize_t length() const { return writer_.length(); }

    int ascii(const char* text, Py_ssize_t size) { return writer_.ascii(text, size); }
    int ascii(const char* text) { return ascii(text, static_cast<Py_ssize_t>(strlen(text))); }

    // A line feed and the prefix of the current nesting.
    int line_break() {
        if (writer_.character('\n') < 0) return -1;
        return ascii(prefix_.data(), static_cast<Py_ssize_t>(prefix_.size()));
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
            if (end > start && substring(text, start, end) < 0) return -1;
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
    void pop(bool last) { prefix_.resize(prefix_.size() - (last ? 2 : 3)); }

    // Whether a level entered here would have too little C stack left (the thread's stack bounds
    // are looked up once per printout, on the thread that renders it).
    bool stack_nearly_exhausted() const { return under_stack_floor(stack_floor_); }

    Ref finish() { return Ref::steal(writer_.finish()); }

    // Takes back what was written from `text_start` on, as the level that wrote it built it: the
    // prefix that the levels above add after each of its line feeds (the current prefix) removed.
    // The writer then holds only what came before `keep` (<= text_start).
    Ref take_back(Py_ssize_t keep, Py_ssize_t text_start) {
        Ref all = finish();
        writer_.restart();
        if (!all || !writer_.ok()) return Ref();
        if (keep > 0 && substring(all.get(), 0, keep) < 0) return Ref();
        TextWriter taken;
        if (!taken.ok()) return Ref();
        const Py_ssize_t size = PyUnicode_GET_LENGTH(all.get());
        const Py_ssize_t strip = static_cast<Py_ssize_t>(prefix_.size());
        Py_ssize_t start = text_start;
        while (start < size) {
            Py_ssize_t feed = find_line_feed(all.get(), start, size);
            if (feed == -2) return Ref();
            const Py_ssize_t end = feed < 0 ? size : feed + 1;
            if (taken.substring(all.get(), start, end) < 0) return Ref();
            start = feed < 0 ? size : std::min(size, end + strip);
        }
        return Ref::steal(taken.finish());
    }

    // Whether self's print_tree was found to be our own and nothing that could run Python code
    // (and so change that) has happened since: then the next child needs no new look.
    bool own_renderer(const Ctx& c) const {
        return own_renderer_ && !c.st->class_watch.maybe_modified(c.st->manager_type);
    }
    void set_own_renderer(bool own) { own_renderer_ = own; }

private:
    int substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        return writer_.substring(text, start, end);
    }

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
    String prefix_;
    bool own_renderer_ = false;
    uintptr_t stack_floor_ = stack_floor(kStackMargin);
};

// A child's block: its first line starts with "  |" under the current prefix, its later lines
// continue under the prefix extended by the child's separator until the block closes. Opened when
// the child first writes; a child whose rendering comes back as an object writes nothing here.
class Block {
public:
    Block(TreeWriter& out, bool last) : out_(out), last_(last) {}
    ~Block() { close(); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    int open() {
        start_ = out_.length();
        if (out_.line_break() < 0 || out_.ascii("  |") < 0) return -1;
        out_.push(last_);
        open_ = true;
        return 0;
    }
    void close() {
        if (open_) out_.pop(last_);
        open_ = false;
    }
    Py_ssize_t start() const { return start_; }

private:
    TreeWriter& out_;
    bool last_;
    bool open_ = false;
    Py_ssize_t start_ = 0;
};

// What rendering a value gave: its text is in the writer, or it came back as an object (the text,
// or whatever the interpreter's operators made of it), which the caller appends itself.
constexpr int kWritten = 0;
constexpr int kObject = 1;

// Values whose rendering runs no Python code: exact dicts and strs, and None. (Not even a plain
// class: its str() looks __module__ up in its dict, where a key of another type may compare.)
bool renders_in_c(PyObject* data) {
    return PyDict_CheckExact(data) || PyUnicode_CheckExact(data) || data == Py_None;
}

// renders_empty for a value of any other type: its truth and its == run.
[[gnu::noinline]] int renders_empty_by_test(PyObject* data) {
    const int truth = PyObject_IsTrue(data);
    if (truth <= 0) return truth < 0 ? -1 : 1;
    Ref empty = Ref::steal(PyDict_New());
    return empty ? equals(data, empty.get()) : -1;
}

// False values, and values equal to an empty dict, render as nothing at all.
inline int renders_empty(PyObject* data) {
    // What the test gives for the values of a plain tree, without calls: an exact str or a class
    // whose metaclass is type is never equal to a dict.
    if (PyDict_CheckExact(data)) return PyDict_GET_SIZE(data) == 0;
    if (PyUnicode_CheckExact(data) && text_is_ready(data)) return PyUnicode_GET_LENGTH(data) == 0;
    if (Py_TYPE(data) == &PyType_Type) return 0;
    return renders_empty_by_test(data);
}

// Whether `output += piece` on an exact str output only joins the texts (no code of the piece's
// type runs): the piece is a str whose type adds nothing of its own.
bool joins_plainly(PyObject* piece) {
    return PyUnicode_CheckExact(piece) ||
           (PyUnicode_Check(piece) && !PyType_GetSlot(Py_TYPE(piece), Py_nb_add));
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

// The pieces that introduce a child's lines: "\n  |" before the first line of the last child,
// "\n" + separator before every other line.
struct Pieces {
    Ref first_of_last;  // "\n  |"
    Ref last;  // "\n" + "  "
    Ref other;  // "\n" + "  |"
};

int make_pieces(Pieces& p) {
    p.first_of_last = Ref::steal(PyUnicode_FromString("\n  |"));
    p.last = Ref::steal(PyUnicode_FromString("\n  "));
    p.other = p.last ? Ref::borrow(p.first_of_last.get()) : Ref();
    return p.other ? 0 : -1;
}

// The keys of a dict of another type, as its keys() lists them.
[[gnu::noinline]] int listed_keys(const Ctx& c, PyObject* level, Vector<Ref>& keys) {
    Ref view = call_method(level, c.str(Name::keys));
    Ref listed = view ? Ref::steal(PySequence_List(view.get())) : Ref();
    if (!listed) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i)
        keys.push_back(Ref::borrow(PyList_GET_ITEM(listed.get(), i)));
    return 0;
}

[[gnu::noinline]] int sort_other_keys(const Ctx& c, Vector<Ref>& keys, bool all_text);

// The keys of a level in the order they are rendered: sorted when all are str; otherwise ordered
// by their str() texts, equal texts keeping their order (a tree may hold None or tuple keys).
// `plain_keys`: all are exact strs, so that sorting, comparing and joining them runs no code.
// A plain dict with plain str keys is read and sorted here without any container object: they
// would feed the cyclic garbage collector, whose passes over a large tree cost more than the
// rendering itself.
// The common case (an exact dict, exact-str keys) is compiled into its callers; the others are
// functions of their own.
[[gnu::always_inline]] inline int sorted_keys(const Ctx& c, PyObject* level, Vector<Ref>& keys,
                                              bool& plain_keys) {
    if (PyDict_CheckExact(level)) {
        keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(level)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(level, &pos, &key, &value)) keys.push_back(Ref::borrow(key));
    } else if (listed_keys(c, level, keys) < 0) {
        return -1;
    }
    bool plain_text = true, all_text = true;
    for (const Ref& key : keys) {
        plain_text = plain_text && PyUnicode_CheckExact(key.get());
        all_text = all_text && PyUnicode_Check(key.get());
    }
    plain_keys = plain_text;
    if (!plain_text) return sort_other_keys(c, keys, all_text);
    std::sort(keys.begin(), keys.end(),
              [](const Ref& a, const Ref& b) { return PyUnicode_Compare(a.get(), b.get()) < 0; });
    return 0;
}

// Keys that are not all exact strs, in their order.
int sort_other_keys(const Ctx& c, Vector<Ref>& keys, bool all_text) {
    const auto n = static_cast<Py_ssize_t>(keys.size());
    if (all_text) {  // str subclasses may order themselves: the interpreter's sort
        Ref listed = Ref::steal(PyList_New(n));
        if (!listed) return -1;
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(listed.get(), i, Py_NewRef(keys[static_cast<size_t>(i)].get()));
        if (PyList_Sort(listed.get()) < 0) return -1;
        for (Py_ssize_t i = 0; i < n; ++i)
            keys[static_cast<size_t>(i)] = Ref::borrow(PyList_GET_ITEM(listed.get(), i));
        return 0;
    }
    // sorted(keys, key=str): each key's text once, in order, then a stable sort by the texts.
    Ref texts = Ref::steal(PyList_New(n));
    if (!texts) return -1;
    bool plain_texts = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* text = PyObject_Str(keys[static_cast<size_t>(i)].get());
        if (!text) return -1;
        plain_texts = plain_texts && PyUnicode_CheckExact(text);
        PyList_SET_ITEM(texts.get(), i, text);
    }
    Vector<Py_ssize_t> order(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    if (plain_texts) {
        PyObject* list = texts.get();
        std::stable_sort(order.begin(), order.end(), [list](Py_ssize_t a, Py_ssize_t b) {
            return PyUnicode_Compare(PyList_GET_ITEM(list, a), PyList_GET_ITEM(list, b)) < 0;
        });
    } else {  // texts of str subclasses compare with their own <
        Ref indices = Ref::steal(PyList_New(n));
        if (!indices) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* index = PyLong_FromSsize_t(i);
            if (!index) return -1;
            PyList_SET_ITEM(indices.get(), i, index);
        }
        Ref by = get_attr(texts.get(), c.str(Name::dunder_getitem));
        Ref sort = by ? get_attr(indices.get(), c.str(Name::sort)) : Ref();
        if (!sort || !call(sort.get(), c.st->kw_key, by.get())) return -1;
        if (PyList_GET_SIZE(indices.get()) != n) {
            PyErr_SetString(PyExc_RuntimeError, "the keys changed while they were sorted");
            return -1;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_ssize_t index = PyLong_AsSsize_t(PyList_GET_ITEM(indices.get(), i));
            if (index < 0 || index >= n) {
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_RuntimeError, "the keys changed while they were sorted");
                return -1;
            }
            order[static_cast<size_t>(i)] = index;
        }
    }
    Vector<Ref> sorted;
    sorted.reserve(keys.size());
    for (Py_ssize_t index : order)
        sorted.push_back(Ref::borrow(keys[static_cast<size_t>(index)].get()));
    keys = std::move(sorted);
    return 0;
}

Ref render_object(const Ctx& c, PyObject* data, PyObject* output);

// Step by step, as the interpreter runs it: the lines of one child's rendering appended to
// `output`, the first after "\n  |" when `key == last_key` (asked again here), every other after
// "\n" and the separator. `lines` is the iterator over rendering.split("\n"), maybe partly used.
int append_lines(Ref& output, PyObject* lines, bool first, PyObject* key, PyObject* last_key,
                 PyObject* separated, const Pieces& pieces) {
    while (Ref line = Ref::steal(PyIter_Next(lines))) {
        int last = 0;
        if (first && (last = equals(key, last_key)) < 0) return -1;
        first = false;
        Ref piece = add(last ? pieces.first_of_last.get() : separated, line.get());
        if (!piece || append(output, piece.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// rendering.split("\n"), as an iterator.
Ref split_lines(const Ctx& c, PyObject* rendering) {
    Ref lines = PyUnicode_CheckExact(rendering)
                    ? Ref::steal(PyUnicode_Split(rendering, c.str(Name::newline), -1))
                    : call_method(rendering, c.str(Name::split), c.str(Name::newline));
    return lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
}

// The children of `level` from keys[from] on, appended to `output` as the interpreter would.
int render_children_object(const Ctx& c, PyObject* level, const Vector<Ref>& keys, size_t from,
                           Ref& output) {
    Pieces pieces;
    if (make_pieces(pieces) < 0) return -1;
    PyObject* last_key = keys.back().get();
    for (size_t i = from; i < keys.size(); ++i) {
        PyObject* key = keys[i].get();
        // self.print_tree(data=data[key], output="__ " + key): the method, the value, the label.
        const int plain = can_call_directly(c, Name::print_tree);
        if (plain < 0) return -1;
        Ref method = plain ? Ref() : get_attr(c.self, c.str(Name::print_tree));
        if (!plain && !method) return -1;
        Ref value = item(level, key);
        Ref key_text = value ? (PyUnicode_Check(key) ? Ref::borrow(key) : str_of(key)) : Ref();
        Ref label = key_text ? add(c.str(Name::label_marker), key_text.get()) : Ref();
        if (!label) return -1;
        Ref rendering = plain ? print_tree(c, value.get(), label.get())
                              : call(method.get(), c.st->kw_print_tree, value.get(), label.get());
        if (!rendering) return -1;
        const int last = equals(key, last_key);
        if (last < 0) return -1;
        Ref lines = split_lines(c, rendering.get());
        if (!lines || append_lines(output, lines.get(), true, key, last_key,
                                   last ? pieces.last.get() : pieces.other.get(), pieces) < 0)
            return -1;
    }
    return 0;
}

int render(const Ctx& c, TreeWriter& out, PyObject* data, PyObject* label, Block* block,
           Ref& result);

// Where a level that wrote into the writer goes on as an object: its block (or, at the top, its
// label) and where its own text begins.
struct Level {
    Block* block;
    Py_ssize_t text_start;
};

// The level's text so far, taken out of the writer, and its block closed: it goes on as an object.
Ref take_level_back(TreeWriter& out, const Level& level) {
    Ref text =
        out.take_back(level.block ? level.block->start() : level.text_start, level.text_start);
    if (level.block) level.block->close();
    return text;
}

// A child's rendering that came back as an object, appended to a level written so far in the
// writer (exact str output and keys: `last` is known, and joining runs no code). Returns kWritten
// while the pieces could be written; kObject, with `output` set, once a piece could not: the
// level then goes on as an object.
int append_rendering(const Ctx& c, TreeWriter& out, Block& child, PyObject* rendering, bool last,
                     PyObject* key, PyObject* last_key, const Level& level, Ref& output) {
    if (PyUnicode_CheckExact(rendering))
        return child.open() < 0 || out.text(rendering) < 0 ? -1 : kWritten;
    Pieces pieces;
    if (make_pieces(pieces) < 0) return -1;
    PyObject* separated = last ? pieces.last.get() : pieces.other.get();
    Ref lines = split_lines(c, rendering);
    if (!lines) return -1;
    for (bool first = true;; first = false) {
        Ref line = Ref::steal(PyIter_Next(lines.get()));
        if (!line) return PyErr_Occurred() ? -1 : kWritten;
        PyObject* before = first && last ? pieces.first_of_last.get() : separated;
        if (PyUnicode_CheckExact(line.get())) {
            if (out.text(before) < 0 || out.text(line.get()) < 0) return -1;
            continue;
        }
        Ref piece = add(before, line.get());
        if (!piece) return -1;
        if (joins_plainly(piece.get())) {
            if (out.text(piece.get()) < 0) return -1;
            continue;
        }
        output = take_level_back(out, level);
        if (!output || append(output, piece.get()) < 0 ||
            append_lines(output, lines.get(), false, key, last_key, separated, pieces) < 0)
            return -1;
        return kObject;
    }
}

// The children of a level whose label is written and whose keys are exact strs, written in one
// pass; kObject, with `output` set, when the level had to go on as an object.
int render_children(const Ctx& c, TreeWriter& out, PyObject* level, const Vector<Ref>& keys,
                    const Level& self_level, Ref& output) {
    // A dict of another type runs its own code when its values are read.
    if (!PyDict_CheckExact(level)) out.set_own_renderer(false);
    PyObject* last_key = keys.back().get();  // `keys` holds its own references
    const size_t count = keys.size();
    for (size_t i = 0; i < count; ++i) {
        PyObject* key = keys[i].get();
        const int same = same_text(key, last_key);  // a keys() of a dict subclass may repeat one
        if (same < 0) return -1;
        const bool last = same == 1;
        Block child(out, last);
        // As in self.print_tree(data=data[key], ...): the method first, then the value.
        const int plain = out.own_renderer(c) ? 1 : can_call_directly(c, Name::print_tree);
        if (plain < 0) return -1;
        out.set_own_renderer(plain);
        Ref method = plain ? Ref() : get_attr(c.self, c.str(Name::print_tree));
        if (!plain && !method) return -1;
        Ref value = item(level, key);
        if (!value) return -1;
        if (!PyDict_CheckExact(level)) out.set_own_renderer(false);
        Ref rendering;
        int outcome;
        if (plain) {
            outcome = render(c, out, value.get(), key, &child, rendering);
        } else {
            Ref label = add(c.str(Name::label_marker), key);
            rendering =
                label ? call(method.get(), c.st->kw_print_tree, value.get(), label.get()) : Ref();
            outcome = rendering ? kObject : -1;
        }
        if (outcome != kObject) {
            if (outcome < 0) return -1;
            continue;
        }
        out.set_own_renderer(false);
        outcome = append_rendering(c, out, child, rendering.get(), last, key, last_key, self_level,
                                   output);
        if (outcome < 0) return -1;
        if (outcome == kObject)
            return render_children_object(c, level, keys, i + 1, output) < 0 ? -1 : kObject;
    }
    return kWritten;
}

// A leaf: `label` + " = " + str(data).
int render_leaf(TreeWriter& out, PyObject* data, PyObject* label, Block* block, Ref& result) {
    Ref text = str_of(data);
    if (!text) return -1;
    const char* marker = block ? "__ " : "";
    if (PyUnicode_CheckExact(text.get()))
        return (block && block->open() < 0) || out.ascii(marker) < 0 || out.text(label) < 0 ||
                       out.ascii(" = ") < 0 || out.text(text.get()) < 0
                   ? -1
                   : kWritten;
    // A subclass's text may add itself in its own way.
    Ref head = Ref::steal(PyUnicode_FromFormat("%s%U = ", marker, label));
    result = head ? add(head.get(), text.get()) : Ref();
    return result ? kObject : -1;
}

// The rendering of `data` under an exact-str label ("__ " + label for a child, which has a block,
// the caller's output at the top): written into the writer, or kObject with `result` set.
int render(const Ctx& c, TreeWriter& out, PyObject* data, PyObject* label, Block* block,
           Ref& result) {
    if (!renders_in_c(data)) out.set_own_renderer(false);
    const int empty = renders_empty(data);
    if (empty != 0) return empty < 0 || (block && block->open() < 0) ? -1 : kWritten;
    if (!PyDict_Check(data)) return render_leaf(out, data, label, block, result);
    if (out.stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while rendering the plugin tree");
        return -1;
    }
    RecursionGuard guard;
    if (!guard.enter(" while rendering the plugin tree")) return -1;
    Vector<Ref> keys;
    bool plain_keys = false;
    int outcome = sorted_keys(c, data, keys, plain_keys);
    if (outcome == 0 && keys.empty()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        outcome = -1;
    }
    if (outcome == 0 && !plain_keys) {
        // Keys that run their own code: the whole level the interpreter's way.
        out.set_own_renderer(false);
        result = block ? add(c.str(Name::label_marker), label) : Ref::borrow(label);
        outcome = !result || render_children_object(c, data, keys, 0, result) < 0 ? -1 : kObject;
    } else if (outcome == 0) {
        const Py_ssize_t marker = block ? 3 : 0;  // "__ " before a child's label
        if ((block && block->open() < 0) || out.ascii("__ ", marker) < 0) {
            outcome = -1;
        } else {
            const Level level{block, out.length() - marker};
            outcome = out.text(label) < 0 ? -1 : render_children(c, out, data, keys, level, result);
        }
    }
    return outcome;
}

// print_tree for an output that is not an exact str: every step through the interpreter.
Ref render_object(const Ctx& c, PyObject* data, PyObject* output) {
    const int empty = renders_empty(data);
    if (empty != 0) return empty < 0 ? Ref() : Ref::borrow(c.str(Name::empty));
    if (!PyDict_Check(data)) {
        Ref head = add(output, c.str(Name::equals_marker));
        Ref text = head ? str_of(data) : Ref();
        return text ? add(head.get(), text.get()) : Ref();
    }
    if (stack_nearly_exhausted(kStackMargin)) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while rendering the plugin tree");
        return Ref();
    }
    RecursionGuard guard;
    if (!guard.enter(" while rendering the plugin tree")) return Ref();
    Vector<Ref> keys;
    bool plain_keys = false;
    Ref result = Ref::borrow(output);
    int status = sorted_keys(c, data, keys, plain_keys);
    if (status == 0 && keys.empty()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        status = -1;
    }
    if (status == 0) status = render_children_object(c, data, keys, 0, result);
    return status < 0 ? Ref() : std::move(result);
}

}  // namespace

Ref print_tree(const Ctx& c, PyObject* data, PyObject* output) {
    return with_memory_error([&]() -> Ref {
        if (!PyUnicode_CheckExact(output)) return render_object(c, data, output);
        TreeWriter out;
        if (!out.ok()) return Ref();
        Ref result;
        const int outcome = render(c, out, data, output, nullptr, result);
        if (outcome < 0) return Ref();
        return outcome == kObject ? std::move(result) : out.finish();
    });
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
