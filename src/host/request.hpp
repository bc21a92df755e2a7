// The one request path of the handles: reading a handle's attributes (its
// interpreter `tcl`, and the names a module lists), looking through `tcl`
// to the Tcl application `tk` the calling thread may use, and calling
// tk.<method>(...) with a failure's TclError carrying Tcl's account of it.
// Every module sends through it with its own RequestCore, a member of its
// state.
//
// The work that Python's own attribute and method look-up would repeat on
// every call is done once per type. A fact about a type that was checked
// under one version tag (no data descriptor shadows these names; this name
// is a plain method) holds as long as the tag is the same
// (capi::type_version). Without a tag nothing is cached and every request
// checks again.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <new>

#include "call.hpp"
#include "dictmemo.hpp"
#include "function.hpp"
#include "shared.hpp"
#include "tclerror.hpp"

namespace host {

using capi::Held;

// The caches, keyed by type and version tag. An entry is immutable once
// published (an atomic pointer store) and is owned by a capsule in
// RequestCore::cache_entries for the module's life, so a reader in any
// thread may follow a pointer it loaded, and use the method it names,
// without a reference of its own (free-threaded builds too). Beyond
// kMaxCacheEntries entries nothing more is cached: the slow path is as
// correct.
inline constexpr int kTypeCacheSize = 8;
inline constexpr Py_ssize_t kMaxCacheEntries = 256;
inline constexpr int kMaxPlainNames = 5;
struct CacheEntry {
    PyTypeObject* type = nullptr;  // compared, never followed
    unsigned int tag = 0;
    PyObject* method = nullptr;  // strong, or NULL
};
enum class TkMethod { getvar, setvar, unsetvar, call, eval, createcommand, interpaddr };
inline constexpr int kTkMethods = 7;

// What the request path keeps in a module's state. The names are interned
// when the state is made; the module's exec slot fills tcl_error, tcl_obj,
// tkapp_type, cache_entries (a new list) and plain_names (the attributes its handles
// hold as plain instance attributes, with "tcl", and "tk" and "_thread" of
// the Interpreter; unused slots left empty).
struct RequestCore {
    Held tcl{Held::name, "tcl"}, tk{Held::name, "tk"}, thread{Held::name, "_thread"};
    Held default_interpreter{Held::name, "_default_interpreter"}, default_method{Held::name, "_default"};
    Held type_name{Held::name, "typename"};
    Held tk_method_names[kTkMethods] = {
        {Held::name, "getvar"}, {Held::name, "setvar"},        {Held::name, "unsetvar"},  {Held::name, "call"},
        {Held::name, "eval"},   {Held::name, "createcommand"}, {Held::name, "interpaddr"}};
    Held tcl_error;   // tkinter.TclError
    Held tcl_obj;     // _tkinter.Tcl_Obj: a value of a type tkinter does not convert
    Held tkapp_type;  // _tkinter.TkappType: tkinter's own application objects
    Held plain_names[kMaxPlainNames];
    std::atomic<const CacheEntry*> plain_types[kTypeCacheSize] = {};
    std::atomic<unsigned int> plain_next{0};
    std::atomic<const CacheEntry*> tk_methods[kTkMethods] = {};
    Held cache_entries;   // list of the capsules that own the entries
    capi::DictMemo memo;  // set up by the exec slot

    Names names() const noexcept { return {thread.get(), tk.get(), default_interpreter.get(), default_method.get()}; }
};

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
inline const CacheEntry* new_cache_entry(RequestCore& rq, PyTypeObject* t, unsigned int tag,
                                         PyObject* method) noexcept {
    PyObject* keep = rq.cache_entries.get();
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

// Whether the attributes named in rq.plain_names of an instance of `t` are
// read by plain instance-dict look-up (after which the class is consulted
// only when the instance lacks the name).
[[gnu::always_inline]] inline bool plain_instance_attrs(RequestCore& rq, PyTypeObject* t) noexcept {
    if (t->tp_getattro != PyObject_GenericGetAttr || !has_instance_dict(t)) return false;
    unsigned int tag = capi::type_version(t);
    if (tag != 0) {
        for (const auto& slot : rq.plain_types) {
            const CacheEntry* e = slot.load(std::memory_order_acquire);
            if (e != nullptr && e->type == t && e->tag == tag) return true;
        }
    }
    for (const Held& name : rq.plain_names) {
        if (!name) continue;
        Ref d = capi::type_lookup(t, name.get());
        if (d && Py_TYPE(d.get())->tp_descr_set != nullptr) return false;
    }
    tag = capi::type_version(t);
    if (tag != 0) {
        if (const CacheEntry* e = new_cache_entry(rq, t, tag, nullptr)) {
            unsigned int at = rq.plain_next.fetch_add(1, std::memory_order_relaxed) % kTypeCacheSize;
            rq.plain_types[at].store(e, std::memory_order_release);
        }
    }
    return true;
}

// getattr(obj, name), each a new reference, for the attributes a request
// reads. Straight from the instance dict (fetched once for all the reads of
// one request) when that is what getattr() would find: for an instance of
// one of the module's own classes (`own`), which define no descriptor for
// these names; or, for the names of rq.plain_names, when the type passes
// plain_instance_attrs(). Otherwise through getattr().

class AttrReader {
public:
    AttrReader(RequestCore& rq, PyObject* obj) noexcept : rq_(&rq), memo_(&rq.memo), obj_(obj) {}
    AttrReader(RequestCore& rq, PyObject* obj, bool own) noexcept : memo_(&rq.memo), obj_(obj), own_(own) {}
    PyObject* obj() const noexcept { return obj_; }

    [[gnu::always_inline]] PyObject* operator()(PyObject* name) noexcept {
        if (rq_ != nullptr) {
            // Asked again only when the class changed since (its tag).
            PyTypeObject* t = Py_TYPE(obj_);
            unsigned int tag = capi::type_version(t);
            if (tag == 0 || tag != tag_) {
                plain_ = plain_instance_attrs(*rq_, t);
                tag_ = capi::type_version(t);
            }
        }
        if (own_ || plain_) {
            if (!dict_) {
                dict_ = capi::instance_dict(obj_);
                if (!dict_) return nullptr;
            }
            PyObject* value = memo_->get(dict_.get(), name);
            if (value != nullptr) return value;
            if (PyErr_Occurred()) return nullptr;
        }
        return PyObject_GetAttr(obj_, name);
    }

    // Whether the object's own dict holds `name` (read through the memo, the
    // dict fetched once as for the reads): 1, 0, or -1 with an exception.
    // For an object that has a dict (the module's own classes).
    [[gnu::always_inline]] int holds(PyObject* name) noexcept {
        if (!dict_) {
            dict_ = capi::instance_dict(obj_);
            if (!dict_) return -1;
        }
        PyObject* value = memo_->get(dict_.get(), name);
        if (value == nullptr) return PyErr_Occurred() ? -1 : 0;
        Py_DECREF(value);
        return 1;
    }

private:
    RequestCore* rq_ = nullptr;
    capi::DictMemo* memo_;
    PyObject* obj_;
    bool own_ = false;
    bool plain_ = false;
    unsigned int tag_ = 0;
    Ref dict_;
};

// tcl.tk, through the look-through of interp.hpp (a weak proxy, the package
// for its default interpreter) and its owner check: RuntimeError in a
// thread that does not own the interpreter, unless a threaded Interpreter
// forwards the request to its own thread.
inline bool tk_of(RequestCore& rq, PyObject* tcl, Ref& tk) noexcept {
    // An Interpreter (or a weak proxy on one) whose owner and tk are plain
    // attributes (plain_names holds both): both from its dict, fetched once.
    Ref interp;
    if (!PyWeakref_CheckProxy(tcl)) {
        interp = Ref::borrow(tcl);
    } else if (capi::weak_proxy_target(tcl, interp) < 0) {
        return false;
    }
    // (A module, the package, never passes: its attribute look-up is its own.)
    if (interp && plain_instance_attrs(rq, Py_TYPE(interp.get()))) {
        Ref dict = capi::instance_dict(interp.get());
        if (!dict) return false;
        Ref owner = Ref::steal(rq.memo.get(dict.get(), rq.thread.get()));
        if (owner && PyLong_CheckExact(owner.get())) {
            // An int's value is read without running code.
            int mine = is_calling_thread(owner.get());
            if (mine < 0) return false;
            if (mine) {
                tk = Ref::steal(rq.memo.get(dict.get(), rq.tk.get()));
                if (tk) return true;
            }
        }
        if (PyErr_Occurred()) return false;
    }
    Ref target;
    Names names = rq.names();
    if (!interpreter_of(names, tcl, target)) return false;
    if (!check_owner(names, target.get())) return remote_instead(target.get(), tk);
    tk = Ref::steal(AttrReader(rq, target.get())(rq.tk.get()));
    return static_cast<bool>(tk);
}

// self.tcl and its tk, as tk_of().
inline bool interp_tk(RequestCore& rq, AttrReader& self, Ref& tcl, Ref& tk) noexcept {
    tcl = Ref::steal(self(rq.tcl.get()));
    return tcl && tk_of(rq, tcl.get(), tk);
}

// tk.<method>(*args[1:]), args[0] being tk. For a type whose instances have
// no __dict__, the method found on the type is what the call would find, and
// is called directly while the type's tag is unchanged.
inline PyObject* call_tk_method(RequestCore& rq, TkMethod which, PyObject* const* args, size_t nargs) noexcept {
    PyTypeObject* t = Py_TYPE(args[0]);
    auto& slot = rq.tk_methods[static_cast<int>(which)];
    const CacheEntry* e = slot.load(std::memory_order_acquire);
    unsigned int tag = capi::type_version(t);
    if (e != nullptr && e->type == t && e->tag == tag && tag != 0) {
        // The entry, and so its method, lives as long as the module.
        return PyObject_Vectorcall(e->method, args, nargs, nullptr);
    }
    PyObject* name = rq.tk_method_names[static_cast<int>(which)].get();
    if (!has_instance_dict(t) && t->tp_getattro == PyObject_GenericGetAttr) {
        Ref method = capi::type_lookup(t, name);
        tag = capi::type_version(t);
        if (method && (Py_TYPE(method.get())->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) && tag != 0) {
            if (const CacheEntry* made = new_cache_entry(rq, t, tag, method.get())) {
                slot.store(made, std::memory_order_release);
            }
            return PyObject_Vectorcall(method.get(), args, nargs, nullptr);
        }
    }
    return capi::call_method(name, args, nargs, nullptr);
}

// A Tcl object (a value of a type tkinter does not convert) taken over:
// Tcl 9 answers namespace names as objects of its own type where Tcl 8
// gives text, so those become their text; any other stays as it is.
[[gnu::noinline, gnu::cold]] inline PyObject* release_neutral(RequestCore& rq, PyObject* obj) noexcept {
    Ref held = Ref::steal(obj);
    Ref type_name = Ref::steal(PyObject_GetAttr(obj, rq.type_name.get()));
    if (!type_name) return nullptr;
    if (!PyUnicode_Check(type_name.get()) || PyUnicode_CompareWithASCIIString(type_name.get(), "nsName") != 0) {
        return held.release();
    }
    return PyObject_Str(obj);
}

// Above zero while this thread runs a clean-up request whose TclError is
// ignored: the failure's details are then not read. Per thread, so another
// thread's failures keep theirs.
inline thread_local int quiet_requests = 0;

struct QuietRequests {
    QuietRequests() noexcept { ++quiet_requests; }
    ~QuietRequests() { --quiet_requests; }
    QuietRequests(const QuietRequests&) = delete;
    QuietRequests& operator=(const QuietRequests&) = delete;
};

// A failed request's error with Tcl's account of it; kept out of line, off
// the hot path.
[[gnu::noinline, gnu::cold]] inline PyObject* request_failed(RequestCore& rq, PyObject* tcl, TkMethod which) noexcept {
    if (quiet_requests > 0) return nullptr;
    FailedIn where =
        which == TkMethod::call || which == TkMethod::eval ? FailedIn::evaluation : FailedIn::direct_request;
    return raise_tcl_error_details(tcl, rq.tcl_error.get(), TclErrorReport::as_raised, where);
}

// The one request: tk.<method>(*args[1:]) on the application of interpreter
// `tcl` (looked through and checked by tk_of()); a failure's TclError
// leaves with Tcl's account of it (see tclerror.hpp), read without
// touching the interpreter.
[[gnu::always_inline]] inline PyObject* call_tk(RequestCore& rq, PyObject* tcl, TkMethod which, PyObject* const* args,
                                                size_t nargs) noexcept {
    PyObject* result = call_tk_method(rq, which, args, nargs);
    if (result == nullptr) return request_failed(rq, tcl, which);
    if (Py_IS_TYPE(result, rq.tcl_obj.as<PyTypeObject>())) return release_neutral(rq, result);
    return result;
}

// tk.call(words): one tuple, each element one Tcl word.
inline PyObject* tk_call_words(RequestCore& rq, PyObject* tcl, PyObject* tk, PyObject* words) noexcept {
    PyObject* args[] = {tk, words};
    return call_tk(rq, tcl, TkMethod::call, args, 2);
}

// tk.call(words) for the words[0:n] (borrowed, n >= 1) of one command. To
// tkinter's own application object they go as the call's arguments, which
// is the same command to Tcl (its call takes a lone tuple argument as the
// words) without a tuple of our own; any other tk gets the one tuple, as
// it always does.
inline PyObject* tk_call_spread(RequestCore& rq, PyObject* tcl, PyObject* tk, PyObject* const* words,
                                size_t n) noexcept {
    constexpr size_t kMax = 15;
    if (Py_IS_TYPE(tk, rq.tkapp_type.as<PyTypeObject>()) && n <= kMax && !(n == 1 && PyTuple_Check(words[0]))) {
        PyObject* args[kMax + 1];
        args[0] = tk;
        for (size_t i = 0; i < n; ++i) args[i + 1] = words[i];
        return call_tk(rq, tcl, TkMethod::call, args, n + 1);
    }
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(words[i]));
    return tk_call_words(rq, tcl, tk, tuple.get());
}

// A tuple of the given words (borrowed references).
inline PyObject* make_words(std::initializer_list<PyObject*> items) noexcept {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(o));
    return t;
}

// The request of handle `self`: the words (borrowed) as one tk.call on its
// interpreter, the result converted by the interpreter's cast operation
// named `cast` (tcl.<cast>(result)) unless that is NULL.
inline PyObject* send_words(RequestCore& rq, PyObject* self, std::initializer_list<PyObject*> w,
                            PyObject* cast) noexcept {
    AttrReader reader(rq, self);
    Ref tcl, tk;
    if (!interp_tk(rq, reader, tcl, tk)) return nullptr;
    Ref words = Ref::steal(make_words(w));
    if (!words) return nullptr;
    Ref result = Ref::steal(tk_call_words(rq, tcl.get(), tk.get(), words.get()));
    if (!result || cast == nullptr) return result.release();
    return capi::call_method(tcl.get(), cast, result.get());
}

}  // namespace host
