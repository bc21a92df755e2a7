// The only place that reaches below CPython's public C API.
//
// Each entry says why it is worth it and what it falls back to. The private
// path is taken only on the releases it was checked against (3.11 to 3.14);
// any other release gets the public fallback, which does the same thing
// more slowly. (The one exception is the shim of PyObject_GetOptionalAttr
// below: on 3.13 and later it is the public function itself.)
#pragma once

#include <cstdint>

#include <climits>

#include "compat.hpp"
#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030F0000
#  define CAPI_KNOWN_RELEASE 1
#else
#  define CAPI_KNOWN_RELEASE 0
#endif

#if CAPI_KNOWN_RELEASE && PY_VERSION_HEX >= 0x030D0000
// Exported, but declared only in CPython's internal headers from 3.13 on.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

#if PY_VERSION_HEX < 0x030D0000
// PyObject_GetOptionalAttr appeared in 3.13; before, the same function was
// private as _PyObject_LookupAttr. The hooks of quotify() and tclobj() are
// looked up on every object converted, most of which lack them: the public
// PyObject_GetAttr would build and drop an AttributeError each time.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}
#endif

namespace capi {

// What `name` (a str) resolves to on the class `type` and its bases, as a
// strong reference, or NULL (no exception) when no class defines it. The hot
// paths use it to tell whether a class still has the method they know (so
// they may skip calling it) without the descriptor binding of getattr().
// _PyType_Lookup answers from CPython's method cache; the fallback walks the
// MRO as that function does.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) noexcept {
#if CAPI_KNOWN_RELEASE && defined(Py_GIL_DISABLED)
    // Free-threaded: another thread may change the class and drop what the
    // cache lent, so the answer comes as a strong reference (3.13 and 3.14).
    return Ref::steal(_PyType_LookupRef(type, name));
#elif CAPI_KNOWN_RELEASE
    // The GIL keeps the class as it is until the reference is taken.
    return Ref::borrow(_PyType_Lookup(type, name));
#else
#  ifdef Py_GIL_DISABLED
    // Another thread may assign __bases__ and drop the old MRO meanwhile.
    Ref hold = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    if (!hold) PyErr_Clear();
    PyObject* mro = hold.get();
    if (mro == nullptr || !PyTuple_Check(mro)) return {};
#  else
    // Borrowed from the class only until it is held, with nothing run in
    // between: the GIL keeps __bases__ from being assigned meanwhile.
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return {};
    Ref hold = Ref::borrow(mro);
#  endif
    // The tuple is held, and its items (the bases) never change.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        Ref found;
        if (dict && PyDict_GetItemRef(dict.get(), name, found.out()) != 0) {
            PyErr_Clear();
            return found;
        }
    }
    return {};
#endif
}

// The version tag of `type`, 0 when it has none. The tag changes whenever
// the class or a base is modified, so a fact about a class checked under one
// tag holds while the tag is the same (the guard of CPython's own
// specialising interpreter). The fallback reports no tag: nothing is cached.
inline unsigned int type_version(PyTypeObject* type) noexcept {
#if CAPI_KNOWN_RELEASE
#  if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
#  endif
    return type->tp_version_tag;
#else
    (void)type;
    return 0;
#endif
}

// obj.name by the generic attribute look-up (instance dict, then class),
// with a missing attribute reported as NULL without an exception set: the
// __getattr__ slots of the quick-call classes would otherwise build and drop
// an AttributeError on every path component.
inline PyObject* generic_getattr_or_null(PyObject* obj, PyObject* name) noexcept {
#if CAPI_KNOWN_RELEASE
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
#else
    PyObject* found = PyObject_GenericGetAttr(obj, name);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return found;
#endif
}

// Gives a class that type() built C slots for attribute look-up and calls,
// and the module that its instances' slots find with PyType_GetModuleByDef.
// The class stays a real Python class (ABCs, super(), subclasses): a
// subclass, or an assignment to the class's __getattr__ or __call__, gets
// CPython's own slots back, which call the methods in the class namespace,
// so the C slots must do exactly what those methods do. Returns false when
// it did nothing (on an unchecked release): the class's methods then run
// through CPython's own slots.
inline bool install_type_slots(PyObject* module, PyObject* cls, getattrofunc getattro, ternaryfunc call,
                               initproc init = nullptr) noexcept {
#if CAPI_KNOWN_RELEASE
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(cls);
    Py_XSETREF(heap->ht_module, Py_NewRef(module));
    if (getattro != nullptr) type->tp_getattro = getattro;
    if (call != nullptr) type->tp_call = call;
    if (init != nullptr) type->tp_init = init;
    PyType_Modified(type);
    return true;
#else
    (void)module, (void)cls, (void)getattro, (void)call, (void)init;
    return false;
#endif
}

// For classes that do not define some attribute names at all (the usual
// state of attributes that __init__ sets): obj.name is then exactly
// obj.__dict__[name], and AttributeError when it is missing. Whether a class
// and its bases define none of the names is checked once per class version
// (see type_version); without a version tag it is checked every time.
class PlainAttrs {
public:
    // Whether instances of `t` read all `n` names from their __dict__.
    bool applies(PyTypeObject* t, PyObject* const* names, size_t n) noexcept {
        if (t->tp_getattro != PyObject_GenericGetAttr) return false;
        if ((t->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 && t->tp_dictoffset == 0) return false;
        unsigned int tag = type_version(t);
        if (tag != 0 && known(t, tag)) return true;
        for (size_t i = 0; i < n; ++i) {
            if (type_lookup(t, names[i])) return false;
        }
        tag = type_version(t);
        if (tag != 0) remember(t, tag);
        return true;
    }

private:
    // The class and its tag are one fact: on the free-threaded build they
    // are read and written together under a lock, so no thread pairs one
    // class with another's tag.
    bool known(PyTypeObject* t, unsigned int tag) noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&lock_);
        bool same = t == type_ && tag == tag_;
        PyMutex_Unlock(&lock_);
        return same;
#else
        return t == type_ && tag == tag_;
#endif
    }

    void remember(PyTypeObject* t, unsigned int tag) noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&lock_);
#endif
        type_ = t;
        tag_ = tag;
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&lock_);
#endif
    }

    PyTypeObject* type_ = nullptr;  // compared, never followed
    unsigned int tag_ = 0;
#ifdef Py_GIL_DISABLED
    PyMutex lock_ = {};
#endif
};

// Whether `obj` is held by exactly one reference, the caller's, and by no
// weak reference: nobody else can see it, so handing it out again is the
// same as handing out a new one. Never on a free-threaded build (reference
// counts are split between threads there) nor on an unchecked release.
#if CAPI_KNOWN_RELEASE && !defined(Py_GIL_DISABLED)
inline constexpr bool can_tell_held_only_by_caller = true;
#else
inline constexpr bool can_tell_held_only_by_caller = false;
#endif

inline bool held_only_by_caller(PyObject* obj) noexcept {
#if CAPI_KNOWN_RELEASE && !defined(Py_GIL_DISABLED)
    if (Py_REFCNT(obj) != 1) return false;
    Py_ssize_t offset = Py_TYPE(obj)->tp_weaklistoffset;
    // Positive: a slot in the object; negative (3.12 on): CPython's managed
    // slot before it, at the same address arithmetic.
    return offset == 0 || *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset) == nullptr;
#else
    (void)obj;
    return false;
#endif
}

// obj.name as a method call would find it, without binding: 1 with the
// class's function in `out` (to be called with obj first), 0 with the
// attribute as getattr() gives it, -1 with an exception set. Lets a caller
// recognise a function it knows without building a bound method.
inline int get_method(PyObject* obj, PyObject* name, Ref& out) noexcept {
#if CAPI_KNOWN_RELEASE
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &found);
    out = Ref::steal(found);
    return found == nullptr ? -1 : unbound;
#else
    out = Ref::steal(PyObject_GetAttr(obj, name));
    return out ? 0 : -1;
#endif
}

#if CAPI_KNOWN_RELEASE && !defined(Py_GIL_DISABLED)
// The dict CPython made for `obj`, whose class manages its dict (borrowed),
// or NULL while it keeps the attributes inline without one. It is read from
// the object's managed-dict slot: three words before the object on every
// checked release with the GIL; on 3.12 a set lowest bit marks inline
// values there instead.
inline PyObject* made_managed_dict(PyObject* obj) noexcept {
    PyObject* d = reinterpret_cast<PyObject**>(obj)[-3];
    return d != nullptr && (reinterpret_cast<uintptr_t>(d) & 1) == 0 ? d : nullptr;
}
#endif

// obj.__dict__ as PyObject_GenericGetDict gives it (a new reference; NULL
// with an exception set). The request paths fetch the dicts of the same
// few objects on every call: once CPython made the dict object, it is
// taken from the managed-dict slot, without the call.
inline Ref instance_dict(PyObject* obj) noexcept {
#if CAPI_KNOWN_RELEASE && !defined(Py_GIL_DISABLED)
    if (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        if (PyObject* d = made_managed_dict(obj)) return Ref::borrow(d);
    }
#endif
    return Ref::steal(PyObject_GenericGetDict(obj, nullptr));
}

// The value of an exact int `obj` of at most two digits that is not
// negative (a thread's identity, say), read from its digits: true with
// `out` set, false when it is not such an int (then PyLong_AsUnsignedLong
// says what it is).
inline bool small_unsigned(PyObject* obj, unsigned long& out) noexcept {
#if CAPI_KNOWN_RELEASE && !defined(Py_LIMITED_API) && ULONG_MAX >= 0xFFFFFFFFFFFFFFFFull
    if (!PyLong_CheckExact(obj)) return false;
    auto* v = reinterpret_cast<PyLongObject*>(obj);
#  if PY_VERSION_HEX >= 0x030C0000
    uintptr_t tag = v->long_value.lv_tag;
    if ((tag & 3) == 2) return false;  // negative
    Py_ssize_t n = static_cast<Py_ssize_t>(tag >> 3);
    const digit* d = v->long_value.ob_digit;
#  else
    Py_ssize_t n = Py_SIZE(obj);
    if (n < 0) return false;
    const digit* d = v->ob_digit;
#  endif
    if (n > 2) return false;
    unsigned long value = n > 0 ? d[0] : 0;
    if (n == 2) value |= static_cast<unsigned long>(d[1]) << PyLong_SHIFT;
    out = value;
    return true;
#else
    (void)obj, (void)out;
    return false;
#endif
}

// obj.name = value as object.__setattr__ does it, for the objects the
// package sets up: straight into the instance dict when the class sets
// attributes generically and has no data descriptor of that name; otherwise
// through setattr(). Both are read again at each write, since the code
// between two writes may change them.
class AttrWriter {
public:
    explicit AttrWriter(PyObject* obj) noexcept : obj_(obj) {}

    int operator()(PyObject* name, PyObject* value) noexcept {
        PyTypeObject* type = Py_TYPE(obj_);
        bool generic = type->tp_setattro == PyObject_GenericSetAttr &&
                       ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_dictoffset != 0);
        if (generic && PyUnicode_CheckExact(name)) {
#if CAPI_KNOWN_RELEASE && !defined(Py_GIL_DISABLED)
            // A new object keeps its attributes beside it, in a table whose
            // keys its class shares, until something asks for its __dict__:
            // the generic assignment fills that table, more cheaply than
            // making the dict and inserting into it.
            if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 && made_managed_dict(obj_) == nullptr) {
                return PyObject_GenericSetAttr(obj_, name, value);
            }
#endif
            Ref found = type_lookup(type, name);
            if (!found || Py_TYPE(found.get())->tp_descr_set == nullptr) {
                Ref dict = instance_dict(obj_);
                return dict ? PyDict_SetItem(dict.get(), name, value) : -1;
            }
        }
        return PyObject_SetAttr(obj_, name, value);
    }

private:
    PyObject* obj_;
};

// The object behind `proxy`, a weak proxy (checked by the caller), as a new
// reference in `out`: 1, or 0 when it is gone. Every request of a handle
// looks through one; PyWeakref_GetRef first asks whether it is a weak
// reference at all, through the subclass test of the reference type, which
// costs more than the read itself. With the GIL the referent is read from
// the proxy as CPython reads it (cleared to None, or a count of 0 while it
// is being freed, when gone); elsewhere PyWeakref_GetRef.
inline int weak_proxy_target(PyObject* proxy, Ref& out) noexcept {
#if CAPI_KNOWN_RELEASE && !defined(Py_GIL_DISABLED)
    PyObject* obj = reinterpret_cast<PyWeakReference*>(proxy)->wr_object;
    if (obj == Py_None || Py_REFCNT(obj) <= 0) {
        out = Ref();
        return 0;
    }
    out = Ref::borrow(obj);
    return 1;
#else
    return PyWeakref_GetRef(proxy, out.out());
#endif
}

}  // namespace capi
