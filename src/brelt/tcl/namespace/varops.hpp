// The variable requests: get, set, unset and exists of a variable or of one
// of its elements, and the "::array" requests. One implementation serves
// TclVariable, TclArrayVariable and the variable views of a namespace;
// they differ only in how they find the target of a request.
#pragma once

#include "fastpath.hpp"

namespace tclns {

// What a request goes to: the interpreter, its tk (as tk_of()) and the
// variable's name.
struct VarTarget {
    Ref tcl, tk, name;
};

// The target of handle `self`: self.tcl and its tk, then self.var_name,
// read through `attrs` (which the caller may go on using).
bool handle_target(State& st, AttrReader& attrs, VarTarget& t) noexcept;

// tk.getvar(name[, array_index]), the value as the interpreter hands it
// over; the index goes to the host as it is (its own argument rules apply).
PyObject* var_getvar(State& st, VarTarget& t, PyObject* array_index) noexcept;

// The string value, read by evaluating "set name" (the name list-quoted, so
// it is never read as code); an index makes the name an element name.
PyObject* var_get_str(State& st, VarTarget& t, PyObject* array_index) noexcept;
// tk.setvar(name[, quotify(array_index)], tclobj(value)).
PyObject* var_setvar(State& st, VarTarget& t, PyObject* value, PyObject* array_index) noexcept;

// tk.unsetvar(name[, quotify(array_index)]); None, or a TclError ignored
// when `nocomplain` (NULL: never) is true.
PyObject* var_unsetvar(State& st, VarTarget& t, PyObject* array_index, PyObject* nocomplain) noexcept;
// ("::info", "exists", name or element name), cast by the interpreter's
// cast_boolean.
PyObject* var_exists(State& st, VarTarget& t, PyObject* array_index) noexcept;

// The requests of a handle `self` of any class behind TclVariable's
// methods, for the array classes' mapping methods too.
PyObject* variable_get_obj(State& st, PyObject* self, PyObject* array_index, PyObject* cast) noexcept;
PyObject* variable_get_str(State& st, PyObject* self, PyObject* array_index) noexcept;
PyObject* variable_set(State& st, PyObject* self, PyObject* value, PyObject* array_index) noexcept;
PyObject* variable_unset(State& st, PyObject* self, PyObject* array_index, PyObject* nocomplain) noexcept;
PyObject* variable_exists(State& st, PyObject* self, PyObject* array_index) noexcept;
// The same with the handle's attributes read through `attrs`.
PyObject* variable_get_obj(State& st, AttrReader& attrs, PyObject* array_index, PyObject* cast) noexcept;
PyObject* variable_set(State& st, AttrReader& attrs, PyObject* value, PyObject* array_index) noexcept;
PyObject* variable_unset(State& st, AttrReader& attrs, PyObject* array_index, PyObject* nocomplain) noexcept;
PyObject* variable_exists(State& st, AttrReader& attrs, PyObject* array_index) noexcept;

// ("::array", sub, self.var_name) plus quotify(pattern) unless it is None
// or NULL, sent with tk.call; `cast` (a name of a cast operation, or NULL)
// converts the result.
PyObject* array_request(State& st, PyObject* self, PyObject* sub, PyObject* pattern, PyObject* cast) noexcept;
// "::array get" evaluated as one script (the pattern quoted with the other
// words), cast by cast_array.
PyObject* array_get_str(State& st, PyObject* self, PyObject* pattern) noexcept;
// "::array set" of tclobj(value); None.
PyObject* array_set(State& st, PyObject* self, PyObject* value) noexcept;

// ---------------------------------------------------------------------------
// The hot path (reading and setting a variable), defined here so that the
// methods that call it inline it.

// Whether `self` is an instance of one of the module's variable classes
// itself, none of which defines the attributes a request reads: those are
// read from the instance dict without asking the class.
[[gnu::always_inline]] inline bool own_variable(State& st, PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    return t == st.TclVariable.as<PyTypeObject>() || t == st.TclArrayVariable.as<PyTypeObject>() ||
           t == st.TempTclVariable.as<PyTypeObject>() || t == st.TempTclArrayVariable.as<PyTypeObject>();
}

[[gnu::always_inline]] inline bool handle_target(State& st, AttrReader& attrs, VarTarget& t) noexcept {
    if (!interp_tk(st, attrs, t.tcl, t.tk)) return false;
    t.name = Ref::steal(attrs(st.s_var_name.get()));
    return static_cast<bool>(t.name);
}

[[gnu::always_inline]] inline PyObject* var_getvar(State& st, VarTarget& t, PyObject* array_index) noexcept {
    if (is_none(array_index)) {
        PyObject* args[] = {nullptr, t.tk.get(), t.name.get()};
        return call_tk(st, t.tcl.get(), TkMethod::getvar, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
    PyObject* args[] = {nullptr, t.tk.get(), t.name.get(), array_index};
    return call_tk(st, t.tcl.get(), TkMethod::getvar, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

[[gnu::always_inline]] inline PyObject* var_setvar(State& st, VarTarget& t, PyObject* value,
                                                   PyObject* array_index) noexcept {
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

[[gnu::always_inline]] inline PyObject* variable_get_obj(State& st, AttrReader& attrs, PyObject* array_index,
                                                         PyObject* cast) noexcept {
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

inline PyObject* variable_get_obj(State& st, PyObject* self, PyObject* array_index, PyObject* cast) noexcept {
    AttrReader attrs(st, self, own_variable(st, self));
    return variable_get_obj(st, attrs, array_index, cast);
}

[[gnu::always_inline]] inline PyObject* variable_set(State& st, AttrReader& attrs, PyObject* value,
                                                     PyObject* array_index) noexcept {
    VarTarget t;
    return handle_target(st, attrs, t) ? var_setvar(st, t, value, array_index) : nullptr;
}

inline PyObject* variable_set(State& st, PyObject* self, PyObject* value, PyObject* array_index) noexcept {
    AttrReader attrs(st, self, own_variable(st, self));
    return variable_set(st, attrs, value, array_index);
}

}  // namespace tclns
