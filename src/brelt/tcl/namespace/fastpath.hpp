// The hot path of every request: reading the handle's attributes (self.tcl,
// .tk, .var_name, .cast; any attribute of the module's own classes), and
// calling tk (getvar, setvar, call...), with the work that Python's own
// attribute and method look-up would repeat on every call done once per
// type.
//
// A fact about a type that was checked under one version tag (no data
// descriptor shadows these names; this name is a plain method) holds as long
// as the tag is the same (capi::type_version). Without a tag nothing is
// cached and every request checks again.
#pragma once

#include <new>

#include "state.hpp"

namespace tclns {

inline bool has_instance_dict(PyTypeObject* t) noexcept {
    return (t->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || t->tp_dictoffset != 0;
}

inline void free_cache_entry(PyObject* capsule) noexcept {
    auto* e = static_cast<CacheEntry*>(PyCapsule_GetPointer(capsule, nullptr));
    if (e == nullptr) {
        PyErr_Clear();
        return;
    }
    Py_XDECREF(e->method);
    delete e;
}

// A new cache entry, kept for the module's life; NULL (nothing set) when
// no more may be made.
inline const CacheEntry* new_cache_entry(State& st, PyTypeObject* t, unsigned int tag, PyObject* method) noexcept {
    PyObject* keep = st.cache_entries.get();
    if (keep == nullptr || PyList_GET_SIZE(keep) >= kMaxCacheEntries) return nullptr;
    auto* e = new (std::nothrow) CacheEntry{t, tag, Py_XNewRef(method)};
    if (e == nullptr) {
        Py_XDECREF(method);
        return nullptr;
    }
    Ref capsule = Ref::steal(PyCapsule_New(e, nullptr, free_cache_entry));
    if (!capsule) {
        Py_XDECREF(e->method);
        delete e;
        PyErr_Clear();
        return nullptr;
    }
    if (PyList_Append(keep, capsule.get()) < 0) {
        PyErr_Clear();
        return nullptr;  // the capsule frees the entry
    }
    return e;
}

// Whether the attributes named in st.plain_names of an instance of `t` are
// read by plain instance-dict look-up (after which the class is consulted
// only when the instance lacks the name).
[[gnu::always_inline]] inline bool plain_instance_attrs(State& st, PyTypeObject* t) noexcept {
    if (t->tp_getattro != PyObject_GenericGetAttr || !has_instance_dict(t)) return false;
    unsigned int tag = capi::type_version(t);
    if (tag != 0) {
        for (const auto& slot : st.plain_types) {
            const CacheEntry* e = slot.load(std::memory_order_acquire);
            if (e != nullptr && e->type == t && e->tag == tag) return true;
        }
    }
    for (const Held& name : st.plain_names) {
        Ref d = capi::type_lookup(t, name.get());
        if (d && Py_TYPE(d.get())->tp_descr_set != nullptr) return false;
    }
    tag = capi::type_version(t);
    if (tag != 0) {
        if (const CacheEntry* e = new_cache_entry(st, t, tag, nullptr)) {
            unsigned int at = st.plain_next.fetch_add(1, std::memory_order_relaxed) % kTypeCacheSize;
            st.plain_types[at].store(e, std::memory_order_release);
        }
    }
    return true;
}

// getattr(obj, name), each a new reference, for the attributes a request
// reads. Straight from the instance dict (fetched once for all the reads of
// one request) when that is what getattr() would find: for an instance of
// one of the module's own classes (`own`), which define no descriptor for
// these names; or, for the names of st.plain_names, when the type passes
// plain_instance_attrs(). Otherwise through getattr().
class AttrReader {
public:
    AttrReader(State& st, PyObject* obj) noexcept : st_(&st), obj_(obj) {}
    AttrReader(PyObject* obj, bool own) noexcept : obj_(obj), own_(own) {}
    PyObject* obj() const noexcept { return obj_; }

    [[gnu::always_inline]] PyObject* operator()(PyObject* name) noexcept {
        if (own_ || (st_ != nullptr && plain_instance_attrs(*st_, Py_TYPE(obj_)))) {
            if (!dict_) {
                dict_ = Ref::steal(PyObject_GenericGetDict(obj_, nullptr));
                if (!dict_) return nullptr;
            }
            PyObject* value = PyDict_GetItemWithError(dict_.get(), name);
            if (value != nullptr) return Py_NewRef(value);
            if (PyErr_Occurred()) return nullptr;
        }
        return PyObject_GetAttr(obj_, name);
    }

private:
    State* st_ = nullptr;
    PyObject* obj_;
    bool own_ = false;
    Ref dict_;
};

inline PyObject* read_attr(State& st, PyObject* obj, PyObject* name) noexcept { return AttrReader(st, obj)(name); }

// tcl.tk, through the host layer's look-through (a weak proxy, the package
// for its default interpreter) and owner check: RuntimeError in a thread
// that does not own the interpreter.
inline bool tk_of(State& st, PyObject* tcl, Ref& tk) noexcept {
    Ref target;
    host::Names names = host_names(st);
    if (!host::interpreter_of(names, tcl, target)) return false;
    if (!host::check_owner(names, target.get())) return host::remote_instead(target.get(), tk);
    tk = Ref::steal(read_attr(st, target.get(), st.s_tk.get()));
    return static_cast<bool>(tk);
}

// self.tcl and its tk, as tk_of().
inline bool interp_tk(State& st, AttrReader& self, Ref& tcl, Ref& tk) noexcept {
    tcl = Ref::steal(self(st.s_tcl.get()));
    return tcl && tk_of(st, tcl.get(), tk);
}

inline bool interp_tk(State& st, PyObject* self, Ref& tcl, Ref& tk) noexcept {
    AttrReader reader(st, self);
    return interp_tk(st, reader, tcl, tk);
}

// tk.<method>(*args[1:]), args[0] being tk. For a type whose instances have
// no __dict__, the method found on the type is what the call would find, and
// is called directly while the type's tag is unchanged.
inline PyObject* call_tk_method(State& st, TkMethod which, PyObject* const* args, size_t nargs) noexcept {
    PyTypeObject* t = Py_TYPE(args[0]);
    auto& slot = st.tk_methods[static_cast<int>(which)];
    const CacheEntry* e = slot.load(std::memory_order_acquire);
    unsigned int tag = capi::type_version(t);
    if (e != nullptr && e->type == t && e->tag == tag && tag != 0) {
        // The entry, and so its method, lives as long as the module.
        return PyObject_Vectorcall(e->method, args, nargs, nullptr);
    }
    PyObject* name = st.tk_method_names[static_cast<int>(which)].get();
    if (!has_instance_dict(t) && t->tp_getattro == PyObject_GenericGetAttr) {
        Ref method = capi::type_lookup(t, name);
        tag = capi::type_version(t);
        if (method && (Py_TYPE(method.get())->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) && tag != 0) {
            if (const CacheEntry* made = new_cache_entry(st, t, tag, method.get())) {
                slot.store(made, std::memory_order_release);
            }
            return PyObject_Vectorcall(method.get(), args, nargs, nullptr);
        }
    }
    return call_method(name, args, nargs, nullptr);
}

// A Tcl object (a value of a type tkinter does not convert) taken over:
// Tcl 9 answers namespace names as objects of its own type where Tcl 8
// gives text, so those become their text; any other stays as it is.
[[gnu::noinline, gnu::cold]] inline PyObject* release_neutral(State& st, PyObject* obj) noexcept {
    Ref held = Ref::steal(obj);
    Ref type_name = Ref::steal(PyObject_GetAttr(obj, st.s_typename.get()));
    if (!type_name) return nullptr;
    if (!PyUnicode_Check(type_name.get()) || PyUnicode_CompareWithASCIIString(type_name.get(), "nsName") != 0) {
        return held.release();
    }
    return PyObject_Str(obj);
}

// Above zero while this thread runs a temporary's clean-up request whose
// TclError is ignored: the failure's details are then not read. Per thread,
// so another thread's failures keep theirs.
inline thread_local int quiet_requests = 0;

struct QuietRequests {
    QuietRequests() noexcept { ++quiet_requests; }
    ~QuietRequests() { --quiet_requests; }
    QuietRequests(const QuietRequests&) = delete;
    QuietRequests& operator=(const QuietRequests&) = delete;
};

// A failed request's error with Tcl's account of it; kept out of line, off
// the hot path.
[[gnu::noinline, gnu::cold]] inline PyObject* request_failed(State& st, PyObject* tcl) noexcept {
    if (quiet_requests > 0) return nullptr;
    return host::raise_tcl_error_details(tcl, st.TclError.get(), host::TclErrorReport::as_raised);
}

// The one request of every class: tk.<method>(*args[1:]) on the
// application of interpreter `tcl` (looked through and checked by
// tk_of()); a failure's TclError leaves with Tcl's account of it (see
// host/tclerror.hpp), read without touching the interpreter.
[[gnu::always_inline]] inline PyObject* call_tk(State& st, PyObject* tcl, TkMethod which, PyObject* const* args,
                                                size_t nargs) noexcept {
    PyObject* result = call_tk_method(st, which, args, nargs);
    if (result == nullptr) return request_failed(st, tcl);
    if (Py_IS_TYPE(result, st.TclObj.as<PyTypeObject>())) return release_neutral(st, result);
    return result;
}

// tk.call(words): one tuple, each element one Tcl word.
inline PyObject* tk_call_words(State& st, PyObject* tcl, PyObject* tk, PyObject* words) noexcept {
    PyObject* args[] = {tk, words};
    return call_tk(st, tcl, TkMethod::call, args, 2);
}

// The request of handle `self` (a variable, command or namespace of any
// class): the words (borrowed) as one tk.call on its interpreter, the
// result converted by the interpreter's cast operation named `cast` unless
// that is NULL.
inline PyObject* send_words(State& st, PyObject* self, std::initializer_list<PyObject*> w, PyObject* cast) noexcept {
    Ref tcl, tk;
    if (!interp_tk(st, self, tcl, tk)) return nullptr;
    Ref words = Ref::steal(make_words(w));
    if (!words) return nullptr;
    Ref result = Ref::steal(tk_call_words(st, tcl.get(), tk.get(), words.get()));
    if (!result || cast == nullptr) return result.release();
    return cast_with(tcl.get(), cast, result.get());
}

}  // namespace tclns
