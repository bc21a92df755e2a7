// Calling Python from C++: the package's one spelling of "call a method".
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace capi {

// obj.name(*args[1:n]), args[0] being obj (`n` counts it), with keyword
// arguments named by `kwnames` at the end of `args`. `name` should be an
// interned str (a module state's), so that the look-up hits its cache.
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t n, PyObject* kwnames = nullptr) noexcept {
    return PyObject_VectorcallMethod(name, args, n, kwnames);
}

// obj.name(arg...), for the common short calls. The stack is this call's
// own, so the callee may borrow its first slot (the offset flag) to call a
// bound method without a new argument array.
template <class... Args>
inline PyObject* call_method(PyObject* obj, PyObject* name, Args*... args) noexcept {
    PyObject* stack[] = {obj, args...};
    return PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// obj.name(), where no module state holds the name (the host layer): the
// name is interned here, so that repeated calls share one str.
inline PyObject* call_method(PyObject* obj, const char* name) noexcept {
    Ref interned = Ref::steal(PyUnicode_InternFromString(name));
    return interned ? call_method(obj, interned.get()) : nullptr;
}

}  // namespace capi
