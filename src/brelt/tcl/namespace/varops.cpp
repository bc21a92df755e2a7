// The variable requests (varops.hpp): one implementation of get, set, unset
// and exists, and of the "::array" requests, for every class that sends them.
#include "names.hpp"
#include "varops.hpp"

namespace tclns {

bool handle_target(State& st, AttrReader& attrs, VarTarget& t) noexcept {
    if (!interp_tk(st, attrs, t.tcl, t.tk)) return false;
    t.name = Ref::steal(attrs(st.s_var_name.get()));
    return static_cast<bool>(t.name);
}

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

PyObject* var_getvar(State& st, VarTarget& t, PyObject* array_index) noexcept {
    if (is_none(array_index)) {
        PyObject* args[] = {nullptr, t.tk.get(), t.name.get()};
        return call_tk(st, t.tcl.get(), TkMethod::getvar, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
    PyObject* args[] = {nullptr, t.tk.get(), t.name.get(), array_index};
    return call_tk(st, t.tcl.get(), TkMethod::getvar, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

PyObject* var_get_str(State& st, VarTarget& t, PyObject* array_index) noexcept {
    Ref name = Ref::steal(name_with_index(st, t, array_index));
    if (!name) return nullptr;
    Ref w = Ref::steal(make_words({st.w_set.get(), name.get()}));
    Ref script = w ? Ref::steal(quotify(st, w.get())) : Ref();
    if (!script) return nullptr;
    PyObject* args[] = {t.tk.get(), script.get()};
    return call_tk(st, t.tcl.get(), TkMethod::eval, args, 2);
}

PyObject* var_setvar(State& st, VarTarget& t, PyObject* value, PyObject* array_index) noexcept {
    if (is_none(array_index)) {
        Ref v = Ref::steal(tclobj(st, value));
        if (!v) return nullptr;
        PyObject* args[] = {nullptr, t.tk.get(), t.name.get(), v.get()};
        return call_tk(st, t.tcl.get(), TkMethod::setvar, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
    Ref index = Ref::steal(quotify(st, array_index));
    if (!index) return nullptr;
    Ref v = Ref::steal(tclobj(st, value));
    if (!v) return nullptr;
    PyObject* args[] = {nullptr, t.tk.get(), t.name.get(), index.get(), v.get()};
    return call_tk(st, t.tcl.get(), TkMethod::setvar, args + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET);
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

PyObject* variable_get_obj(State& st, PyObject* self, PyObject* array_index, PyObject* cast) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    if (!handle_target(st, attrs, t)) return nullptr;
    Ref value = Ref::steal(var_getvar(st, t, array_index));
    if (!value) return nullptr;
    Ref c;
    if (cast == nullptr || cast == st.marker.get()) {
        c = Ref::steal(attrs(st.s_cast.get()));
        if (!c) return nullptr;
    } else {
        c = Ref::borrow(cast);
    }
    if (c.get() == Py_None) return value.release();
    int truth = PyObject_IsTrue(c.get());
    if (truth < 0) return nullptr;
    if (!truth) return value.release();
    return PyObject_CallOneArg(c.get(), value.get());
}

PyObject* variable_get_str(State& st, PyObject* self, PyObject* array_index) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    return handle_target(st, attrs, t) ? var_get_str(st, t, array_index) : nullptr;
}

PyObject* variable_set(State& st, PyObject* self, PyObject* value, PyObject* array_index) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    return handle_target(st, attrs, t) ? var_setvar(st, t, value, array_index) : nullptr;
}

PyObject* variable_unset(State& st, PyObject* self, PyObject* array_index, PyObject* nocomplain) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    return handle_target(st, attrs, t) ? var_unsetvar(st, t, array_index, nocomplain) : nullptr;
}

PyObject* variable_exists(State& st, PyObject* self, PyObject* array_index) noexcept {
    AttrReader attrs(st, self);
    VarTarget t;
    return handle_target(st, attrs, t) ? var_exists(st, t, array_index) : nullptr;
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
