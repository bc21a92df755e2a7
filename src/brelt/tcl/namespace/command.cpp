// TclCommand: a handle on one Tcl command, with pre-bound arguments and
// options, like a partial application of the command.
#include "cmdline.hpp"
#include "names.hpp"

namespace tclns {

namespace {

std::nullptr_t missing_self(Function* fn) noexcept {
    PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'", fn->qualname);
    return nullptr;
}

}  // namespace

namespace {

// call() and eval(): build, log (call only), send, cast; args[0] is self.
PyObject* run(State& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool as_script) {
    PyObject* self = args[0];
    bool own = own_command(st, self);
    AttrReader f(st, self, own);
    // The module's own class builds the words, made a tuple only when one
    // is needed (a script, a log message, many words).
    Words words;
    Ref line;
    if (own) {
        if (!build_words(st, f, args + 1, nargs - 1, kwnames, words)) return nullptr;
    } else {
        line = Ref::steal(line_of(st, args, nargs, kwnames));
        if (!line) return nullptr;
    }
    auto whole_line = [&]() -> PyObject* {
        if (!line) line = Ref::steal(words_tuple(words));
        return line.get();
    };
    if (!as_script) {
        Ref logger = Ref::steal(f(st.s_logger.get()));
        if (!logger) return nullptr;
        int log = truth(logger.get());
        if (log < 0) return nullptr;
        if (log) {
            if (!whole_line()) return nullptr;
            Ref text = Ref::steal(quotify_str(st, line.get()));
            Ref message = text ? Ref::steal(PyUnicode_Concat(st.t_calling.get(), text.get())) : Ref();
            Ref r = message ? Ref::steal(call_method(logger.get(), st.s_info.get(), message.get())) : Ref();
            if (!r) return nullptr;
        }
    }
    Ref tcl, tk;
    if (!interp_tk(st, f, tcl, tk)) return nullptr;
    Ref result;
    constexpr size_t kSpread = 15;
    if (as_script) {
        if (!whole_line()) return nullptr;
        Ref script = Ref::steal(quotify(st, line.get()));
        if (!script) return nullptr;
        PyObject* a[] = {tk.get(), script.get()};
        result = Ref::steal(call_tk(st, tcl.get(), TkMethod::eval, a, 2));
    } else if (!line && words.size() <= kSpread) {
        PyObject* w[kSpread];
        for (size_t i = 0; i < words.size(); ++i) w[i] = words[i].get();
        result = Ref::steal(host::tk_call_spread(st.requests, tcl.get(), tk.get(), w, words.size()));
    } else {
        if (!whole_line()) return nullptr;
        result = Ref::steal(tk_call_words(st, tcl.get(), tk.get(), line.get()));
    }
    if (!result) return nullptr;
    Ref cast = Ref::steal(f(st.s_cast.get()));
    if (!cast) return nullptr;
    int convert = truth(cast.get());
    if (convert < 0) return nullptr;
    if (!convert) return result.release();
    return PyObject_CallOneArg(cast.get(), result.get());
}

PyObject* call_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) return missing_self(fn);
    return run(state_of(fn), args, nargs, kwnames, false);
}

PyObject* eval_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) return missing_self(fn);
    return run(state_of(fn), args, nargs, kwnames, true);
}

// __call__(self, *args, **kwargs) with args[0] being self.
PyObject* dunder_call(State& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (own_command(st, args[0])) return run(st, args, nargs, kwnames, false);
    // Exactly self.call(...), so a subclass's call() is what runs.
    return call_method(st.s_call.get(), args, static_cast<size_t>(nargs), kwnames);
}

PyObject* dunder_call_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) return missing_self(fn);
    return dunder_call(state_of(fn), args, nargs, kwnames);
}

PyObject* build_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) return missing_self(fn);
    return build_line(state_of(fn), args[0], args + 1, nargs - 1, kwnames);
}

PyObject* dashed_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    State& st = state_of(fn);
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%U() takes 0 positional arguments but %zd %s given", fn->qualname, nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    return dashed_words(st, args, kwnames);
}

// ---------------------------------------------------------------------------
// Construction

PyObject* init(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kInit{"__init__", init,
                                  R"doc(__init__(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)
--

A handle on the Tcl command cmd, with bound arguments and options.

Without args, cmd is a whole command line: a tuple is taken word by word,
another TclCommand gives its command line, and anything else (a str, a
list...) is split as a Tcl list, so 'puts hello' is the command puts
with the bound argument hello. With args, cmd is the name alone (or
another handle, whose line comes first) and args a Tcl list of bound
arguments. keywords maps option names (without the dash) to values.
Arguments and option values go through tclobj().

tcl is the interpreter (held through a weak proxy; false means the
package brelt.tcl). cast converts every result; logger (a logging.Logger)
gets "Calling: <command line>" at info level before each call().
)doc"};

PyObject* init(Function* fn, PyObject* const* argv) {
    return init_command_handle(state_of(fn), argv[kInit.slot("self")], argv[kInit.slot("cmd")],
                               argv[kInit.slot("args")], argv[kInit.slot("keywords")], argv[kInit.slot("tcl")],
                               argv[kInit.slot("cast")], argv[kInit.slot("logger")]);
}

}  // namespace

PyObject* init_command_handle(State& st, PyObject* self, PyObject* cmd_arg, PyObject* args_arg, PyObject* keywords,
                              PyObject* tcl_arg, PyObject* cast, PyObject* logger) noexcept {
    if (!own_command(st, self) && !init_base(st, st.TclCommand.get(), self)) return nullptr;
    // The package, whatever `tcl` is: a name of one word is not split by
    // its cast_list, but a package that cannot be imported still fails here.
    if (!Ref::steal(the_package(st))) return nullptr;
    capi::AttrWriter w(self);
    Ref tcl = Ref::steal(interp_proxy(st, tcl_arg));
    if (!tcl || w(st.s_tcl.get(), tcl.get()) < 0) return nullptr;

    Ref cmd, args;
    if (!split_command(st, cmd_arg, args_arg, cmd, args)) return nullptr;
    Ref name = Ref::steal(quotify(st, cmd.get()));
    if (!name || w(st.s_cmd_name.get(), name.get()) < 0) return nullptr;
    // No bound arguments: the empty tuple is its own tclobj().
    PyObject* targs[] = {args.get()};
    bool none = PyTuple_CheckExact(args.get()) && PyTuple_GET_SIZE(args.get()) == 0;
    Ref bound = none ? Ref::borrow(args.get()) : Ref::steal(PyObject_Vectorcall(st.tclobj.get(), targs, 1, nullptr));
    if (!bound || w(st.s_args.get(), bound.get()) < 0) return nullptr;
    Ref options = Ref::steal(bound_options(st, keywords));
    if (!options) return nullptr;
    if (w(st.s_keywords.get(), options.get()) < 0 || w(st.s_cast.get(), cast ? cast : Py_None) < 0 ||
        w(st.s_logger.get(), logger ? logger : Py_None) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

// ---------------------------------------------------------------------------
// Requests

PyObject* request(State& st, PyObject* self, std::initializer_list<PyObject*> w, PyObject* cast) noexcept {
    return send_words(st, self, w, cast);
}

PyObject* name_of(State& st, PyObject* self) noexcept {
    return AttrReader(st, self, own_command(st, self))(st.s_cmd_name.get());
}

}  // namespace

PyObject* command_exists(State& st, PyObject* self, PyObject* info_sub) noexcept {
    Ref name = Ref::steal(name_of(st, self));
    Ref pattern = name ? Ref::steal(literal_pattern(name.get())) : Ref();
    if (!pattern) return nullptr;
    Ref answer = Ref::steal(request(st, self, {st.w_info.get(), info_sub, pattern.get()}, nullptr));
    if (!answer) return nullptr;
    int found = PyObject_IsTrue(answer.get());
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

// Whether handle `self` is a TempTclCommand (1, 0, or -1 with an
// error); the module's own classes are answered without the check.
static int is_temporary(State& st, PyObject* self) noexcept {
    if (Py_IS_TYPE(self, st.TempTclCommand.as<PyTypeObject>())) return 1;
    if (Py_IS_TYPE(self, st.TclCommand.as<PyTypeObject>())) return 0;
    return PyObject_IsInstance(self, st.TempTclCommand.get());
}

PyObject* create_command(State& st, PyObject* self, PyObject* func) noexcept {
    AttrReader f(st, self, own_command(st, self));
    Ref tcl, tk;
    if (!interp_tk(st, f, tcl, tk)) return nullptr;
    Ref name = Ref::steal(f(st.s_cmd_name.get()));
    if (!name) return nullptr;
    // Wrapped, so that an exception of func reaches Tcl as its message and
    // comes back as the cause of the TclError.
    Ref callable = Ref::steal(
        host::command_callable(st.CommandCallable.get(), tk.get(), func, st.TclError.get(),
                               [&](PyObject* app) { return call_tk_method(st, TkMethod::interpaddr, &app, 1); }));
    if (!callable) return nullptr;
    PyObject* a[] = {tk.get(), name.get(), callable.get()};
    Ref r = Ref::steal(call_tk_method(st, TkMethod::createcommand, a, 3));
    if (!r) return nullptr;
    // A temporary command keeps the application its command went to, until
    // the command is deleted (see TempTclCommand.__del__).
    int temporary = is_temporary(st, self);
    if (temporary < 0) return nullptr;
    if (temporary) {
        Ref kept = Ref::steal(kept_application(st, tcl.get(), tk.get()));
        if (!kept || capi::AttrWriter(self)(st.s_kept_tk.get(), kept.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* delete_command(State& st, PyObject* self) noexcept {
    Ref name = Ref::steal(name_of(st, self));
    if (!name) return nullptr;
    Ref r = Ref::steal(request(st, self, {st.w_rename.get(), name.get(), st.t_empty.get()}, nullptr));
    if (!r) return nullptr;
    // A temporary command no longer needs the application it kept.
    int temporary = is_temporary(st, self);
    if (temporary < 0 || (temporary && !forget_kept_tk(st, self))) return nullptr;
    Py_RETURN_NONE;
}

namespace {

PyObject* exists(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kExists{"exists", exists, R"doc(exists(self)
--

Whether a command of this very name exists ("::info commands").

The name is matched literally: glob characters in it (* ? [ ] \) are
escaped, so TclCommand('a*').exists() asks about the command named "a*".
)doc"};

PyObject* exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kExists.slot("self")];
    return command_exists(st, self, st.w_commands.get());
}

PyObject* is_proc(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kIsProc{"is_proc", is_proc, R"doc(is_proc(self)
--

Whether the command is a Tcl procedure ("::info procs", the name matched
literally).
)doc"};

PyObject* is_proc(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kIsProc.slot("self")];
    return command_exists(st, self, st.w_procs.get());
}

PyObject* is_command(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kIsCommand{"is_command", is_command, R"doc(is_command(self)
--

Whether the command exists and is not a Tcl procedure (a built-in, or a
command registered from Python).
)doc"};

PyObject* is_command(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kIsCommand.slot("self")];
    bool own = own_command(st, self);
    Ref found = Ref::steal(own ? command_exists(st, self, st.w_commands.get()) : call_method(self, st.s_exists.get()));
    if (!found) return nullptr;
    int yes = PyObject_IsTrue(found.get());
    if (yes <= 0) return yes < 0 ? nullptr : Py_NewRef(Py_False);
    Ref proc = Ref::steal(own ? command_exists(st, self, st.w_procs.get()) : call_method(self, st.s_is_proc.get()));
    if (!proc) return nullptr;
    int is = PyObject_IsTrue(proc.get());
    if (is < 0) return nullptr;
    return PyBool_FromLong(!is);
}

PyObject* createcommand(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCreatecommand{"createcommand", createcommand, R"doc(createcommand(self, func)
--

Register the Python callable func as the Tcl command of this name
(tk.createcommand). Tcl passes the words of each call as arguments; an
exception in func becomes a Tcl error.
)doc"};

PyObject* createcommand(Function* fn, PyObject* const* argv) {
    return create_command(state_of(fn), argv[kCreatecommand.slot("self")], argv[kCreatecommand.slot("func")]);
}

PyObject* rename(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kRename{"rename", rename, R"doc(rename(self, new_name)
--

Rename the command ("::rename") and then take quotify(new_name) as the
handle's name. A missing command raises TclError and leaves the name; an
empty new name (None, '') raises ValueError, since Tcl would delete the
command: use delete() for that.
)doc"};

PyObject* rename(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kRename.slot("self")];
    PyObject* new_name = argv[kRename.slot("new_name")];
    Ref name = Ref::steal(name_of(st, self));
    Ref fresh = name ? Ref::steal(quotify(st, new_name)) : Ref();
    if (!fresh) return nullptr;
    if (PyUnicode_Check(fresh.get()) && PyUnicode_GET_LENGTH(fresh.get()) == 0) {
        // Tcl deletes a command renamed to {}: that is delete()'s job.
        return capi::raise(PyExc_ValueError, "cannot rename a command to an empty name (use delete())");
    }
    Ref r = Ref::steal(request(st, self, {st.w_rename.get(), name.get(), fresh.get()}, nullptr));
    // The name changes only once Tcl has accepted the rename.
    if (!r || PyObject_SetAttr(self, st.s_cmd_name.get(), fresh.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* delete_(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kDelete{"delete", delete_, R"doc(delete(self)
--

Delete the command ("::rename name {}"); TclError when it does not exist.
)doc"};

PyObject* delete_(Function* fn, PyObject* const* argv) {
    return delete_command(state_of(fn), argv[kDelete.slot("self")]);
}

PyObject* origin(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kOrigin{"origin", origin, R"doc(origin(self)
--

Return the fully qualified name of the original command of an imported
one ("::namespace origin").
)doc"};

PyObject* origin(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kOrigin.slot("self")];
    Ref name = Ref::steal(name_of(st, self));
    if (!name) return nullptr;
    return request(st, self, {st.w_qnamespace.get(), st.w_origin.get(), name.get()}, nullptr);
}

PyObject* proc_body(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kProcBody{"proc_body", proc_body, R"doc(proc_body(self)
--

Return the body of the Tcl procedure ("::info body"); TclError for a
command that is not a procedure.
)doc"};

PyObject* proc_body(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kProcBody.slot("self")];
    Ref name = Ref::steal(name_of(st, self));
    if (!name) return nullptr;
    return request(st, self, {st.w_info.get(), st.w_body.get(), name.get()}, nullptr);
}

PyObject* proc_args(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kProcArgs{"proc_args", proc_args, R"doc(proc_args(self)
--

Return the argument names of the Tcl procedure as a list ("::info args").
)doc"};

PyObject* proc_args(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kProcArgs.slot("self")];
    Ref name = Ref::steal(name_of(st, self));
    if (!name) return nullptr;
    return request(st, self, {st.w_info.get(), st.w_args.get(), name.get()}, st.s_cast_list.get());
}

PyObject* proc_arg_default(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kProcArgDefault{"proc_arg_default", proc_arg_default, R"doc(proc_arg_default(self, arg_name)
--

Return the default value of the procedure's argument arg_name, or None
when it has none ("::info default", through a temporary variable that is
unset again whatever happens).
)doc"};

PyObject* proc_arg_default(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kProcArgDefault.slot("self")];
    PyObject* arg_name = argv[kProcArgDefault.slot("arg_name")];
    Ref name = Ref::steal(name_of(st, self));
    Ref arg = name ? Ref::steal(quotify(st, arg_name)) : Ref();
    Ref tcl = arg ? Ref::steal(PyObject_GetAttr(self, st.s_tcl.get())) : Ref();
    if (!tcl) return nullptr;
    // with TempTclVariable(tcl=self.tcl) as var: Tcl stores the default there.
    PyObject* a[] = {tcl.get()};
    Ref manager = Ref::steal(PyObject_Vectorcall(st.TempTclVariable.get(), a, 0, st.kw_tcl.get()));
    Ref var = manager ? Ref::steal(call_method(manager.get(), st.s_enter.get())) : Ref();
    if (!var) return nullptr;
    Ref result;
    Ref answer = Ref::steal(request(st, self, {st.w_info.get(), st.w_default.get(), name.get(), arg.get(), var.get()},
                                    st.s_cast_boolean.get()));
    if (answer) {
        int has = PyObject_IsTrue(answer.get());
        if (has > 0) {
            result = Ref::steal(call_method(var.get(), st.s_get.get()));
        } else if (has == 0) {
            result = Ref::borrow(Py_None);
        }
    }
    if (result) {
        PyObject* e[] = {manager.get(), Py_None, Py_None, Py_None};
        Ref r = Ref::steal(call_method(st.s_exit.get(), e, 4, nullptr));
        if (!r) return nullptr;
        return result.release();
    }
    if (!answer && PyErr_ExceptionMatches(st.TclError.get())) {
        // Tcl refused before it wrote the variable, so there is nothing to
        // unset; and no request may follow, or Tcl's message would be lost
        // to a Python command that relays this failure.
        return nullptr;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* e[] = {manager.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(), Py_None};
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    if (tb) e[3] = tb.get();
    Ref r = Ref::steal(call_method(st.s_exit.get(), e, 4, nullptr));
    if (!r) {
        Ref later = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(later.get(), exc.release());
        PyErr_SetRaisedException(later.release());
        return nullptr;
    }
    int swallow = PyObject_IsTrue(r.get());
    if (swallow < 0) return nullptr;
    if (swallow) Py_RETURN_NONE;
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

PyObject* absolute(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kAbsolute{"absolute", absolute, R"doc(absolute(self)
--

Return the absolute command name: an absolute name as it is (no request),
a relative one joined to the interpreter's current namespace.
)doc"};

PyObject* absolute(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kAbsolute.slot("self")];
    Ref name = Ref::steal(name_of(st, self));
    return name ? absolute_name(st, self, name.get()) : nullptr;
}

PyObject* make_absolute(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kMakeAbsolute{"make_absolute", make_absolute, R"doc(make_absolute(self)
--

Replace cmd_name by self.absolute().
)doc"};

PyObject* make_absolute(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    return store_absolute(st, argv[kMakeAbsolute.slot("self")], st.s_cmd_name.get());
}

PyObject* str(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kStr{"__str__", str, R"doc(__str__(self)
--

Return the command line without call arguments as a Tcl list string.
)doc"};

PyObject* str(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kStr.slot("self")];
    Ref line = Ref::steal(line_of(st, self));
    return line ? quotify(st, line.get()) : nullptr;
}

PyObject* tclobj_hook(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kTclobj{"__tclobj__", tclobj_hook, R"doc(__tclobj__(self)
--

Return build_tclcmd(): a handle used as a Tcl value stands for its whole
command line (a list).
)doc"};

PyObject* tclobj_hook(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kTclobj.slot("self")];
    return line_of(state_of(fn), self);
}

PyObject* repr(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kRepr{"__repr__", repr, R"doc(__repr__(self)
--

Return "ClassName('name', args=..., keywords=..., cast=...)", showing
only the parts that are set.
)doc"};

PyObject* repr(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kRepr.slot("self")];
    AttrReader f(st, self, own_command(st, self));
    Ref cls = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), st.s_name.get()));
    Ref name = cls ? Ref::steal(f(st.s_cmd_name.get())) : Ref();
    if (!name) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromFormat("%S(%R", cls.get(), name.get()));
    if (!text) return nullptr;
    struct Part {
        PyObject* attr;
        const char* format;
    };
    for (Part part : {Part{st.s_args.get(), "%U, args=%R"}, Part{st.s_keywords.get(), "%U, keywords=%R"},
                      Part{st.s_cast.get(), "%U, cast=%R"}}) {
        Ref value = Ref::steal(f(part.attr));
        if (!value) return nullptr;
        int shown = truth(value.get());
        if (shown < 0) return nullptr;
        if (!shown) continue;
        text = Ref::steal(PyUnicode_FromFormat(part.format, text.get(), value.get()));
        if (!text) return nullptr;
    }
    return PyUnicode_FromFormat("%U)", text.get());
}

PyObject* get(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kGet{"__get__", get, R"doc(__get__(self, instance, owner=None)
--

Bind like a function: through a class the handle itself, through an
instance a method whose call passes the instance as the first argument.
)doc"};

PyObject* get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kGet.slot("self")];
    PyObject* instance = argv[kGet.slot("instance")];
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    // A bound method: the instance becomes the first call argument.
    PyObject* a[] = {self, instance};
    return PyObject_Vectorcall(st.MethodType.get(), a, 2, nullptr);
}

// ---------------------------------------------------------------------------
// Definitions and docstrings

constexpr capi::FunctionDef kBuild{"build_tclcmd", build_raw, R"doc(build_tclcmd(self, /, *args, **kwargs)
--

Return the command line as a tuple of words: the name, the bound
arguments, tclobj() of args, then "-key", value for each option. Options
given here override bound options of the same name in place (new ones go
last); the handle's keywords never change.
)doc"};

constexpr capi::FunctionDef kDashed{"kwargs_to_dashed_args", dashed_raw, R"doc(kwargs_to_dashed_args(**kwargs)
--

Return the options as words: ('-key', value, ...) in order; values are
taken as they are.
)doc"};

constexpr capi::FunctionDef kCall{"call", call_raw, R"doc(call(self, /, *args, **kwargs)
--

Run the command with the bound arguments, args and the options
(build_tclcmd), each one Tcl word; return the result, converted by the
handle's cast when it has one. Logs the command line first when the
handle has a logger.

A Tcl error raises Tcl's TclError as it is (its message unchanged), with
Tcl's account of the failure attached, as on every request of a handle:

    errorinfo   Tcl's stack trace (the variable ::errorInfo); the message
                when that cannot be read
    errorcode   the words of ::errorCode as a tuple of str, such as
                ('TCL', 'LOOKUP', 'COMMAND', 'name'); () when it cannot
                be read
)doc"};

constexpr capi::FunctionDef kDunderCall{"__call__", dunder_call_raw, R"doc(__call__(self, /, *args, **kwargs)
--

self.call(*args, **kwargs).
)doc"};

constexpr capi::FunctionDef kEval{"eval", eval_raw, R"doc(eval(self, /, *args, **kwargs)
--

As call(), but the command line is sent as one script string (the words
list-quoted by quotify()), and nothing is logged.
)doc"};

constexpr const char* kClassDoc = R"doc(A handle on one Tcl command, with pre-bound arguments and options.

Calling the handle runs the command with the bound arguments, the call's
own arguments and the options as "-key value" words; each is one Tcl
word, never re-parsed. The handle also inspects the command (exists,
is_proc, proc_body, proc_args, proc_arg_default), renames and deletes it,
and registers a Python callable under its name (createcommand). Creating
or dropping a handle creates or deletes nothing.

Attributes: tcl (weak proxy on the interpreter), cmd_name, args (bound
arguments, converted by tclobj()), keywords (bound options), cast,
logger. Stored in a class body, a handle binds like a method: the
instance becomes its first argument.

A TclError from any request of the handle carries Tcl's stack trace as
errorinfo and the words of ::errorCode as the tuple errorcode.

    >>> from brelt.tcl import Interpreter, TclCommand
    >>> interp = Interpreter()
    >>> when = TclCommand('clock format', keywords={'gmt': True}, tcl=interp)
    >>> when(0, format='%Y-%m-%d')
    '1970-01-01'
)doc";

}  // namespace

// The class's __call__ is the module's own while this slot is the class's
// (CPython puts its own slot back when __call__ is replaced, and gives it to
// a subclass), so the call goes straight to it, with the arguments as
// CPython would hand them over (each keyword value held).
PyObject* command_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    // Held for the whole call: tkinter drops a command's callable (this
    // handle, say) when Tcl deletes the command, which the call may do.
    Ref hold = Ref::borrow(self);
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    if (module == nullptr) return nullptr;
    State& st = *static_cast<State*>(PyModule_GetState(module));
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    capi::SmallVector<PyObject*, 8> stack;
    capi::SmallVector<Ref, 4> values;
    Ref kwnames;
    try {
        stack.reserve(static_cast<size_t>(1 + n + nkw));
        stack.emplace_back(self);
        for (Py_ssize_t i = 0; i < n; ++i) stack.emplace_back(PyTuple_GET_ITEM(args, i));
        if (nkw > 0) {
            kwnames = Ref::steal(PyTuple_New(nkw));
            if (!kwnames) return nullptr;
            values.reserve(static_cast<size_t>(nkw));
            // CPython hands over a dict of its own, but a C caller may pass
            // one it shares: read under the dict's lock (on the free-threaded
            // build), each key and value held before the lock goes.
            Py_ssize_t pos = 0, k = 0;
            bool changed = false, bad_key = false;
            capi::locked(kwargs, [&] {
                changed = PyDict_GET_SIZE(kwargs) != nkw;
                PyObject *key, *value;
                while (!changed && k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
                    if (!PyUnicode_Check(key)) {
                        bad_key = true;
                        break;
                    }
                    PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
                    values.push_back(Ref::borrow(value));
                    stack.emplace_back(value);
                }
            });
            if (changed) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return nullptr;
            }
            if (bad_key) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return nullptr;
            }
        }
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return nullptr;
    }
    return dunder_call(st, stack.data(), 1 + n, kwnames.get());
}

bool build_tcl_command(PyObject* module, State& st) {
    capi::ClassBuilder cls(module, "TclCommand", kClassDoc);
    cls.method(kInit)
        .method(kExists)
        .method(kIsProc)
        .method(kIsCommand)
        .method(kCreatecommand)
        .method(kRename)
        .method(kDelete)
        .method(kOrigin)
        .method(kProcBody)
        .method(kProcArgs)
        .method(kProcArgDefault)
        .method(kBuild)
        .static_method(kDashed)
        .method(kCall)
        .method(kDunderCall)
        .method(kEval)
        .method(kAbsolute)
        .method(kMakeAbsolute)
        .method(kStr)
        .method(kTclobj)
        .method(kRepr)
        .method(kGet);
    st.TclCommand = cls.build();
    if (!st.TclCommand) return false;
    capi::install_type_slots(module, st.TclCommand.get(), nullptr, command_tp_call);
    st.command_init = Ref::steal(PyObject_GetAttr(st.TclCommand.get(), st.s_init.get()));
    return static_cast<bool>(st.command_init);
}

}  // namespace tclns
