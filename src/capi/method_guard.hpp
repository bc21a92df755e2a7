// MethodGuard: whether a class still has the methods it was made with.
//
// The module's own classes do some work in C where their methods, as
// documented, call one another (`__call__` is exactly `self.call(...)`,
// `a[k]` is `self.get(array_index=k)`). That shortcut is right only while
// those methods are the class's own: one replaced on the class or on a base
// (an assignment, `mock.patch.object`) must be called as any method is. A
// subclass already takes the ordinary path; this covers the class itself.
#pragma once

#include <atomic>

#include "function.hpp"
#include "private_api.hpp"

namespace capi {

class MethodGuard {
public:
    // Records what `cls` resolves now for each callable or descriptor that
    // it or a base (object aside) defines. Called once the class is complete.
    bool setup(PyObject* cls) noexcept {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        Ref names = Ref::steal(PyList_New(0));
        Ref values = Ref::steal(PyList_New(0));
        Ref mro = Ref::steal(PyObject_GetAttrString(cls, "__mro__"));
        if (!names || !values || !mro || !PyTuple_Check(mro.get())) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
            PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
            if (base == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) continue;
            Ref dict = Ref::steal(PyObject_GetAttrString(base, "__dict__"));
            Ref items = dict ? Ref::steal(PyMapping_Items(dict.get())) : Ref();
            if (!items) return false;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
                PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 0);
                PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 1);
                if (!PyUnicode_Check(name) || (!PyCallable_Check(value) && Py_TYPE(value)->tp_descr_get == nullptr)) {
                    continue;
                }
                int seen = PySequence_Contains(names.get(), name);
                if (seen < 0) return false;
                if (seen) continue;
                Ref now = type_lookup(type, name);
                if (!now || PyList_Append(names.get(), name) < 0 || PyList_Append(values.get(), now.get()) < 0) {
                    return false;
                }
            }
        }
        names_ = Ref::steal(PyList_AsTuple(names.get()));
        values_ = Ref::steal(PyList_AsTuple(values.get()));
        return names_ && values_;
    }

    // Whether `t`, the class set up, still resolves every name recorded to
    // the same object. One comparison while the class is unchanged (its
    // version tag is the one last checked).
    [[gnu::always_inline]] bool unchanged(PyTypeObject* t) noexcept {
        unsigned int tag = type_version(t);
        if (tag != 0 && tag == tag_.load(std::memory_order_relaxed)) return true;
        return recheck(t, tag);
    }

private:
    // The tag is read before the look-ups: a change made meanwhile gives the
    // class another tag, which is then checked again.
    [[gnu::noinline]] bool recheck(PyTypeObject* t, unsigned int tag) noexcept {
        PyObject* names = names_.get();
        PyObject* values = values_.get();
        if (names == nullptr || values == nullptr) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
            if (type_lookup(t, PyTuple_GET_ITEM(names, i)).get() != PyTuple_GET_ITEM(values, i)) return false;
        }
        if (tag != 0) tag_.store(tag, std::memory_order_relaxed);
        return true;
    }

    Held names_, values_;  // tuples of the same length
    std::atomic<unsigned int> tag_{0};
};

}  // namespace capi
