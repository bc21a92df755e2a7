// The request path of the handles, as this module uses it: the host
// layer's (request.hpp) with this module's state.
#pragma once

#include "request.hpp"
#include "state.hpp"

namespace tclns {

using host::QuietRequests;
using host::TkMethod;

// getattr(obj, name) for the attributes a request reads (see
// host::AttrReader); `State&` reads the names of State::requests plainly
// when the type allows it, `own` reads an instance of the module's own
// classes from its dict.
class AttrReader : public host::AttrReader {
public:
    AttrReader(State& st, PyObject* obj) noexcept : host::AttrReader(st.requests, obj) {}
    AttrReader(State& st, PyObject* obj, bool own) noexcept : host::AttrReader(st.requests, obj, own) {}
};

inline PyObject* read_attr(State& st, PyObject* obj, PyObject* name) noexcept { return AttrReader(st, obj)(name); }

inline bool tk_of(State& st, PyObject* tcl, Ref& tk) noexcept { return host::tk_of(st.requests, tcl, tk); }

inline bool interp_tk(State& st, AttrReader& self, Ref& tcl, Ref& tk) noexcept {
    return host::interp_tk(st.requests, self, tcl, tk);
}

inline bool interp_tk(State& st, PyObject* self, Ref& tcl, Ref& tk) noexcept {
    AttrReader reader(st, self);
    return interp_tk(st, reader, tcl, tk);
}

inline PyObject* call_tk_method(State& st, TkMethod which, PyObject* const* args, size_t nargs) noexcept {
    return host::call_tk_method(st.requests, which, args, nargs);
}

[[gnu::always_inline]] inline PyObject* call_tk(State& st, PyObject* tcl, TkMethod which, PyObject* const* args,
                                                size_t nargs) noexcept {
    return host::call_tk(st.requests, tcl, which, args, nargs);
}

inline PyObject* tk_call_words(State& st, PyObject* tcl, PyObject* tk, PyObject* words) noexcept {
    return host::tk_call_words(st.requests, tcl, tk, words);
}

// The request of handle `self` (a variable, command or namespace of any
// class): the words (borrowed) as one tk.call on its interpreter, the
// result converted by the interpreter's cast operation named `cast` unless
// that is NULL.
inline PyObject* send_words(State& st, PyObject* self, std::initializer_list<PyObject*> w, PyObject* cast) noexcept {
    return host::send_words(st.requests, self, w, cast);
}

}  // namespace tclns
