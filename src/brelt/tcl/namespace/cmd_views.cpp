// CommandsView and ProcsView: the commands of a TclNamespace (all, or its
// Tcl procedures only) as mutable mappings of TclCommand handles.
#include "names.hpp"
#include "views.hpp"

namespace tclns {
namespace {

PyObject* cmds_init(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsInit{"__init__", cmds_init, R"doc(__init__(self, ns)
--

The commands of the TclNamespace ns as a mapping (ns.cmds, ns.procs).
)doc"};

PyObject* cmds_init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsInit.slot("self")];
    PyObject* ns = argv[kCmdsInit.slot("ns")];
    if (!init_view(st, st.CommandsView.get(), self, ns)) return nullptr;
    Py_RETURN_NONE;
}

// TclCommand((join(ns, cmd_name),), *args, tcl=ns.tcl, **kwargs): the name
// as a one-word tuple, so it is never split.
PyObject* cmds_byref(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsByref{"byref", cmds_byref, R"doc(byref(self, cmd_name, *args, **kwargs)
--

Return TclCommand((TclNamespace.join(self.ns, cmd_name),), *args,
tcl=self.ns.tcl, **kwargs): a handle on the namespace's command, whose
qualified name stays one word. Extra arguments fill args and keywords;
cast and logger go by keyword.
)doc"};

PyObject* cmds_byref(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsByref.slot("self")];
    PyObject* cmd_name = argv[kCmdsByref.slot("cmd_name")];
    PyObject* args = argv[kCmdsByref.slot("args")];
    PyObject* kwargs = argv[kCmdsByref.slot("kwargs")];
    Ref make = module_class(st, fn->module, st.g_TclCommand.get());
    return make ? make_byref(st, make.get(), "TclCommand", true, self, cmd_name, args, kwargs) : nullptr;
}

// self.byref(cmd_name).<method>()
PyObject* ask_handle(State& st, PyObject* self, PyObject* cmd_name, PyObject* method) noexcept {
    PyObject* a[] = {nullptr};
    return via_handle(st, self, cmd_name, method, a, 1);
}

PyObject* cmds_exists(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsExists{"exists", cmds_exists, R"doc(exists(self, cmd_name)
--

Whether the command exists (its name matched literally).
)doc"};

PyObject* cmds_exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsExists.slot("self")];
    PyObject* cmd_name = argv[kCmdsExists.slot("cmd_name")];
    return ask_handle(st, self, cmd_name, st.s_exists.get());
}

PyObject* procs_exists(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kProcsExists{"exists", procs_exists, R"doc(exists(self, cmd_name)
--

Whether the command exists and is a Tcl procedure.
)doc"};

PyObject* procs_exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kProcsExists.slot("self")];
    PyObject* cmd_name = argv[kProcsExists.slot("cmd_name")];
    return ask_handle(st, self, cmd_name, st.s_is_proc.get());
}

PyObject* cmds_origin(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsOrigin{"origin", cmds_origin, R"doc(origin(self, cmd_name)
--

Return the original command of an imported one (TclCommand.origin).
)doc"};

PyObject* cmds_origin(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsOrigin.slot("self")];
    PyObject* cmd_name = argv[kCmdsOrigin.slot("cmd_name")];
    return ask_handle(st, self, cmd_name, st.s_origin.get());
}

PyObject* cmds_proc_body(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsProcBody{"proc_body", cmds_proc_body, R"doc(proc_body(self, cmd_name)
--

Return the body of the procedure.
)doc"};

PyObject* cmds_proc_body(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsProcBody.slot("self")];
    PyObject* cmd_name = argv[kCmdsProcBody.slot("cmd_name")];
    return ask_handle(st, self, cmd_name, st.s_proc_body.get());
}

PyObject* cmds_proc_args(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsProcArgs{"proc_args", cmds_proc_args, R"doc(proc_args(self, cmd_name)
--

Return the argument names of the procedure.
)doc"};

PyObject* cmds_proc_args(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsProcArgs.slot("self")];
    PyObject* cmd_name = argv[kCmdsProcArgs.slot("cmd_name")];
    return ask_handle(st, self, cmd_name, st.s_proc_args.get());
}

PyObject* cmds_createcommand(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsCreatecommand{"createcommand", cmds_createcommand,
                                               R"doc(createcommand(self, cmd_name, func)
--

Register the Python callable func as the command cmd_name.
)doc"};

PyObject* cmds_createcommand(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsCreatecommand.slot("self")];
    PyObject* cmd_name = argv[kCmdsCreatecommand.slot("cmd_name")];
    PyObject* func = argv[kCmdsCreatecommand.slot("func")];
    PyObject* a[] = {nullptr, func};
    return none_of(via_handle(st, self, cmd_name, st.s_createcommand.get(), a, 2));
}

PyObject* cmds_delete(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsDelete{"delete", cmds_delete, R"doc(delete(self, cmd_name)
--

Delete the command; TclError when it does not exist.
)doc"};

PyObject* cmds_delete(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsDelete.slot("self")];
    PyObject* cmd_name = argv[kCmdsDelete.slot("cmd_name")];
    return none_of(ask_handle(st, self, cmd_name, st.s_delete.get()));
}

PyObject* cmds_rename(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsRename{"rename", cmds_rename, R"doc(rename(self, cmd_name, new_name)
--

Rename the command; new_name is qualified in the same namespace (an
absolute one is used as it is).
)doc"};

PyObject* cmds_rename(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsRename.slot("self")];
    PyObject* cmd_name = argv[kCmdsRename.slot("cmd_name")];
    PyObject* new_name = argv[kCmdsRename.slot("new_name")];
    // The new name is qualified in the same namespace (and may not be empty).
    Ref fresh = Ref::steal(qualified_in(st, self, new_name));
    if (!fresh) return nullptr;
    PyObject* a[] = {nullptr, fresh.get()};
    return none_of(via_handle(st, self, cmd_name, st.s_rename.get(), a, 2));
}

PyObject* cmds_proc_arg_default(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsProcArgDefault{"proc_arg_default", cmds_proc_arg_default,
                                                R"doc(proc_arg_default(self, cmd_name, arg_name)
--

Return the default value of the procedure's argument, or None.
)doc"};

PyObject* cmds_proc_arg_default(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsProcArgDefault.slot("self")];
    PyObject* cmd_name = argv[kCmdsProcArgDefault.slot("cmd_name")];
    PyObject* arg_name = argv[kCmdsProcArgDefault.slot("arg_name")];
    PyObject* a[] = {nullptr, arg_name};
    return via_handle(st, self, cmd_name, st.s_proc_arg_default.get(), a, 2);
}

PyObject* cmds_getitem(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsGetitem{"__getitem__", cmds_getitem, R"doc(__getitem__(self, cmd_name)
--

self.byref(cmd_name): a handle, also for a command that does not exist
(never KeyError).
)doc"};

PyObject* cmds_getitem(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kCmdsGetitem.slot("self")];
    PyObject* cmd_name = argv[kCmdsGetitem.slot("cmd_name")];
    return call_method(self, state_of(fn).s_byref.get(), cmd_name);
}

PyObject* cmds_contains(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsContains{"__contains__", cmds_contains, R"doc(__contains__(self, cmd_name)
--

self.exists(cmd_name).
)doc"};

PyObject* cmds_contains(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kCmdsContains.slot("self")];
    PyObject* cmd_name = argv[kCmdsContains.slot("cmd_name")];
    return call_method(self, state_of(fn).s_exists.get(), cmd_name);
}

PyObject* cmds_setitem(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsSetitem{"__setitem__", cmds_setitem, R"doc(__setitem__(self, cmd_name, func)
--

Register the Python callable func as the command: self.createcommand().
)doc"};

PyObject* cmds_setitem(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kCmdsSetitem.slot("self")];
    PyObject* cmd_name = argv[kCmdsSetitem.slot("cmd_name")];
    PyObject* func = argv[kCmdsSetitem.slot("func")];
    PyObject* a[] = {self, cmd_name, func};
    return none_of(call_method(state_of(fn).s_createcommand.get(), a, 3, nullptr));
}

PyObject* cmds_delitem(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsDelitem{"__delitem__", cmds_delitem, R"doc(__delitem__(self, cmd_name)
--

self.delete(cmd_name); a TclError (no such command) becomes a KeyError
whose argument and cause are that TclError.
)doc"};

PyObject* cmds_delitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCmdsDelitem.slot("self")];
    PyObject* cmd_name = argv[kCmdsDelitem.slot("cmd_name")];
    Ref r = Ref::steal(call_method(self, st.s_delete.get(), cmd_name));
    if (r) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(st.TclError.get())) return reraise_as_key_error();
    return nullptr;
}

PyObject* cmds_iter(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCmdsIter{"__iter__", cmds_iter, R"doc(__iter__(self)
--

Iterate over the command names visible in the namespace ("::info
commands" inside it), asked when the first name is requested.
)doc"};

PyObject* cmds_iter(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kCmdsIter.slot("self")];
    return iter_commands(fn, self);
}

PyObject* procs_iter(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kProcsIter{"__iter__", procs_iter, R"doc(__iter__(self)
--

Iterate over the procedure names visible in the namespace ("::info
procs" inside it), asked when the first name is requested.
)doc"};

PyObject* procs_iter(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kProcsIter.slot("self")];
    return iter_procs(fn, self);
}

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
