// CommandsView and ProcsView: the commands of a TclNamespace (all, or its
// Tcl procedures only) as mutable mappings of TclCommand handles.
#include "names.hpp"
#include "views.hpp"

namespace tclns {
namespace {

PyObject* cmds_init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    if (!init_view(st, st.CommandsView.get(), argv[0], argv[1])) return nullptr;
    Py_RETURN_NONE;
}

// TclCommand((join(ns, cmd_name),), *args, tcl=ns.tcl, **kwargs): the name
// as a one-word tuple, so it is never split.
PyObject* cmds_byref(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    return make_byref(st, st.TclCommand.get(), "TclCommand", true, argv[0], argv[1], argv[2], argv[3]);
}

template <Held State::*Method>
PyObject* cmds_simple(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr};
    return via_handle(st, argv[0], argv[1], (st.*Method).get(), a, 1);
}

PyObject* cmds_exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr};
    return via_handle(st, argv[0], argv[1], st.s_exists.get(), a, 1);
}

PyObject* procs_exists(Function* fn, PyObject* const* argv) { return cmds_simple<&State::s_is_proc>(fn, argv); }

PyObject* cmds_createcommand(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2]};
    return none_of(via_handle(st, argv[0], argv[1], st.s_createcommand.get(), a, 2));
}

PyObject* cmds_delete(Function* fn, PyObject* const* argv) {
    return none_of(cmds_simple<&State::s_delete>(fn, argv));
}

PyObject* cmds_rename(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    // The new name is qualified in the same namespace (and may not be empty).
    Ref fresh = Ref::steal(qualified_in(st, argv[0], argv[2]));
    if (!fresh) return nullptr;
    PyObject* a[] = {nullptr, fresh.get()};
    return none_of(via_handle(st, argv[0], argv[1], st.s_rename.get(), a, 2));
}

PyObject* cmds_proc_arg_default(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2]};
    return via_handle(st, argv[0], argv[1], st.s_proc_arg_default.get(), a, 2);
}

PyObject* cmds_getitem(Function* fn, PyObject* const* argv) {
    return call_method(argv[0], state_of(fn).s_byref.get(), argv[1]);
}

PyObject* cmds_contains(Function* fn, PyObject* const* argv) {
    return call_method(argv[0], state_of(fn).s_exists.get(), argv[1]);
}

PyObject* cmds_setitem(Function* fn, PyObject* const* argv) {
    PyObject* a[] = {argv[0], argv[1], argv[2]};
    return none_of(call_method(state_of(fn).s_createcommand.get(), a, 3, nullptr));
}

PyObject* cmds_delitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    Ref r = Ref::steal(call_method(argv[0], st.s_delete.get(), argv[1]));
    if (r) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(st.TclError.get())) return reraise_as_key_error();
    return nullptr;
}

PyObject* cmds_iter(Function* fn, PyObject* const* argv) {
    return iter_commands(fn, argv[0]);
}

PyObject* procs_iter(Function* fn, PyObject* const* argv) { return iter_procs(fn, argv[0]); }

constexpr capi::FunctionDef kCmdsInit{"__init__", cmds_init, R"doc(__init__(self, ns)
--

The commands of the TclNamespace ns as a mapping (ns.cmds, ns.procs).
)doc"};

constexpr capi::FunctionDef kCmdsByref{"byref", cmds_byref, R"doc(byref(self, cmd_name, *args, **kwargs)
--

Return TclCommand((TclNamespace.join(self.ns, cmd_name),), *args,
tcl=self.ns.tcl, **kwargs): a handle on the namespace's command, whose
qualified name stays one word. Extra arguments fill args and keywords;
cast and logger go by keyword.
)doc"};

constexpr capi::FunctionDef kCmdsExists{"exists", cmds_exists, R"doc(exists(self, cmd_name)
--

Whether the command exists (its name matched literally).
)doc"};

constexpr capi::FunctionDef kProcsExists{"exists", procs_exists, R"doc(exists(self, cmd_name)
--

Whether the command exists and is a Tcl procedure.
)doc"};

constexpr capi::FunctionDef kCmdsCreatecommand{
    "createcommand", cmds_createcommand, R"doc(createcommand(self, cmd_name, func)
--

Register the Python callable func as the command cmd_name.
)doc"};

constexpr capi::FunctionDef kCmdsDelete{"delete", cmds_delete, R"doc(delete(self, cmd_name)
--

Delete the command; TclError when it does not exist.
)doc"};

constexpr capi::FunctionDef kCmdsRename{"rename", cmds_rename, R"doc(rename(self, cmd_name, new_name)
--

Rename the command; new_name is qualified in the same namespace (an
absolute one is used as it is).
)doc"};

constexpr capi::FunctionDef kCmdsOrigin{
    "origin", cmds_simple<&State::s_origin>, R"doc(origin(self, cmd_name)
--

Return the original command of an imported one (TclCommand.origin).
)doc"};

constexpr capi::FunctionDef kCmdsProcBody{
    "proc_body", cmds_simple<&State::s_proc_body>, R"doc(proc_body(self, cmd_name)
--

Return the body of the procedure.
)doc"};

constexpr capi::FunctionDef kCmdsProcArgs{
    "proc_args", cmds_simple<&State::s_proc_args>, R"doc(proc_args(self, cmd_name)
--

Return the argument names of the procedure.
)doc"};

constexpr capi::FunctionDef kCmdsProcArgDefault{"proc_arg_default", cmds_proc_arg_default,
                                                R"doc(proc_arg_default(self, cmd_name, arg_name)
--

Return the default value of the procedure's argument, or None.
)doc"};

constexpr capi::FunctionDef kCmdsGetitem{"__getitem__", cmds_getitem, R"doc(__getitem__(self, cmd_name)
--

self.byref(cmd_name): a handle, also for a command that does not exist
(never KeyError).
)doc"};

constexpr capi::FunctionDef kCmdsContains{"__contains__", cmds_contains, R"doc(__contains__(self, cmd_name)
--

self.exists(cmd_name).
)doc"};

constexpr capi::FunctionDef kCmdsSetitem{"__setitem__", cmds_setitem, R"doc(__setitem__(self, cmd_name, func)
--

Register the Python callable func as the command: self.createcommand().
)doc"};

constexpr capi::FunctionDef kCmdsDelitem{"__delitem__", cmds_delitem, R"doc(__delitem__(self, cmd_name)
--

self.delete(cmd_name); a TclError (no such command) becomes a KeyError
whose argument and cause are that TclError.
)doc"};

constexpr capi::FunctionDef kCmdsIter{"__iter__", cmds_iter, R"doc(__iter__(self)
--

Iterate over the command names visible in the namespace ("::info
commands" inside it), asked when the first name is requested.
)doc"};

constexpr capi::FunctionDef kProcsIter{"__iter__", procs_iter, R"doc(__iter__(self)
--

Iterate over the procedure names visible in the namespace ("::info
procs" inside it), asked when the first name is requested.
)doc"};

constexpr const char* kCmdsDoc = R"doc(The commands of a Tcl namespace as a mutable mapping of TclCommand
handles (TclNamespace.cmds).

view['f'] is a handle on the qualified name (whether or not the command
exists), view['f'] = func registers a Python callable, del view['f']
deletes the command (KeyError when missing), 'f' in view tests it, and
iteration asks "::info commands" for the namespace's own commands (not
the global ones it can see) and yields their tails.
)doc";

constexpr const char* kProcsDoc = R"doc(The Tcl procedures of a namespace (TclNamespace.procs): as CommandsView,
but membership and iteration count procedures only.
)doc";

}  // namespace

bool build_command_views(PyObject* module, State& st) {
    capi::ClassBuilder cmds(module, "CommandsView", kCmdsDoc, "TclNamespace.CommandsView");
    cmds.bases({st.MutableMapping.get()})
        .method(kCmdsInit)
        .method(kCmdsByref)
        .method(kCmdsExists)
        .method(kCmdsCreatecommand)
        .method(kCmdsDelete)
        .method(kCmdsRename)
        .method(kCmdsOrigin)
        .method(kCmdsProcBody)
        .method(kCmdsProcArgs)
        .method(kCmdsProcArgDefault)
        .method(kCmdsGetitem)
        .method(kCmdsContains)
        .method(kCmdsSetitem)
        .method(kCmdsDelitem)
        .method(kCmdsIter)
        .method(kViewLen);
    st.CommandsView = cmds.build();
    if (!st.CommandsView) return false;

    capi::ClassBuilder procs(module, "ProcsView", kProcsDoc, "TclNamespace.ProcsView");
    procs.bases({st.CommandsView.get()}).method(kProcsExists).method(kProcsIter);
    st.ProcsView = procs.build();
    return static_cast<bool>(st.ProcsView);
}


}  // namespace tclns
