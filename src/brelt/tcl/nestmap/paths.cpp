// Item operations on dotted keys: reading, writing, membership, deletion.
//
// A str key is walked in place: each level's part is cut out of the key as
// the walk reaches it, and as long as the value at a level is exactly a
// NestMap the walk continues here instead of recursing through __getitem__.
// Any other value (a NestMap subclass, a plain dict, a leaf) gets the rest of
// the path through its own item operation, as the recursive definition says.
#include "nestmap.hpp"

namespace nestmap {

using capi::SmallVector;

namespace {

// Dictionary-level lookup: a new reference, or NULL with KeyError(key) set.
Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* value;
    int found = PyDict_GetItemRef(dict, key, &value);
    if (found == 0) capi::raise_object(PyExc_KeyError, key);
    return Ref::steal(value);
}

Ref substring(PyObject* key, Py_ssize_t start, Py_ssize_t end) {
    if (start == 0 && end == PyUnicode_GET_LENGTH(key)) return Ref::borrow(key);
    return Ref::steal(PyUnicode_Substring(key, start, end));
}

// A str key cut into its parts as a walk reaches them.
class DottedKey {
public:
    explicit DottedKey(PyObject* key) noexcept : key_(key), end_(PyUnicode_GET_LENGTH(key)) {}

    // The next part into `part`: 1 when more parts follow it, 0 for the
    // last part, -1 on error.
    int next(Ref& part) {
        Py_ssize_t dot = PyUnicode_FindChar(key_, '.', pos_, end_, 1);
        if (dot == -2) return -1;
        const Py_ssize_t stop = dot < 0 ? end_ : dot;
        part = substring(key_, pos_, stop);
        if (!part) return -1;
        walked_ = stop;
        pos_ = stop + 1;
        return dot >= 0;
    }
    // What follows the last part given (the key for the value there).
    Ref rest() const { return substring(key_, pos_, end_); }
    // The key up to the last part given, included.
    Ref walked() const { return substring(key_, 0, walked_); }

private:
    PyObject* key_;  // borrowed: the caller's argument
    const Py_ssize_t end_;
    Py_ssize_t pos_ = 0, walked_ = 0;
};

// A key that is not a str: `'.' in key`, then `head, rest = key.split('.', 1)`,
// exactly as Python would run them (an int key fails in the first test).
// Returns 1 with head and rest set, 0 when the key has no ".", -1 on error.
int split_other(State& st, PyObject* key, Ref& head, Ref& rest) {
    int dotted = PySequence_Contains(key, st.s_dot.get());
    if (dotted < 0 && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "NestMap keys are strings (dotted paths); a key of type %.200s cannot be "
                     "tested for '.'",
                     Py_TYPE(key)->tp_name);
        return -1;
    }
    if (dotted <= 0) return dotted;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return -1;
    Ref parts = Ref::steal(capi::call_method(key, st.s_split.get(), st.s_dot.get(), one.get()));
    if (!parts) return -1;
    Ref seq = Ref::steal(PySequence_Tuple(parts.get()));
    if (!seq) return -1;
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n != 2) return unpack_error(n);
    head = Ref::borrow(PyTuple_GET_ITEM(seq.get(), 0));
    rest = Ref::borrow(PyTuple_GET_ITEM(seq.get(), 1));
    return 1;
}

// After `value[rest]` (or its deletion) failed on the way along `key`: a
// TypeError from a value that is no mapping means the path runs through a
// plain value; say which. `path` is the part of the key that led to it.
void explain_plain_value(State& st, PyObject* key, PyObject* path, PyObject* value) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) || PyDict_Check(value)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    int mapping = PyObject_IsInstance(value, st.Mapping.get());
    if (mapping < 0) return;  // that error replaces the first
    if (mapping) {
        PyErr_SetRaisedException(exc.release());
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 "NestMap key %.200R goes through %.200R, which holds a %.200s value, not a keyed list", key, path,
                 Py_TYPE(value)->tp_name);
}

// A _tkinter.Tcl_Obj of TclX's keyed-list type.
int is_keyed_list_obj(State& st, PyObject* value) {
    if (!PyObject_TypeCheck(value, st.TclObj.as<PyTypeObject>())) return 0;
    Ref name = Ref::steal(PyObject_GetAttr(value, st.s_typename.get()));
    if (!name) return -1;
    return PyObject_RichCompareBool(name.get(), st.s_keyed_list.get(), Py_EQ);
}

// The last step of an assignment, at the level that holds `key`: a sub-list
// may not replace a leaf; anything else is stored as it is.
int store(State& st, PyObject* dict, PyObject* key, PyObject* value) {
    if (st.is_nestmap(value)) {
        PyObject* old;
        int found = PyDict_GetItemRef(dict, key, &old);
        if (found < 0) return -1;
        Ref held = Ref::steal(old);
        if (found && !st.is_nestmap(old)) return target_key_error(key);
    }
    return PyDict_SetItem(dict, key, value);
}

// What is left of `path` (which may hold more dots) as a chain of fresh
// NestMaps, the innermost holding `value`. Built bottom-up, so an assignment
// that fails half-way has not yet touched the mapping it was going into.
Ref new_chain(State& st, DottedKey& path, PyObject* value) {
    SmallVector<Ref, 8> parts;
    for (int more = 1; more > 0;) {
        Ref part;
        more = path.next(part);
        if (more < 0) return {};
        parts.push_back(std::move(part));
    }
    Ref inner = Ref::borrow(value);
    for (size_t i = parts.size(); i-- > 0;) {
        Ref level = new_nestmap(st);
        if (!level || PyDict_SetItem(level.get(), parts[i].get(), inner.get()) < 0) return {};
        inner = std::move(level);
    }
    return inner;
}

}  // namespace

Ref new_nestmap(State& st) {
    // NestMap's __new__ is dict's, and its __init__ without arguments adds
    // nothing to an empty mapping.
    Ref args = Ref::steal(PyTuple_New(0));
    if (!args) return {};
    return Ref::steal(st.cls()->tp_new(st.cls(), args.get(), nullptr));
}

int target_key_error(PyObject* key) {
    Ref text = Ref::steal(
        PyUnicode_FromFormat("target key \"%S\" is a value, cannot update value against another keyed list", key));
    if (text) capi::raise_object(PyExc_KeyError, text.get());
    return -1;
}

Ref subscript(State& st, PyObject* obj, PyObject* key) {
    if (st.own(obj)) return get_item(st, obj, key);
    return Ref::steal(PyObject_GetItem(obj, key));
}

int assign(State& st, PyObject* obj, PyObject* key, PyObject* value) {
    if (st.own(obj)) return set_item(st, obj, key, value);
    return PyObject_SetItem(obj, key, value);
}

Ref get_item(State& st, PyObject* self, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        Ref head, rest;
        int dotted = split_other(st, key, head, rest);
        if (dotted < 0) return {};
        if (!dotted) return dict_get(self, key);
        Ref value = dict_get(self, head.get());
        if (!value) return {};
        Ref result = Ref::steal(PyObject_GetItem(value.get(), rest.get()));
        if (!result) explain_plain_value(st, key, head.get(), value.get());
        return result;
    }
    DottedKey path(key);
    Ref level = Ref::borrow(self);
    for (;;) {
        Ref part;
        int more = path.next(part);
        if (more < 0) return {};
        Ref value = dict_get(level.get(), part.get());
        if (!more || !value) return value;
        if (!st.own(value.get())) {
            Ref rest = path.rest();
            if (!rest) return {};
            Ref result = Ref::steal(PyObject_GetItem(value.get(), rest.get()));
            if (!result) {
                Ref walked = path.walked();
                if (walked) explain_plain_value(st, key, walked.get(), value.get());
            }
            return result;
        }
        level = std::move(value);
    }
}

int set_item(State& st, PyObject* self, PyObject* key, PyObject* value_in) {
    Ref value = Ref::borrow(value_in);
    int keyed = is_keyed_list_obj(st, value_in);
    if (keyed < 0) return -1;
    if (keyed) {
        value = from_tcl(st, value_in);
        if (!value) return -1;
    }

    if (!PyUnicode_Check(key)) {
        Ref head, rest;
        int dotted = split_other(st, key, head, rest);
        if (dotted < 0) return -1;
        if (!dotted) return store(st, self, key, value.get());
        Ref sub;
        int present = PyDict_GetItemRef(self, head.get(), sub.out());
        if (present < 0) return -1;
        if (!present) {
            Ref fresh = new_nestmap(st);
            if (!fresh || assign(st, fresh.get(), rest.get(), value.get()) < 0) return -1;
            return PyDict_SetItem(self, head.get(), fresh.get());
        }
        if (!st.is_nestmap(sub.get())) return target_key_error(head.get());
        return assign(st, sub.get(), rest.get(), value.get());
    }

    DottedKey path(key);
    Ref level = Ref::borrow(self);
    for (;;) {
        Ref part;
        int more = path.next(part);
        if (more < 0) return -1;
        if (!more) return store(st, level.get(), part.get(), value.get());
        Ref sub;
        int present = PyDict_GetItemRef(level.get(), part.get(), sub.out());
        if (present < 0) return -1;
        if (!present) {
            Ref chain = new_chain(st, path, value.get());
            return chain ? PyDict_SetItem(level.get(), part.get(), chain.get()) : -1;
        }
        if (!st.is_nestmap(sub.get())) return target_key_error(part.get());
        if (!st.own(sub.get())) {
            Ref rest = path.rest();
            return rest ? PyObject_SetItem(sub.get(), rest.get(), value.get()) : -1;
        }
        level = std::move(sub);
    }
}

int contains(State& st, PyObject* self, PyObject* key) {
    // Through a leaf that is not a mapping nothing is in the map: a str leaf
    // would otherwise answer a substring test.
    auto contains_in_value = [&](PyObject* value, PyObject* rest) -> int {
        if (!PyDict_Check(value)) {
            int mapping = PyObject_IsInstance(value, st.Mapping.get());
            if (mapping <= 0) return mapping;
        }
        return PySequence_Contains(value, rest);
    };
    if (!PyUnicode_Check(key)) {
        Ref head, rest;
        int dotted = split_other(st, key, head, rest);
        if (dotted < 0) return -1;
        if (!dotted) return PyDict_Contains(self, key);
        Ref value;
        int present = PyDict_GetItemRef(self, head.get(), value.out());
        return present <= 0 ? present : contains_in_value(value.get(), rest.get());
    }
    DottedKey path(key);
    Ref level = Ref::borrow(self);
    for (;;) {
        Ref part;
        int more = path.next(part);
        if (more < 0) return -1;
        if (!more) return PyDict_Contains(level.get(), part.get());
        Ref value;
        int present = PyDict_GetItemRef(level.get(), part.get(), value.out());
        if (present <= 0) return present;
        if (!st.own(value.get())) {
            Ref rest = path.rest();
            return rest ? contains_in_value(value.get(), rest.get()) : -1;
        }
        level = std::move(value);
    }
}

int del_item(State& st, PyObject* self, PyObject* key) {
    // The levels passed through, to prune the sub-lists left empty from the
    // bottom up once the deletion is done.
    struct Level {
        Ref dict, head, value;
    };
    SmallVector<Level, 8> path;

    if (!PyUnicode_Check(key)) {
        Ref head, rest;
        int dotted = split_other(st, key, head, rest);
        if (dotted < 0) return -1;
        if (!dotted) return PyDict_DelItem(self, key);
        Ref value = dict_get(self, head.get());
        if (!value) return -1;
        if (PyObject_DelItem(value.get(), rest.get()) < 0) {
            explain_plain_value(st, key, head.get(), value.get());
            return -1;
        }
        path.push_back(Level{Ref::borrow(self), std::move(head), std::move(value)});
    } else {
        DottedKey walk(key);
        Ref level = Ref::borrow(self);
        for (;;) {
            Ref part;
            int more = walk.next(part);
            if (more < 0) return -1;
            if (!more) {
                if (PyDict_DelItem(level.get(), part.get()) < 0) return -1;
                break;
            }
            Ref value = dict_get(level.get(), part.get());
            if (!value) return -1;
            path.push_back(Level{Ref::borrow(level.get()), std::move(part), Ref::borrow(value.get())});
            if (!st.own(value.get())) {
                Ref rest = walk.rest();
                if (!rest) return -1;
                if (PyObject_DelItem(value.get(), rest.get()) < 0) {
                    Ref walked = walk.walked();
                    if (walked) explain_plain_value(st, key, walked.get(), value.get());
                    return -1;
                }
                break;
            }
            level = std::move(value);
        }
    }
    for (size_t i = path.size(); i-- > 0;) {
        int truth = PyObject_IsTrue(path[i].value.get());
        if (truth < 0) return -1;
        if (!truth && PyDict_DelItem(path[i].dict.get(), path[i].head.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace nestmap
