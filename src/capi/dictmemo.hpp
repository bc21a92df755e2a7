// DictMemo: the values last read from a few dicts, handed out again while
// each dict is unchanged. The request paths read the same few names from
// the same few dicts (an instance's attributes, a module's globals) on
// every call; a probe by name costs a hundred instructions or more, a memo
// hit a handful.
//
// How "unchanged" is known depends on the CPython:
// - 3.11: every change of a dict gives it a new version tag (ma_version_tag,
//   from one counter), so a dict at the same address with the same tag is
//   the same dict holding the same values.
// - 3.12 on, with the GIL: the tag no longer follows every change (3.13
//   writes an attribute into an object's inline values without it), but a
//   dict watcher is told of every change, deallocation included, before it
//   is made. The memo watches every dict it reads; the watcher counts the
//   changes of all watched dicts, and an entry is good while the count is
//   what it was when the entry was made.
// - free-threaded builds: no memo (other threads change dicts without the
//   GIL); every read is a look-up.
//
// The values are borrowed from their dicts: a value is handed out (as a new
// reference) only while its dict is known unchanged, so still holds it. A
// name found missing is remembered as missing the same way.
// The memo is changed under the GIL only.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <new>

#include "private_api.hpp"
#include "shared.hpp"

#if defined(Py_GIL_DISABLED)
#  define CAPI_DICT_MEMO 0
#elif PY_VERSION_HEX >= 0x030C0000
#  define CAPI_DICT_MEMO 2  // a watcher's count of changes
#elif CAPI_KNOWN_RELEASE
#  define CAPI_DICT_MEMO 1  // version tags
#else
#  define CAPI_DICT_MEMO 0
#endif

namespace capi {

#if CAPI_DICT_MEMO == 2
namespace dict_watch {

// The watcher shared by every module of the package in one interpreter: the
// first module set up registers it, the others find it in the
// interpreter's own dict. Its count lives in the registering module's
// library, which stays loaded for the life of the process.
struct Shared {
    int id;
    std::atomic<uint64_t>* changes;
};

inline std::atomic<uint64_t> changes_here{1};

inline int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    changes_here.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// The interpreter's watcher, registered on first use; NULL (no exception)
// when none can be had: the memo then looks every value up.
inline const Shared* shared() noexcept {
    PyObject* idict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (idict == nullptr) return nullptr;
    static constexpr const char* kKey = "brelt.tcl.dict_watch";
    // Borrowed, and used before anything else runs (the GIL is held).
    PyObject* capsule = PyDict_GetItemString(idict, kKey);
    Ref made_capsule;
    if (capsule == nullptr) {
        int id = PyDict_AddWatcher(on_change);
        if (id < 0) {
            PyErr_Clear();  // every watcher taken: no memo, the same results
            return nullptr;
        }
        // Never freed: a module's state may still use it while the
        // interpreter's dict is cleared at the end (one per interpreter).
        auto* made = new (std::nothrow) Shared{id, &changes_here};
        made_capsule = made ? Ref::steal(PyCapsule_New(made, kKey, nullptr)) : Ref();
        if (!made_capsule) {
            delete made;
            PyDict_ClearWatcher(id);
            PyErr_Clear();
            return nullptr;
        }
        if (PyDict_SetItemString(idict, kKey, made_capsule.get()) < 0) {
            PyDict_ClearWatcher(id);
            PyErr_Clear();
            return nullptr;
        }
        capsule = made_capsule.get();
    }
    auto* found = static_cast<const Shared*>(PyCapsule_GetPointer(capsule, kKey));
    if (found == nullptr) PyErr_Clear();
    return found;  // the capsule stays in the interpreter's dict
}

}  // namespace dict_watch
#endif

template <int Dicts>
class BasicDictMemo {
public:
    static constexpr int kDicts = Dicts, kNames = 8;

    // Sets the memo up for the calling interpreter (the module's exec slot
    // calls it); without it, or when it finds no watcher, every get() is a
    // look-up.
    void setup() noexcept {
#if CAPI_DICT_MEMO == 2
        watch_ = dict_watch::shared();
        // 3.13.0 (and 3.14.0a1) wrote an attribute into an object's inline
        // values without telling the watchers of the object's dict, which
        // then shares those values (a split table): such dicts are looked
        // up every time there. The version running counts, not the headers'.
        split_unwatched_ = (Py_Version >= 0x030D0000 && Py_Version < 0x030D0100) ||
                           (Py_Version >= 0x030E0000 && Py_Version < 0x030E00A2);
#endif
    }

    // d[name] (`name` an interned str, compared by identity) as a new
    // reference; NULL without an exception when d lacks it, with one when
    // the look-up failed. A `short_lived` dict (of an object made and
    // dropped call after call) is not watched: its end would count as a
    // change and make every entry stale; it is remembered only where no
    // watcher is needed (3.11).
    [[gnu::always_inline]] PyObject* get(PyObject* d, PyObject* name, bool short_lived = false) noexcept {
#if CAPI_DICT_MEMO
        if (!PyDict_CheckExact(d)) return lookup(d, name);
#  if CAPI_DICT_MEMO == 2
        if (watch_ == nullptr || short_lived ||
            (split_unwatched_ && reinterpret_cast<PyDictObject*>(d)->ma_values != nullptr)) {
            return lookup(d, name);
        }
#  else
        (void)short_lived;
#  endif
        uint64_t tag = tag_of(d);
        for (Entry& e : entries_) {
            if (e.dict != d || e.tag != tag) continue;
            if (PyObject* const* found = e.find(name)) return Py_XNewRef(*found);
            PyObject* value = lookup(d, name);
            // The look-up may have run code (a key's __eq__): keep the
            // value, or that the name is missing, only when the dict is
            // still as it was.
            if ((value != nullptr || !PyErr_Occurred()) && e.n < kNames && tag_of(d) == tag && e.dict == d &&
                e.tag == tag) {
                e.names[e.n] = name;
                e.values[e.n++] = value;
            }
            return value;
        }
        return first_read(d, name);
#else
        (void)short_lived;
        return lookup(d, name);
#endif
    }

private:
    struct Entry {
        PyObject* dict = nullptr;  // compared, followed only once matched
        uint64_t tag = 0;
        int n = 0;
        PyObject* names[kNames];   // interned names, compared
        PyObject* values[kNames];  // borrowed from the dict; NULL: the dict lacks the name

        PyObject* const* find(PyObject* name) const noexcept {
            for (int i = 0; i < n; ++i) {
                if (names[i] == name) return &values[i];
            }
            return nullptr;
        }
    };

    // Held as it is read (capi::dict_get): on the free-threaded build, which
    // has no memo, another thread may replace the value.
    static PyObject* lookup(PyObject* d, PyObject* name) noexcept { return capi::dict_get(d, name).release(); }

#if CAPI_DICT_MEMO == 1
    static uint64_t tag_of(PyObject* d) noexcept { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#elif CAPI_DICT_MEMO == 2
    uint64_t tag_of(PyObject*) const noexcept { return watch_->changes->load(std::memory_order_relaxed); }
#endif

#if CAPI_DICT_MEMO
    // A dict not in the memo, or changed since: read, and remembered in its
    // old entry or else the oldest one. On 3.12 on the dict is watched
    // before the read, so that a change made by the read itself is seen.
    [[gnu::noinline]] PyObject* first_read(PyObject* d, PyObject* name) noexcept {
#  if CAPI_DICT_MEMO == 2
        if (PyDict_Watch(watch_->id, d) < 0) {
            PyErr_Clear();
            return lookup(d, name);
        }
#  endif
        uint64_t tag = tag_of(d);
        PyObject* value = lookup(d, name);
        if ((value != nullptr || !PyErr_Occurred()) && tag_of(d) == tag && tag != 0) {
            // The entry this dict had, gone stale, else the oldest.
            Entry* slot = nullptr;
            for (Entry& e : entries_) {
                if (e.dict == d) slot = &e;
            }
            if (slot == nullptr) {
                slot = &entries_[next_];
                next_ = (next_ + 1) % kDicts;
            }
            Entry& e = *slot;
            e.dict = d;
            e.tag = tag;
            e.n = 1;
            e.names[0] = name;
            e.values[0] = value;
        }
        return value;
    }
#endif

    Entry entries_[kDicts];
    int next_ = 0;
#if CAPI_DICT_MEMO == 2
    const dict_watch::Shared* watch_ = nullptr;
    bool split_unwatched_ = false;
#endif
};

// Enough for a request's own dict, its interpreter's and a module's.
using DictMemo = BasicDictMemo<4>;

// getattr(obj, name) for the few `names` (up to four) that one caller
// reads together, with no code of its own run between the reads: while
// `attrs` says that obj's class defines none of them, from obj's dict
// (fetched once) through `memo`; otherwise, and for a name the dict lacks,
// by getattr(). An `optional` attribute that is missing is an empty Ref
// without an exception. forget() after code that may have replaced the
// dict or the class ran.
template <class Memo>
class PlainReader {
public:
    PlainReader(PlainAttrs& attrs, Memo& memo, PyObject* obj, std::initializer_list<PyObject*> names) noexcept
        : attrs_(attrs), memo_(memo), obj_(obj) {
        for (PyObject* name : names) {
            if (n_ < kMaxNames) names_[n_++] = name;
        }
    }

    Ref get(PyObject* name, bool optional = false) noexcept {
        if (plain_ < 0) plain_ = attrs_.applies(Py_TYPE(obj_), names_, n_) ? 1 : 0;
        if (plain_) {
            if (!dict_ && !(dict_ = instance_dict(obj_))) return {};
            Ref value = Ref::steal(memo_.get(dict_.get(), name));
            if (value || PyErr_Occurred()) return value;
        }
        Ref value;
        if (optional) {
            PyObject_GetOptionalAttr(obj_, name, value.out());
        } else {
            value = Ref::steal(PyObject_GetAttr(obj_, name));
        }
        return value;
    }

    void forget() noexcept {
        dict_.reset();
        plain_ = -1;
    }

private:
    static constexpr size_t kMaxNames = 4;
    PlainAttrs& attrs_;
    Memo& memo_;
    PyObject* obj_;
    PyObject* names_[kMaxNames] = {};
    size_t n_ = 0;
    int plain_ = -1;
    Ref dict_;
};

// The module attribute `name`, through `memo` (NameError when missing):
// read at every use, so that replacing one takes effect.
template <class Memo>
inline Ref module_global(Memo& memo, PyObject* module, PyObject* name) noexcept {
    Ref value = Ref::steal(memo.get(PyModule_GetDict(module), name));
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

// Logger.isEnabledFor(level) of an exact logging.Logger whose class still
// has logging's own isEnabledFor, without running its Python frame: false
// when the logger is disabled, else the answer in the logger's `_cache`
// (logging's private per-level cache, present since 3.7), both read from
// the logger's dict through `memo` while `attrs` allows, else by getattr().
// 1, 0, or -1 with an exception set; 2 when the cache has no answer yet and
// the method must be asked. On an unchecked release always 2.
template <class Memo>
inline int logger_cached_enabled(PyObject* log, PlainAttrs& attrs, Memo& memo, PyObject* level, PyObject* s_disabled,
                                 PyObject* s_cache) noexcept {
#if CAPI_KNOWN_RELEASE
    PyObject* names[] = {s_disabled, s_cache};
    Ref disabled, cache;
    if (attrs.applies(Py_TYPE(log), names, 2)) {
        // Both from the one dict.
        Ref dict = instance_dict(log);
        if (!dict) return -1;
        disabled = Ref::steal(memo.get(dict.get(), s_disabled));
        if (disabled) cache = Ref::steal(memo.get(dict.get(), s_cache));
        if (PyErr_Occurred()) return -1;
    }
    if (!disabled && !(disabled = Ref::steal(PyObject_GetAttr(log, s_disabled)))) return -1;
    int off = PyObject_IsTrue(disabled.get());
    if (off != 0) return off < 0 ? -1 : 0;
    if (!cache && !(cache = Ref::steal(PyObject_GetAttr(log, s_cache)))) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 2;
    }
    if (PyDict_CheckExact(cache.get())) {
        Ref known = Ref::steal(memo.get(cache.get(), level));
        if (known) return PyObject_IsTrue(known.get());
        if (PyErr_Occurred()) return -1;
    }
    return 2;
#else
    (void)log, (void)attrs, (void)memo, (void)level, (void)s_disabled, (void)s_cache;
    return 2;
#endif
}

// obj.name(*args[1:]), args[0] being obj, as PyObject_VectorcallMethod
// calls it, for the usual case found without its general look-up: the
// class (with the generic attribute look-up) defines `name` as a method
// descriptor, and obj has no instance dict or its dict (read through
// `memo`) lacks the name. Every other case goes to PyObject_VectorcallMethod.
template <class Memo>
inline PyObject* call_method_memo(Memo& memo, PyObject* name, PyObject* const* args, size_t nargsf) noexcept {
    PyObject* obj = args[0];
    PyTypeObject* t = Py_TYPE(obj);
    if (t->tp_getattro == PyObject_GenericGetAttr) {
        Ref method = type_lookup(t, name);
        if (method && (Py_TYPE(method.get())->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            bool shadowed = false;
            if ((t->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || t->tp_dictoffset != 0) {
                Ref dict = capi::instance_dict(obj);
                if (!dict) return nullptr;
                Ref own = Ref::steal(memo.get(dict.get(), name));
                if (!own && PyErr_Occurred()) return nullptr;
                shadowed = static_cast<bool>(own);
            }
            // The whole vector, self first, as PyObject_VectorcallMethod
            // passes it to an unbound method: args[-1] is not ours to lend.
            if (!shadowed)
                return PyObject_Vectorcall(method.get(), args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
    }
    return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
}

}  // namespace capi
