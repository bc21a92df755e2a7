// Owning reference to a Python object, and the ownership rules of the
// package's C++ code.
//
// Returning an object
//   Inside the package a function that hands out an object returns a Ref:
//   the caller owns it, and an empty Ref means failure with a Python
//   exception set. A bare new-reference PyObject* is returned only where
//   the C API wants one: a FunctionDef's implementation, a type slot, a
//   module hook; there the Ref is released at the last moment
//   (`return result.release();`). A function that returns a PyObject*
//   anywhere else says why: it is borrowed (and from whom), it is shared
//   with code that still expects the C API's spelling, or it is a step of a
//   recursive walk over a value's elements, where a Ref returned at every
//   step (through memory, as any class with a destructor is) was measured
//   to cost too much.
//
// Taking an object
//   A PyObject* parameter is borrowed: the caller keeps it alive for the
//   whole call, and the callee takes a Ref (Ref::borrow) only for what it
//   keeps beyond the call. The arguments of a C method or function are
//   held by whoever called it, so they are borrowed safely for the call.
//
// Holding a borrowed reference
//   A borrowed reference read out of a container (a list or dict item, an
//   attribute, a module global) is only good until something else can
//   change that container. Anything that can run Python or Tcl code can: a
//   call, a comparison or hash, a finaliser run by a Py_DECREF, an attribute
//   look-up, a Tcl request (which may run Python commands). Such a
//   reference is never held across one of those: it is made strong first
//   (Ref::borrow), and on the free-threaded build it is read as a strong
//   reference in the first place (shared.hpp). The Held members of a module
//   state are set when the module executes and dropped only when it is
//   cleared, which no call of its functions outlives (a function holds its
//   module): st.member.get() may be passed along for the whole call.
//
// self
//   A C method holds self, and what it reads from self, for the whole
//   call: self is borrowed from the caller (see above), and every field or
//   attribute read from it that the method goes on using after running
//   Python or Tcl code is taken into a Ref first, because that code may
//   replace the field and drop its last reference.
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
