// The thread that owns a Tcl interpreter: the check lives in the host layer
// (src/host/interp.hpp); this name stays for the modules that use it.
//
//     Held s_thread{Held::name, "_thread"};          // in the module state
//     if (!capi::check_owner_thread(interp, st.s_thread.get())) return nullptr;
#pragma once

#include "../host/interp.hpp"

namespace capi {

// True when the calling thread owns `interpreter` (an Interpreter, or any
// object without `_thread`); otherwise false with RuntimeError.
inline bool check_owner_thread(PyObject* interpreter, PyObject* name) noexcept {
    return host::check_owner(host::Names{name, nullptr, nullptr, nullptr}, interpreter);
}

}  // namespace capi
