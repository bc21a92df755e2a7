// Building, merging and listing NestMaps, and their Tcl form both ways.
#include <vector>

#include "nestmap.hpp"

namespace nestmap {

using capi::RecursionGuard;
using capi::SmallVector;

namespace {

constexpr const char* kWhere = " while converting a keyed list";

bool exception_matches_any(PyObject* a, PyObject* b) {
    return PyErr_ExceptionMatches(a) || (b != nullptr && PyErr_ExceptionMatches(b));
}

// True when dict(value) is sure to fail, so a NestMap(value) need not be
// tried: a non-empty str (its characters are one long), numbers, None, a
// Tcl_Obj and non-empty bytes (not iterable, or iterating to ints).
bool surely_leaf(State& st, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) > 0;
    if (PyBytes_CheckExact(value)) return PyBytes_GET_SIZE(value) > 0;
    return PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value) ||
           PyComplex_CheckExact(value) || value == Py_None || Py_IS_TYPE(value, st.TclObj.as<PyTypeObject>());
}

// NestMap(value) for a value of the constructor's input. Returns 1 with
// `out` set, 0 when dict() (or the nested construction) refuses the value
// with ValueError or TypeError, so it stays a leaf, and -1 on other errors.
int nested_from_value(State& st, PyObject* value, Ref& out) {
    if (surely_leaf(st, value)) return 0;
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return -1;
    Ref dsc = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
    Ref sub = dsc ? new_nestmap(st) : Ref();
    if (sub && init_from_dict(st, sub.get(), dsc.get()) == 0) {
        out = std::move(sub);
        return 1;
    }
    if (exception_matches_any(PyExc_ValueError, PyExc_TypeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Calls `f(key, value)` for every item of a dict in order, holding both, and
// fails as Python's iteration does if the dict changes size meanwhile.
template <class F>
int for_each_item(PyObject* dict, F&& f) {
    Py_ssize_t pos = 0;
    Ref key, value;
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    // Each key and value is taken as a strong reference under the dict's
    // lock: `f` runs Python code, and other threads may change the dict.
    while (capi::dict_next(dict, pos, key, value)) {
        if (f(key.get(), value.get()) < 0) return -1;
        if (PyDict_GET_SIZE(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
    }
    return 0;
}

// a + b, with a fast path for two str.
Ref concat(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref::steal(PyUnicode_Concat(a, b));
    return Ref::steal(PyNumber_Add(a, b));
}

// Appends the entries of `self` to `out`, each key behind `prefix` (NULL at
// the top level).
int collect_entries(State& st, PyObject* self, PyObject* prefix, bool items, PyObject* out) {
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return -1;
    return for_each_item(self, [&](PyObject* key, PyObject* value) -> int {
        Ref full = prefix ? concat(prefix, key) : Ref::borrow(key);
        if (!full) return -1;
        if (st.is_nestmap(value)) {
            Ref sub_prefix = concat(full.get(), st.s_dot.get());
            if (!sub_prefix) return -1;
            return collect_entries(st, value, sub_prefix.get(), items, out);
        }
        if (!items) return PyList_Append(out, full.get());
        Ref pair = Ref::steal(PyTuple_Pack(2, full.get(), value));
        return pair ? PyList_Append(out, pair.get()) : -1;
    });
}

// other.all_items(): ours for a NestMap, its own method for a subclass.
Ref all_items_of(State& st, PyObject* other) {
    if (st.own(other)) return all_entries(st, other, true);
    return Ref::steal(capi::call_method(other, st.s_all_items.get()));
}

// `key, value = pair`, with Python's errors; both held, so a pair that is a
// list may change afterwards.
int unpack_pair(PyObject* pair, Ref& key, Ref& value) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        key = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        }
        return -1;
    }
    Ref parts[3];
    Py_ssize_t got = 0;
    for (; got < 3; ++got) {
        parts[got] = Ref::steal(PyIter_Next(it.get()));
        if (!parts[got]) break;
    }
    if (PyErr_Occurred()) return -1;
    if (got != 2) return unpack_error(got);
    key = std::move(parts[0]);
    value = std::move(parts[1]);
    return 0;
}

// sub.update(other) for a NestMap `sub`.
int update_one(State& st, PyObject* sub, PyObject* other) {
    if (st.own(sub)) {
        Ref args = Ref::steal(PyTuple_Pack(1, other));
        return args ? update(st, sub, args.get(), nullptr) : -1;
    }
    Ref r = Ref::steal(capi::call_method(sub, st.s_update.get(), other));
    return r ? 0 : -1;
}

PyObject* tclobj_of(State& st, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
    return PyObject_CallOneArg(st.tclobj.get(), obj);
}

}  // namespace

int init_from_dict(State& st, PyObject* self, PyObject* dsc) {
    // Only values are replaced here, so the keys (and the walk) stay as they are.
    int r = for_each_item(dsc, [&](PyObject* key, PyObject* value) -> int {
        if (st.is_nestmap(value)) return 0;
        Ref sub;
        int made = nested_from_value(st, value, sub);
        if (made <= 0) return made;
        return PyDict_SetItem(dsc, key, sub.get());
    });
    if (r < 0) return -1;
    if (st.own(self)) return update_from_dict(st, self, dsc);
    Ref done = Ref::steal(capi::call_method(self, st.s_update.get(), dsc));
    return done ? 0 : -1;
}

int update_from_dict(State& st, PyObject* self, PyObject* dict) {
    return for_each_item(dict, [&](PyObject* key, PyObject* value) { return assign(st, self, key, value); });
}

int update(State& st, PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)", nargs);
        return -1;
    }
    if (nargs == 1) {
        PyObject* other = PyTuple_GET_ITEM(args, 0);
        if (st.is_nestmap(other)) {
            // Leaf by leaf: the sub-lists of self stay and take in other's leaves.
            Ref items = all_items_of(st, other);
            Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
            if (!it) return -1;
            while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
                Ref key, value;
                if (unpack_pair(pair.get(), key, value) < 0 || assign(st, self, key.get(), value.get()) < 0) {
                    return -1;
                }
            }
            if (PyErr_Occurred()) return -1;
        } else if (PyDict_CheckExact(other)) {
            if (update_from_dict(st, self, other) < 0) return -1;
        } else {
            Ref r = Ref::steal(PyObject_CallFunctionObjArgs(st.mm_update.get(), self, other, nullptr));
            if (!r) return -1;
        }
    }
    if (kwargs == nullptr) return 0;
    // Keywords merge: a sub-list given by keyword is merged into the one of
    // the same name instead of replacing it.
    return for_each_item(kwargs, [&](PyObject* key, PyObject* value) -> int {
        if (!st.is_nestmap(value)) return assign(st, self, key, value);
        Ref sub = subscript(st, self, key);
        if (!sub) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
            PyErr_Clear();
            sub = new_nestmap(st);
            if (!sub || assign(st, self, key, sub.get()) < 0) return -1;
        } else if (!st.is_nestmap(sub.get())) {
            return target_key_error(key);
        }
        return update_one(st, sub.get(), value);
    });
}

Ref all_entries(State& st, PyObject* self, bool items) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out || collect_entries(st, self, nullptr, items, out.get()) < 0) return {};
    return out;
}

// A step of a recursive walk: a new reference, the C API's way (ref.hpp).
PyObject* to_tcl(State& st, PyObject* self) {
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return nullptr;
    // The items as they are now; converting values may run Python code.
    SmallVector<Ref, 16> items;
    capi::dict_items(self, items);
    const Py_ssize_t n = static_cast<Py_ssize_t>(items.size() / 2);
    Ref result = Ref::steal(PyTuple_New(n));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = items[2 * i].get();
        PyObject* value = items[2 * i + 1].get();
        Ref tkey = Ref::steal(tclobj_of(st, key));
        if (!tkey) return nullptr;
        Ref tvalue = Ref::steal(st.own(value) ? to_tcl(st, value) : tclobj_of(st, value));
        if (!tvalue) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) return nullptr;
        PyTuple_SET_ITEM(pair, 0, tkey.release());
        PyTuple_SET_ITEM(pair, 1, tvalue.release());
        PyTuple_SET_ITEM(result.get(), i, pair);
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Parsing the Tcl form

namespace {

bool tcl_space(Py_UCS4 c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// True for a str that any Tcl list parser reads as one element, itself:
// not empty, without white space, backslashes or NUL, and not starting
// with a brace or a double quote. Such a word is no list of pairs.
bool plain_word(PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_UCS4 first = PyUnicode_READ(kind, data, 0);
    if (first == '{' || first == '"') return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (tcl_space(c) || c == '\\' || c == 0) return false;
    }
    return true;
}

struct Parser {
    State& st;
    PyObject* cast_list;  // the package's cast_list

    enum Result { Error = -1, Leaf = 0, Keyed = 1 };

    // Inside a value, text that is no list of pairs is a leaf: dict()'s
    // ValueError says so, and so does a TclError of cast_list (a leaf such as
    // "{" is no list at all, yet a perfectly good keyed-list value).
    Result nested_failure(bool top) {
        if (!top && exception_matches_any(PyExc_ValueError, st.TclError.get())) {
            PyErr_Clear();
            return Leaf;
        }
        return Error;
    }

    Result not_a_pair(bool top, Py_ssize_t index, PyObject* element, Py_ssize_t length) {
        if (!top) return Leaf;
        PyErr_Format(PyExc_ValueError,
                     "keyed list element #%zd (%.80R) is not a key/value pair: it has %zd element%s, not 2", index,
                     element, length, length == 1 ? "" : "s");
        return Error;
    }

    // cast_list(value), as a tuple: a snapshot, whatever sequence cast_list
    // returns and whatever it does with that sequence later.
    Ref split(PyObject* value) {
        Ref elements = Ref::steal(PyObject_CallOneArg(cast_list, value));
        if (!elements) return {};
        if (PyTuple_CheckExact(elements.get())) return elements;
        return Ref::steal(PySequence_Tuple(elements.get()));
    }

    // dict([cast_list(e) for e in cast_list(text)]), values parsed again;
    // `top` for the text given to from_tcl, whose errors all propagate.
    // Inside a value, the first element that is no pair settles it: a leaf.
    Result parse(PyObject* text, bool top, Ref& out) {
        if (!top && plain_word(text)) return Leaf;
        RecursionGuard guard;
        if (!guard.enter(kWhere)) return Error;
        Ref elements = split(text);
        if (!elements) return nested_failure(top);
        const Py_ssize_t n = PyTuple_GET_SIZE(elements.get());
        if (n == 1) {
            // A word whose only element is itself would split into itself
            // again: one element, so not a pair.
            PyObject* only = PyTuple_GET_ITEM(elements.get(), 0);
            if (PyUnicode_CheckExact(text) && PyUnicode_CheckExact(only)) {
                int same = PyUnicode_Compare(text, only);
                if (same == -1 && PyErr_Occurred()) return Error;
                if (same == 0) return not_a_pair(top, 0, only, 1);
            }
        }
        // At the top, all elements are split before any is checked, as the
        // list that dict() receives is built in full first.
        std::vector<Ref> pairs;
        pairs.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* element = PyTuple_GET_ITEM(elements.get(), i);  // the tuple holds it
            if (!top && plain_word(element)) return Leaf;
            Ref pair = split(element);
            if (!pair) return nested_failure(top);
            if (!top && PyTuple_GET_SIZE(pair.get()) != 2) return Leaf;
            pairs.push_back(std::move(pair));
        }
        Ref dsc = Ref::steal(PyDict_New());
        if (!dsc) return Error;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = pairs[static_cast<size_t>(i)].get();  // tuples: their items stay
            Py_ssize_t size = PyTuple_GET_SIZE(pair);
            if (size != 2) return not_a_pair(top, i, PyTuple_GET_ITEM(elements.get(), i), size);
            if (PyDict_SetItem(dsc.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return Error;
        }
        pairs.clear();
        int r = for_each_item(dsc.get(), [&](PyObject* key, PyObject* value) -> int {
            if (st.is_nestmap(value)) return 0;
            Ref sub;
            Result parsed = parse(value, false, sub);
            if (parsed != Keyed) return parsed;
            return PyDict_SetItem(dsc.get(), key, sub.get());
        });
        if (r < 0) return Error;
        Ref klist = new_nestmap(st);
        if (!klist || update_from_dict(st, klist.get(), dsc.get()) < 0) return Error;
        out = std::move(klist);
        return Keyed;
    }
};

// brelt.tcl.cast_list, looked up at every use: the package is imported only
// now, when a keyed list is parsed, never at the import of this module.
Ref package_cast_list(State& st) {
    Ref package = Ref::steal(PyImport_GetModule(st.s_package.get()));
    if (!package) {
        if (PyErr_Occurred()) return {};
        package = Ref::steal(PyImport_Import(st.s_package.get()));
        if (!package) return {};
    }
    return Ref::steal(PyObject_GetAttr(package.get(), st.s_cast_list.get()));
}

}  // namespace

Ref from_tcl(State& st, PyObject* value) {
    Ref cast_list = package_cast_list(st);
    if (!cast_list) return {};
    Parser parser{st, cast_list.get()};
    Ref out;
    if (parser.parse(value, true, out) != Parser::Keyed) return {};
    return out;
}

}  // namespace nestmap
