// quotify() and tclobj(): Python values to Tcl text and Tcl-ready values.
#include <algorithm>

#include "quoting.hpp"
#include "quotify.hpp"

namespace quotify {

// The two walks (quotify() and tclobj(), with their list and mapping steps)
// return new references as the C API does, not a Ref: they recurse through
// every element of a value, and a Ref returned at each step (through memory,
// as any class with a destructor is) cost tclobj() 6 % of its instructions
// on a small nested dict under callgrind. quotify() has the same shape.

using capi::RecursionGuard;
using capi::SmallVector;

namespace {

constexpr const char* kWhere = " while converting a Python object for Tcl";

// Exact built-in types: their instances cannot carry the conversion hooks,
// so the attribute look-ups are skipped for them.
bool hookless(PyTypeObject* t) noexcept {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyBool_Type || t == &PyFloat_Type || t == &PyList_Type ||
           t == &PyTuple_Type || t == &PyDict_Type || t == &PySet_Type || t == &PyFrozenSet_Type ||
           t == &PyBytes_Type || t == &PyByteArray_Type || t == &PyRange_Type || t == &PyComplex_Type ||
           t == Py_TYPE(Py_None);
}

// A hook counts only when the attribute exists and is true. Returns 1 with
// `func` set, 0 when absent or false, -1 on error.
int find_hook(PyObject* obj, PyObject* name, Ref& func) {
    if (PyObject_GetOptionalAttr(obj, name, func.out()) < 0) return -1;
    if (!func) return 0;
    int truth = PyObject_IsTrue(func.get());
    if (truth <= 0) func.reset();
    return truth;
}

enum class Shape { Scalar, Sequence, Mapping };

// Sequence or Set (collections.abc) is a list; Mapping a flat key/value list.
int shape_of(State& st, PyObject* obj, Shape& shape) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyAnySet_CheckExact(obj) || PyRange_Check(obj) ||
        PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj)) {
        shape = Shape::Sequence;
        return 0;
    }
    if (PyDict_CheckExact(obj)) {
        shape = Shape::Mapping;
        return 0;
    }
    shape = Shape::Scalar;
    if (hookless(Py_TYPE(obj))) return 0;
    for (PyObject* abc : {st.Sequence.get(), st.Set.get()}) {
        int r = PyObject_IsInstance(obj, abc);
        if (r != 0) {
            shape = Shape::Sequence;
            return r < 0 ? -1 : 0;
        }
    }
    int r = PyObject_IsInstance(obj, st.Mapping.get());
    if (r > 0) shape = Shape::Mapping;
    return r < 0 ? -1 : 0;
}

bool int_fits_word(PyObject* obj) noexcept {
    // -sys.maxsize - 1 <= obj <= sys.maxsize
    if (PyLong_AsSsize_t(obj) == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Calls `add(item)` for every element of `iterable`, in iteration order.
// A list is walked by index with its size read again at each step, as its
// iterator does: a hook may have changed it meanwhile.
template <class F>
bool for_each_item(PyObject* iterable, F&& add) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0;; ++i) {
#ifdef Py_GIL_DISABLED
            // Another thread may replace any item at any moment: each one is
            // taken as a strong reference under the list's lock.
            Ref held = capi::list_item(iterable, i);
            if (!held) return true;
            if (!add(held.get())) return false;
#else
            if (i >= PyList_GET_SIZE(iterable)) return true;
            PyObject* item = PyList_GET_ITEM(iterable, i);
            // A str is kept alive by the list while it is written: the GIL
            // stays held and writing a str runs no Python code, so neither
            // another thread nor a hook can drop it meanwhile. Anything
            // else is held while it is converted.
            if (PyUnicode_CheckExact(item)) {
                if (!add(item)) return false;
                continue;
            }
            Ref held = Ref::borrow(item);
            if (!add(held.get())) return false;
#endif
        }
    }
    if (PyTuple_CheckExact(iterable)) {
        // The caller holds the tuple, and a tuple's items never change.
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) {
            if (!add(PyTuple_GET_ITEM(iterable, i))) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!add(item.get())) return false;
    }
    return !PyErr_Occurred();
}

Py_ssize_t size_hint(PyObject* iterable) noexcept {
    if (PyList_CheckExact(iterable)) return PyList_GET_SIZE(iterable);
    if (PyTuple_CheckExact(iterable)) return PyTuple_GET_SIZE(iterable);
    return 0;
}

// Keys and values of a mapping, alternately, each value read as mapping[key].
template <size_t N>
bool collect_pairs(PyObject* mapping, SmallVector<Ref, N>& out) {
    if (PyDict_CheckExact(mapping)) {
        capi::dict_items(mapping, out);
        return true;
    }
    return for_each_item(mapping, [&](PyObject* key) {
        Ref value = Ref::steal(PyObject_GetItem(mapping, key));
        if (!value) return false;
        out.emplace_back(Ref::borrow(key));
        out.emplace_back(std::move(value));
        return true;
    });
}

// Writes a Tcl list as the elements come: each one is scanned and written
// while its characters are in cache, and the strings are never walked a
// second time. A short list is written on the stack and copied once into a
// str of its exact size; a long one straight into its str, which grows by
// the cheap bound of each element (2 * n + 2), widens when an element needs
// wider characters, and is cut to its length once, at the end.
class ListWriter {
public:
    explicit ListWriter(Py_ssize_t count_hint) noexcept : hint_(count_hint) {}
    ListWriter(const ListWriter&) = delete;
    ListWriter& operator=(const ListWriter&) = delete;

    // Appends one element, a str, which the caller keeps alive (a str never
    // changes, and nothing here runs Python code).
    bool add(PyObject* str) noexcept {
        using namespace quoting;
#if PY_VERSION_HEX < 0x030C0000
        // Strings made by the old C API may not be ready before 3.12.
        if (PyUnicode_READY(str) < 0) return false;
#endif
        const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
        const Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(str);
        // A blank, the element at its longest, and the fast path's slack.
        if (n > (PY_SSIZE_T_MAX / 4 - pos_ - kSlack - 3) / 2) {
            PyErr_NoMemory();
            return false;
        }
        const Py_ssize_t need = pos_ + 2 * n + 3 + kSlack;
        if (need > cap_ || maxchar > maxchar_) {
            if (!make_room(need, maxchar)) return false;
        }
        const void* src = PyUnicode_DATA(str);
        switch (kind_ * 8 + PyUnicode_KIND(str)) {
            case 1 * 8 + 1: pos_ = put(static_cast<Py_UCS1*>(buf_), static_cast<const Py_UCS1*>(src), n); break;
            case 2 * 8 + 1: pos_ = put(static_cast<Py_UCS2*>(buf_), static_cast<const Py_UCS1*>(src), n); break;
            case 2 * 8 + 2: pos_ = put(static_cast<Py_UCS2*>(buf_), static_cast<const Py_UCS2*>(src), n); break;
            case 4 * 8 + 1: pos_ = put(static_cast<Py_UCS4*>(buf_), static_cast<const Py_UCS1*>(src), n); break;
            case 4 * 8 + 2: pos_ = put(static_cast<Py_UCS4*>(buf_), static_cast<const Py_UCS2*>(src), n); break;
            default: pos_ = put(static_cast<Py_UCS4*>(buf_), static_cast<const Py_UCS4*>(src), n); break;
        }
        return true;
    }

    // The list, a str.
    Ref finish() noexcept {
        if (pos_ == 0) return Ref::steal(PyUnicode_New(0, 0));
        if (!heap_) {
            Ref out = Ref::steal(PyUnicode_New(pos_, maxchar_));
            if (out) std::memcpy(PyUnicode_DATA(out.get()), buf_, static_cast<size_t>(pos_) * kind_);
            return out;
        }
        if (resize(pos_) < 0) return {};
        return std::move(heap_);
    }

private:
    // Blank separator (all but the first element), then the element.
    template <class Out, class In>
    Py_ssize_t put(Out* base, const In* src, Py_ssize_t n) noexcept {
        Out* dst = base + pos_;
        if (pos_ > 0) *dst++ = ' ';  // every element writes something, so pos_ > 0 after the first
        return quoting::write_quoted(dst, src, n) - base;
    }

    int resize(Py_ssize_t length) noexcept {
        PyObject* p = heap_.release();
        int r = PyUnicode_Resize(&p, length);  // on failure p is the old string, still ours
        heap_ = Ref::steal(p);
        if (heap_) buf_ = PyUnicode_DATA(heap_.get());
        return r;
    }

    // Copies what was written into `dst`, a buffer of `kind`.
    void move_to(void* dst, int kind) noexcept {
        auto copy = [&](auto* out) {
            switch (kind_) {
                case 1: quoting::copy_chars(out, static_cast<const Py_UCS1*>(buf_), pos_); break;
                case 2: quoting::copy_chars(out, static_cast<const Py_UCS2*>(buf_), pos_); break;
                default: quoting::copy_chars(out, static_cast<const Py_UCS4*>(buf_), pos_); break;
            }
        };
        switch (kind) {
            case 1: copy(static_cast<Py_UCS1*>(dst)); break;
            case 2: copy(static_cast<Py_UCS2*>(dst)); break;
            default: copy(static_cast<Py_UCS4*>(dst)); break;
        }
    }

    // Room for `need` characters up to `maxchar`. On the stack while it
    // fits; then a str that grows in place by half again, or, when wider
    // characters arrive, is copied once into a str of the wider kind.
    bool make_room(Py_ssize_t need, Py_UCS4 maxchar) noexcept {
        const Py_UCS4 wider = std::max({maxchar_, maxchar, Py_UCS4{127}});
        const int kind = wider < 256 ? 1 : wider < 65536 ? 2 : 4;
        if (!heap_ && need * kind <= static_cast<Py_ssize_t>(sizeof(stack_)) &&
            (cap_ > 0 || hint_ <= static_cast<Py_ssize_t>(sizeof(stack_)) / 8)) {
            if (kind != kind_ && pos_ > 0) {
                alignas(8) unsigned char wide[sizeof(stack_)];
                move_to(wide, kind);
                std::memcpy(stack_, wide, static_cast<size_t>(pos_) * kind);
            }
            buf_ = stack_;
            cap_ = static_cast<Py_ssize_t>(sizeof(stack_)) / kind;
        } else if (heap_ && wider == maxchar_) {
            Py_ssize_t cap = std::max(need, cap_ + std::min(cap_ / 2, PY_SSIZE_T_MAX / 4 - cap_));
            if (resize(cap) < 0) return false;
            cap_ = cap;
        } else {
            Py_ssize_t cap = heap_ ? std::max(need, cap_ + std::min(cap_ / 2, PY_SSIZE_T_MAX / 4 - cap_))
                                   : std::max(need, std::min<Py_ssize_t>(hint_, 1 << 20) * 8 + 64);
            Ref fresh = Ref::steal(PyUnicode_New(cap, wider));
            if (!fresh) return false;
            if (pos_ > 0) move_to(PyUnicode_DATA(fresh.get()), kind);
            heap_ = std::move(fresh);
            buf_ = PyUnicode_DATA(heap_.get());
            cap_ = cap;
        }
        kind_ = kind;
        maxchar_ = wider;
        return true;
    }

    alignas(8) unsigned char stack_[256];
    void* buf_ = nullptr;
    Ref heap_;
    Py_ssize_t pos_ = 0, cap_ = 0, hint_;
    Py_UCS4 maxchar_ = 0;
    int kind_ = 0;
};

// The elements of one Tcl list, converted in phases: every element's
// quotify() conversion, hooks included, runs before the conversion again
// of any hook's result that is not a str ([e0, e1] where e0's hook returns
// a hooked object: hooks e0, e1, then that object's). Elements are written
// as they come while every one so far came out a str, which is the case
// without hooks; from the first result that is not a str on, the results
// wait in order and are written at the end.
class PhasedList {
public:
    PhasedList(State& st, Py_ssize_t count_hint) noexcept : st_(st), list_(count_hint) {}

    // The common case, a str while nothing waits, stays in the caller's loop.
    [[gnu::always_inline]] bool add(PyObject* item) {
        if (pending_.empty() && PyUnicode_CheckExact(item)) [[likely]]
            return list_.add(item);
        return convert_and_add(item);
    }

    Ref finish() {
        for (Ref& s : pending_) {
            if (!PyUnicode_Check(s.get())) {
                // Converted again, as any element is; a hook that keeps
                // returning hooked objects ends at the depth cap.
                RecursionGuard guard;
                if (!guard.enter(kWhere)) return {};
                s = Ref::steal(element_string(st_, s.get()));
                if (!s) return {};
            }
            if (!list_.add(s.get())) return {};
        }
        return list_.finish();
    }

private:
    [[gnu::noinline]] bool convert_and_add(PyObject* item) {
        Ref s = PyUnicode_CheckExact(item) ? Ref::borrow(item) : Ref::steal(quotify(st_, item));
        if (!s) return false;
        if (pending_.empty() && PyUnicode_Check(s.get())) return list_.add(s.get());
        pending_.emplace_back(std::move(s));
        return true;
    }

    State& st_;
    ListWriter list_;
    SmallVector<Ref, 8> pending_;
};

}  // namespace

PyObject* quotify(State& st, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
    if (obj == Py_None) return st.s_empty.new_ref();
    if (PyBool_Check(obj)) return (obj == Py_True ? st.s_true : st.s_false).new_ref();
    if (PyLong_CheckExact(obj) || PyFloat_CheckExact(obj)) return PyObject_Str(obj);
    if (!hookless(Py_TYPE(obj))) {
        Ref func;
        int found = find_hook(obj, st.s_quotify_hook.get(), func);
        if (found < 0) return nullptr;
        if (found) return PyObject_CallNoArgs(func.get());
        found = find_hook(obj, st.s_tclobj_hook.get(), func);
        if (found < 0) return nullptr;
        if (found) {
            Ref substitute = Ref::steal(PyObject_CallNoArgs(func.get()));
            if (!substitute) return nullptr;
            RecursionGuard guard;
            if (!guard.enter(kWhere)) return nullptr;
            return quotify(st, substitute.get());
        }
        if (PyUnicode_Check(obj)) return PyObject_Str(obj);
    }
    Shape shape;
    if (shape_of(st, obj, shape) < 0) return nullptr;
    switch (shape) {
        case Shape::Sequence: return list_from_iterable(st, obj);
        case Shape::Mapping: return list_from_mapping(st, obj);
        case Shape::Scalar: break;
    }
    return PyObject_Str(obj);
}

PyObject* element_string(State& st, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
    Ref s = Ref::steal(quotify(st, obj));
    if (!s || PyUnicode_Check(s.get())) return s.release();
    // A hook's result that is no str is converted again, as any element is;
    // a hook that keeps returning hooked objects ends at the depth cap.
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return nullptr;
    return element_string(st, s.get());
}

PyObject* list_from_iterable(State& st, PyObject* iterable) {
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return nullptr;
    PhasedList list(st, size_hint(iterable));
    bool ok = for_each_item(iterable, [&](PyObject* item) { return list.add(item); });
    return ok ? list.finish().release() : nullptr;
}

PyObject* list_from_mapping(State& st, PyObject* mapping) {
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return nullptr;
    SmallVector<Ref, 8> pairs;
    if (!collect_pairs(mapping, pairs)) return nullptr;
    PhasedList list(st, static_cast<Py_ssize_t>(pairs.size()));
    for (Ref& item : pairs) {
        if (!list.add(item.get())) return nullptr;
    }
    return list.finish().release();
}

PyObject* tclobj(State& st, PyObject* obj) {
    if (PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj) || PyBool_Check(obj) || PyFloat_CheckExact(obj) ||
        Py_IS_TYPE(obj, st.TclObj.as<PyTypeObject>())) {
        return Py_NewRef(obj);
    }
    if (PyLong_CheckExact(obj)) return int_fits_word(obj) ? Py_NewRef(obj) : PyObject_Str(obj);
    if (obj == Py_None) return st.s_empty.new_ref();
    if (!hookless(Py_TYPE(obj))) {
        Ref func;
        int found = find_hook(obj, st.s_tclobj_hook.get(), func);
        if (found < 0) return nullptr;
        if (found) return PyObject_CallNoArgs(func.get());
        if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyFloat_Check(obj) ||
            PyObject_TypeCheck(obj, st.TclObj.as<PyTypeObject>())) {
            return Py_NewRef(obj);
        }
    }
    Shape shape;
    if (shape_of(st, obj, shape) < 0) return nullptr;
    switch (shape) {
        case Shape::Sequence: return tuple_from_iterable(st, obj);
        case Shape::Mapping: return tuple_from_mapping(st, obj);
        case Shape::Scalar: break;
    }
    return quotify(st, obj);
}

namespace {

template <size_t N>
PyObject* tuple_of(SmallVector<Ref, N>& items) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

}  // namespace

PyObject* tuple_from_iterable(State& st, PyObject* iterable) {
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return nullptr;
    SmallVector<Ref, 8> items;
    items.reserve(static_cast<size_t>(size_hint(iterable)));
    bool ok = for_each_item(iterable, [&](PyObject* item) {
        PyObject* value = tclobj(st, item);
        if (value == nullptr) return false;
        items.emplace_back(Ref::steal(value));
        return true;
    });
    return ok ? tuple_of(items) : nullptr;
}

PyObject* tuple_from_mapping(State& st, PyObject* mapping) {
    RecursionGuard guard;
    if (!guard.enter(kWhere)) return nullptr;
    SmallVector<Ref, 8> pairs;
    if (!collect_pairs(mapping, pairs)) return nullptr;
    for (Ref& item : pairs) {
        PyObject* value = tclobj(st, item.get());
        if (value == nullptr) return nullptr;
        item.reset(value);
    }
    return tuple_of(pairs);
}

}  // namespace quotify
