// Typed access to the characters of a str.
#pragma once

#include "compat.hpp"

namespace capi {

// Calls f(data) with the characters of `str` (a ready str) as an array of
// its kind: Py_UCS1*, Py_UCS2* or Py_UCS4*, so one template body serves
// every width. A caller that only reads takes `const auto*`.
template <class F>
decltype(auto) with_chars(PyObject* str, F&& f) noexcept(noexcept(f(static_cast<Py_UCS1*>(nullptr)))) {
    void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<Py_UCS1*>(data));
        case PyUnicode_2BYTE_KIND: return f(static_cast<Py_UCS2*>(data));
        default: return f(static_cast<Py_UCS4*>(data));
    }
}

}  // namespace capi
