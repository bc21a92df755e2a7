// The variable requests (varops.hpp): one implementation of get, set, unset
// and exists, and of the "::array" requests, for every class that sends them.
#include "names.hpp"
#include "varops.hpp"

namespace tclns {

namespace {

// The name a request about one element reads: the element name with an
// index, else the variable's.
PyObject* name_with_index(State& st, VarTarget& t, PyObject* array_index) noexcept {
    if (is_none(array_index)) return Py_NewRef(t.name.get());
    return element_name(st, t.name.get(), array_index);
}

}  // namespace

// ---------------------------------------------------------------------------
// On a target

PyObject* var_get_str(State& st, VarTarget& t, PyObject* array_index) noexcept {
    Ref name = Ref::steal(name_with_index(st, t, array_index));
    if (!name) return nullptr;
    Ref w = Ref::steal(make_words({st.w_set.get(), name.get()}));
    Ref script = w ? Ref::steal(quotify(st, w.get())) : Ref();
    if (!script) return nullptr;
    PyObject* args[] = {t.tk.get(), script.get()};
    return call_tk(st, t.tcl.get(), TkMethod::eval, args, 2);
}

PyObject* var_unsetvar(State& st, VarTarget& t, PyObject* array_index, PyObject* nocomplain) noexcept {
    Ref result;
    if (is_none(array_index)) {
        PyObject* args[] = {t.tk.get(), t.name.get()};
        result = Ref::steal(call_tk(st, t.tcl.get(), TkMethod::unsetvar, args, 2));
    } else {
        Ref index = Ref::steal(quotify(st, array_index));
        if (!index) return nullptr;
        PyObject* args[] = {t.tk.get(), t.name.get(), index.get()};
        result = Ref::steal(call_tk(st, t.tcl.get(), TkMethod::unsetvar, args, 3));
    }
    if (!result) {
        if (nocomplain == nullptr || !PyErr_ExceptionMatches(st.TclError.get())) return nullptr;
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        int quiet = PyObject_IsTrue(nocomplain);
        if (quiet < 0) return nullptr;
        if (!quiet) {
            PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* var_exists(State& st, VarTarget& t, PyObject* array_index) noexcept {
    Ref name = Ref::steal(name_with_index(st, t, array_index));
    Ref w = name ? Ref::steal(make_words({st.w_info.get(), st.w_exists.get(), name.get()})) : Ref();
    Ref answer = w ? Ref::steal(tk_call_words(st, t.tcl.get(), t.tk.get(), w.get())) : Ref();
    return answer ? cast_with(t.tcl.get(), st.s_cast_boolean.get(), answer.get()) : nullptr;
}

// ---------------------------------------------------------------------------
// On a handle

PyObject* variable_get_str(State& st, PyObject* self, PyObject* array_index) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    return handle_target(st, attrs, t) ? var_get_str(st, t, array_index) : nullptr;
}

PyObject* variable_unset(State& st, AttrReader& attrs, PyObject* array_index, PyObject* nocomplain) noexcept {
    VarTarget t;
    return handle_target(st, attrs, t) ? var_unsetvar(st, t, array_index, nocomplain) : nullptr;
}

PyObject* variable_unset(State& st, PyObject* self, PyObject* array_index, PyObject* nocomplain) noexcept {
    AttrReader attrs(st, self);
    return variable_unset(st, attrs, array_index, nocomplain);
}

PyObject* variable_exists(State& st, AttrReader& attrs, PyObject* array_index) noexcept {
    VarTarget t;
    return handle_target(st, attrs, t) ? var_exists(st, t, array_index) : nullptr;
}

PyObject* variable_exists(State& st, PyObject* self, PyObject* array_index) noexcept {
    AttrReader attrs(st, self);
    return variable_exists(st, attrs, array_index);
}

// ---------------------------------------------------------------------------
// The "::array" requests of a handle

PyObject* array_request(State& st, PyObject* self, PyObject* sub, PyObject* pattern, PyObject* cast) noexcept {
    Ref name = Ref::steal(read_attr(st, self, st.s_var_name.get()));
    if (!name) return nullptr;
    if (is_none(pattern)) return send_words(st, self, {st.w_array.get(), sub, name.get()}, cast);
    Ref p = Ref::steal(quotify(st, pattern));
    if (!p) return nullptr;
    return send_words(st, self, {st.w_array.get(), sub, name.get(), p.get()}, cast);
}

PyObject* array_get_str(State& st, PyObject* self, PyObject* pattern) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    if (!handle_target(st, attrs, t)) return nullptr;
    Ref w = Ref::steal(is_none(pattern) ? make_words({st.w_array.get(), st.w_get.get(), t.name.get()})
                                        : make_words({st.w_array.get(), st.w_get.get(), t.name.get(), pattern}));
    Ref script = w ? Ref::steal(quotify(st, w.get())) : Ref();
    if (!script) return nullptr;
    PyObject* args[] = {t.tk.get(), script.get()};
    Ref result = Ref::steal(call_tk(st, t.tcl.get(), TkMethod::eval, args, 2));
    if (!result) return nullptr;
    return cast_with(t.tcl.get(), st.s_cast_array.get(), result.get());
}

PyObject* array_set(State& st, PyObject* self, PyObject* value) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    if (!handle_target(st, attrs, t)) return nullptr;
    Ref v = Ref::steal(tclobj(st, value));
    Ref w = v ? Ref::steal(make_words({st.w_array.get(), st.w_set.get(), t.name.get(), v.get()})) : Ref();
    Ref result = w ? Ref::steal(tk_call_words(st, t.tcl.get(), t.tk.get(), w.get())) : Ref();
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tclns
