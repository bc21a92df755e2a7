// Owning reference to a Python object.
#pragma once

#include <cstddef>
#include <utility>

#include "compat.hpp"

namespace capi {

// Move-only owner of one strong reference (or of nothing).
//
// Borrowed references stay plain PyObject*; a Ref always owns what it holds.
// It is exactly pointer-sized so arrays of Refs can stand in for arrays of
// PyObject* where the C API wants them.
class Ref {
public:
    constexpr Ref() noexcept = default;
    constexpr Ref(std::nullptr_t) noexcept {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be NULL).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Takes a new reference to a borrowed object (which may be NULL).
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Gives up ownership; the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A new strong reference to the held object, for returning it to Python.
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }

    // Installs `p` (a new reference, or NULL) and only then drops the old
    // object: its finaliser may run arbitrary code that reads this Ref.
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

    // Address for C API out-parameters (PyObject_GetOptionalAttr and the like);
    // whatever was held is dropped first.
    PyObject** out() noexcept {
        reset();
        return &p_;
    }

    template <class T>
    T* as() const noexcept {
        return reinterpret_cast<T*>(p_);
    }

private:
    PyObject* p_ = nullptr;
};

static_assert(sizeof(Ref) == sizeof(PyObject*));

}  // namespace capi
