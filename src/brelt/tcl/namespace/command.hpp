// What the command classes share between their files.
#pragma once

#include "fastpath.hpp"

namespace tclns {

// Whether `obj` is an instance of TclCommand or TempTclCommand themselves
// (not of a subclass, which may override what a method delegates to).
bool own_command(State& st, PyObject* obj) noexcept;
// The same for TclNamespace and TempTclNamespace, and for the four views.
bool own_namespace(State& st, PyObject* obj) noexcept;
bool own_view(State& st, PyObject* obj) noexcept;

// getattr(self, name), each a new reference. For an instance of one of the
// module's own classes (`own`), straight from its __dict__, fetched once.
class Fields {
public:
    Fields(PyObject* self, bool own) noexcept : self_(self), own_(own) {}
    PyObject* operator()(PyObject* name) noexcept;

private:
    PyObject* self_;
    bool own_;
    Ref dict_;
};

// self.tcl (through Fields) and its tk, as tk_of().
inline bool fields_interp_tk(State& st, Fields& f, Ref& tcl, Ref& tk) noexcept {
    tcl = Ref::steal(f(st.s_tcl.get()));
    return tcl && tk_of(st, tcl.get(), tk);
}

// What a temporary command keeps of the Tcl application its command went
// to: (tk, the owning thread's ident or None).
inline PyObject* kept_application(State& st, PyObject* tcl, PyObject* tk) noexcept {
    Ref owner;
    if (PyObject_GetOptionalAttr(tcl, st.s_thread.get(), owner.out()) < 0) return nullptr;
    return PyTuple_Pack(2, tk, owner ? owner.get() : Py_None);
}

// The command line of handle `self` with the call's arguments: `call` holds
// `ncall` positional arguments, then the values of the keywords in kwnames.
PyObject* build_line(State& st, PyObject* self, PyObject* const* call, Py_ssize_t ncall, PyObject* kwnames) noexcept;
PyObject* build_line(State& st, Fields& f, PyObject* const* call, Py_ssize_t ncall, PyObject* kwnames) noexcept;

bool build_temp_command(PyObject* module, State& st);  // TempTclCommand, after TclCommand
// Drops a temporary command's kept application (its command is gone).
bool forget_kept_tk(State& st, PyObject* self) noexcept;
// Drops a temporary command's kept application (its command is gone).


}  // namespace tclns
