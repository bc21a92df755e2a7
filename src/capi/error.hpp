// One error convention for every entry point.
//
// Functions called by CPython return NULL (or -1) with an exception set, are
// noexcept, and never let a C++ exception cross into the interpreter.
#pragma once

#include <cassert>
#include <exception>
#include <new>

#include "compat.hpp"

namespace capi {

// Turns the C++ exception being handled into a Python exception.
inline void set_error_from_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// In debug builds, checks that a result and the error indicator agree.
inline void check_result([[maybe_unused]] const void* result) noexcept {
    assert((result == nullptr) == (PyErr_Occurred() != nullptr));
}
inline void check_status([[maybe_unused]] int status) noexcept {
    assert((status < 0) == (PyErr_Occurred() != nullptr));
}

// Runs `body` (returning PyObject*) under the convention.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        PyObject* result = body();
        check_result(result);
        return result;
    } catch (...) {
        set_error_from_cpp_exception();
        return nullptr;
    }
}

// Runs `body` (returning an int status, -1 on error) under the convention.
template <class F>
int guarded_status(F&& body) noexcept {
    try {
        int status = body();
        check_status(status);
        return status;
    } catch (...) {
        set_error_from_cpp_exception();
        return -1;
    }
}

// Sets an exception and returns NULL, for `return raise(...)`.
template <class... Args>
std::nullptr_t raise(PyObject* type, const char* format, Args... args) noexcept {
    if constexpr (sizeof...(Args) == 0) {
        PyErr_SetString(type, format);
    } else {
        PyErr_Format(type, format, args...);
    }
    return nullptr;
}

// Raises `type(value)` with exactly one argument, which may be any object
// (PyErr_SetObject would unpack a tuple into several arguments).
inline std::nullptr_t raise_object(PyObject* type, PyObject* value) noexcept {
    PyObject* exc = PyObject_CallOneArg(type, value);
    if (exc != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
    }
    return nullptr;
}

}  // namespace capi
