// TclNamespace: a handle on one Tcl namespace. Its views are var_views.cpp
// and cmd_views.cpp, its static name functions names.cpp.
#include "fastpath.hpp"
#include "names.hpp"

namespace tclns {

bool own_namespace(State& st, PyObject* obj) noexcept {
    return own_instance(obj, st.TclNamespace, st.TclNamespace_methods, st.TempTclNamespace,
                        st.TempTclNamespace_methods);
}

namespace {

PyObject* ns_attr(State& st, PyObject* self) noexcept {
    return AttrReader(st, self, own_namespace(st, self))(st.s_ns.get());
}

// Whether tclobj(obj) would give obj back unchanged because it is made of
// exact str objects only (directly, or in exact tuples two levels deep), so
// the conversion can be skipped.
bool all_text(PyObject* obj, int depth) noexcept {
    if (PyUnicode_CheckExact(obj)) return true;
    if (!PyTuple_CheckExact(obj) || depth > 1) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(obj); i < n; ++i) {
        if (!all_text(PyTuple_GET_ITEM(obj, i), depth + 1)) return false;
    }
    return true;
}

// call() and eval(): `tclcmd` (with `extra` words appended as a tuple),
// wrapped in "namespace eval <ns>" unless the name is empty.
PyObject* run(State& st, PyObject* self, PyObject* tclcmd, PyObject* const* extra, Py_ssize_t nextra,
              bool as_script) noexcept {
    Ref cmd;
    if (nextra > 0) {
        cmd = Ref::steal(PyTuple_New(nextra + 1));
        if (!cmd) return nullptr;
        PyTuple_SET_ITEM(cmd.get(), 0, Py_NewRef(tclcmd));
        for (Py_ssize_t i = 0; i < nextra; ++i) PyTuple_SET_ITEM(cmd.get(), i + 1, Py_NewRef(extra[i]));
    } else {
        cmd = Ref::borrow(tclcmd);
    }
    // One reader for both reads of the module's own class.
    bool own = own_namespace(st, self);
    AttrReader attrs(st, self, own), plain(st, self);
    Ref name = Ref::steal(attrs(st.s_ns.get()));
    if (!name) return nullptr;
    int wrap = truth(name.get());
    if (wrap < 0) return nullptr;
    Ref tcl, tk;
    if (wrap && !as_script && PyUnicode_CheckExact(name.get()) && all_text(cmd.get(), 1)) {
        // The words need no tclobj() (all_text() of the whole line) and go
        // as they are: "namespace eval <ns> <cmd>", no tuple of them.
        if (!interp_tk(st, own ? attrs : plain, tcl, tk)) return nullptr;
        PyObject* words[] = {st.w_namespace.get(), st.w_eval.get(), name.get(), cmd.get()};
        return host::tk_call_spread(st.requests, tcl.get(), tk.get(), words, 4);
    }
    if (wrap) {
        cmd = Ref::steal(make_words({st.w_namespace.get(), st.w_eval.get(), name.get(), cmd.get()}));
        if (!cmd) return nullptr;
    }
    if (!interp_tk(st, own ? attrs : plain, tcl, tk)) return nullptr;
    if (as_script) {
        Ref script = Ref::steal(quotify(st, cmd.get()));
        if (!script) return nullptr;
        PyObject* a[] = {tk.get(), script.get()};
        return call_tk(st, tcl.get(), TkMethod::eval, a, 2);
    }
    Ref words = all_text(cmd.get(), 0) ? Ref::borrow(cmd.get()) : Ref::steal(tclobj(st, cmd.get()));
    if (!words) return nullptr;
    return tk_call_words(st, tcl.get(), tk.get(), words.get());
}

}  // namespace

PyObject* namespace_call(State& st, PyObject* ns, PyObject* words) noexcept {
    if (own_namespace(st, ns)) return run(st, ns, words, nullptr, 0, false);
    return call_method(ns, st.s_call.get(), words);
}

PyObject* namespace_name(State& st, PyObject* ns) noexcept {
    if (own_namespace(st, ns)) {
        Ref name = Ref::steal(ns_attr(st, ns));
        if (!name || PyUnicode_CheckExact(name.get())) return name.release();
    }
    return quotify(st, ns);
}

namespace {

// ---------------------------------------------------------------------------
// Methods

PyObject* init(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kInit{"__init__", init, R"doc(__init__(self, ns, tcl=None)
--

A handle on the Tcl namespace ns (quotify(ns); None gives '', no
particular namespace: requests then run at the interpreter's current
level). tcl is the interpreter (held through a weak proxy; false means
the package brelt.tcl). Creates the views vars, objs, procs and cmds.
Nothing is created or checked in Tcl.
)doc"};

PyObject* init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kInit.slot("self")];
    PyObject* ns = argv[kInit.slot("ns")];
    if (!own_namespace(st, self) && !init_base(st, st.TclNamespace.get(), self)) return nullptr;
    Ref name = Ref::steal(quotify(st, ns));
    if (!name || PyObject_SetAttr(self, st.s_ns.get(), name.get()) < 0) return nullptr;
    Ref tcl = Ref::steal(interp_proxy(st, argv[kInit.slot("tcl")]));
    if (!tcl || PyObject_SetAttr(self, st.s_tcl.get(), tcl.get()) < 0) return nullptr;
    struct View {
        PyObject* attr;
        PyObject* cls;
    };
    for (View v : {View{st.s_vars.get(), st.VariablesView.get()}, View{st.s_objs.get(), st.ObjectsView.get()},
                   View{st.s_procs.get(), st.ProcsView.get()}, View{st.s_cmds.get(), st.CommandsView.get()}}) {
        Ref view = Ref::steal(PyObject_CallOneArg(v.cls, self));
        if (!view || PyObject_SetAttr(self, v.attr, view.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* call_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
constexpr capi::FunctionDef kCall{"call", call_raw, R"doc(call(self, tclcmd, *args)
--

Run one command inside the namespace and return Tcl's answer.

tclcmd is a tuple of words, or with args the first word (the command is
then (tclcmd, *args)). Unless the name is empty the command becomes the
script of "namespace eval <ns>"; every word goes through tclobj(), so it
is never re-parsed.

    >>> from brelt.tcl import Interpreter, TclNamespace
    >>> interp = Interpreter()
    >>> TclNamespace('::app', tcl=interp).call('set', 'x', 1)
    1
)doc"};

PyObject* call_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs >= 2 && kwnames == nullptr) return run(state_of(fn), args[0], args[1], args + 2, nargs - 2, false);
    capi::ParsedArgs p;
    if (!capi::parse_args(fn->qualname, *fn->sig, args, nargs, kwnames, p)) return nullptr;
    PyObject* rest = p.argv[kCall.slot("args")];
    PyObject* const* extra = reinterpret_cast<PyTupleObject*>(rest)->ob_item;
    return run(state_of(fn), p.argv[kCall.slot("self")], p.argv[kCall.slot("tclcmd")], extra, PyTuple_GET_SIZE(rest),
               false);
}

PyObject* eval_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
constexpr capi::FunctionDef kEval{"eval", eval_raw, R"doc(eval(self, tclcmd, *args)
--

Evaluate a script inside the namespace: a str is a script as it is, a
tuple of words (or tclcmd with args) is list-quoted by quotify() into a
one-command script. Returns Tcl's answer as a string.
)doc"};

PyObject* eval_raw(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    capi::ParsedArgs p;
    if (!capi::parse_args(fn->qualname, *fn->sig, args, nargs, kwnames, p)) return nullptr;
    PyObject* rest = p.argv[kEval.slot("args")];
    PyObject* const* extra = reinterpret_cast<PyTupleObject*>(rest)->ob_item;
    return run(state_of(fn), p.argv[kEval.slot("self")], p.argv[kEval.slot("tclcmd")], extra, PyTuple_GET_SIZE(rest),
               true);
}

// self.call(words) (a subclass's own call() when it has one).
PyObject* self_call(State& st, PyObject* self, std::initializer_list<PyObject*> w, PyObject* more = nullptr) noexcept {
    Ref words = Ref::steal(make_words(w));
    if (!words) return nullptr;
    if (more != nullptr && PyTuple_GET_SIZE(more) > 0) {
        words = Ref::steal(PySequence_Concat(words.get(), more));
        if (!words) return nullptr;
    }
    return namespace_call(st, self, words.get());
}

// tk.call(words) at the interpreter's current level; `cast` names a cast
// operation of the interpreter, or is NULL.
PyObject* direct(State& st, PyObject* self, std::initializer_list<PyObject*> w, PyObject* cast = nullptr) noexcept {
    return send_words(st, self, w, cast);
}

PyObject* cast_list_of(State& st, PyObject* self, PyObject* answer) noexcept {
    Ref tcl = Ref::steal(PyObject_GetAttr(self, st.s_tcl.get()));
    return tcl ? cast_with(tcl.get(), st.s_cast_list.get(), answer) : nullptr;
}

// A namespace name as Tcl answered it. Tcl 9 answers with a namespace
// object, which tkinter hands over as a Tcl_Obj: its text is the name, as
// Tcl 8 gives it.
PyObject* name_answer(State& st, PyObject* answer) noexcept {
    if (answer == nullptr || !Py_IS_TYPE(answer, st.TclObj.as<PyTypeObject>())) return answer;
    PyObject* text = PyObject_Str(answer);
    Py_DECREF(answer);
    return text;
}

PyObject* current(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCurrent{"current", current, R"doc(current(self)
--

Return the interpreter's current namespace ("namespace current"),
normally "::"; not this handle's name.
)doc"};

PyObject* current(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCurrent.slot("self")];
    return name_answer(st, direct(st, self, {st.w_namespace.get(), st.w_current.get()}));
}

// The name a request about the namespace itself uses: ns, or the
// interpreter's current namespace when ns is empty.
PyObject* subject(State& st, PyObject* self) noexcept {
    Ref name = Ref::steal(ns_attr(st, self));
    if (!name) return nullptr;
    int given = truth(name.get());
    if (given < 0) return nullptr;
    if (given) return name.release();
    return call_method(self, st.s_current.get());
}

PyObject* children(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kChildren{"children", children, R"doc(children(self, pattern=None)
--

Return the list of child namespaces ("namespace children"), only those
matching the glob pattern when one is given (sent after the namespace's
absolute name, where Tcl expects it).
)doc"};

PyObject* children(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kChildren.slot("self")];
    PyObject* pattern = argv[kChildren.slot("pattern")];
    Ref answer;
    if (is_none(pattern)) {
        answer = Ref::steal(self_call(st, self, {st.w_namespace.get(), st.w_children.get()}));
    } else {
        // Tcl reads "namespace children ?namespace? ?pattern?": a pattern
        // alone would be taken for a namespace name, so the namespace goes
        // first, absolute (the host's requests run at the global level).
        Ref quoted = Ref::steal(quotify(st, pattern));
        Ref name = quoted ? Ref::steal(ns_attr(st, self)) : Ref();
        Ref absolute = name ? Ref::steal(ns_join2(st, st.t_colons.get(), name.get())) : Ref();
        if (!absolute) return nullptr;
        if (PyUnicode_GET_LENGTH(absolute.get()) == 0) absolute = Ref::borrow(st.t_colons.get());
        answer =
            Ref::steal(self_call(st, self, {st.w_namespace.get(), st.w_children.get(), absolute.get(), quoted.get()}));
    }
    return answer ? cast_list_of(st, self, answer.get()) : nullptr;
}

// A result with Tcl objects of a type tkinter does not convert (Tcl 9's
// namespace names) made text, in tuples too, as Tcl 8 answers.
PyObject* texts_of(State& st, PyObject* answer) noexcept {
    if (answer == nullptr) return nullptr;
    Ref held = Ref::steal(answer);
    if (Py_IS_TYPE(answer, st.TclObj.as<PyTypeObject>())) return PyObject_Str(answer);
    if (!PyTuple_CheckExact(answer)) return held.release();
    Py_ssize_t n = PyTuple_GET_SIZE(answer);
    Ref out = Ref::steal(PyTuple_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = texts_of(st, Py_NewRef(PyTuple_GET_ITEM(answer, i)));
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(out.get(), i, item);
    }
    return out.release();
}

PyObject* code(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCode{"code", code, R"doc(code(self, script)
--

Return script wrapped by "namespace code" so that it runs in this
namespace wherever it is evaluated later.
)doc"};

PyObject* code(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCode.slot("self")];
    PyObject* script = argv[kCode.slot("script")];
    return texts_of(st, self_call(st, self, {st.w_namespace.get(), st.w_code.get(), script}));
}

PyObject* create(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCreate{"create", create, R"doc(create(self)
--

Create the namespace (an empty "namespace eval"). ValueError "Cannot
create current namespace" for the empty name, with nothing sent.
)doc"};

PyObject* create(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCreate.slot("self")];
    Ref name = Ref::steal(ns_attr(st, self));
    if (!name) return nullptr;
    int given = truth(name.get());
    if (given < 0) return nullptr;
    if (!given) return capi::raise(PyExc_ValueError, "Cannot create current namespace");
    return none_of(call_method(self, st.s_eval.get(), st.t_empty.get()));
}

PyObject* delete_(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kDelete{"delete", delete_, R"doc(delete(self)
--

Delete the namespace with its variables and commands ("namespace
delete"); the current namespace when the name is empty.
)doc"};

PyObject* delete_(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kDelete.slot("self")];
    Ref name = Ref::steal(subject(st, self));
    if (!name) return nullptr;
    return none_of(direct(st, self, {st.w_namespace.get(), st.w_delete.get(), name.get()}));
}

PyObject* exists(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kExists{"exists", exists, R"doc(exists(self)
--

Whether the namespace exists ("namespace exists"); the current namespace
when the name is empty.
)doc"};

PyObject* exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kExists.slot("self")];
    Ref name = Ref::steal(subject(st, self));
    if (!name) return nullptr;
    return direct(st, self, {st.w_namespace.get(), st.w_exists.get(), name.get()}, st.s_cast_boolean.get());
}

// ("namespace", sub[, flag]) + patterns through self.call.
PyObject* with_patterns(State& st, PyObject* self, PyObject* sub, PyObject* flag, PyObject* patterns) noexcept {
    if (flag != nullptr) return self_call(st, self, {st.w_namespace.get(), sub, flag}, patterns);
    return self_call(st, self, {st.w_namespace.get(), sub}, patterns);
}

// A keyword switch: true or false in Python's sense, false when omitted.
int switch_on(PyObject* value) noexcept { return value == nullptr ? 0 : truth(value); }

PyObject* export_(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kExport{"export", export_, R"doc(export(self, *patterns, clear=False)
--

Add patterns to the namespace's export list ("namespace export"), first
clearing it when clear is true. With neither, return the export list.
)doc"};

PyObject* export_(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kExport.slot("self")];
    PyObject* patterns = argv[kExport.slot("patterns")];
    int clear = switch_on(argv[kExport.slot("clear")]);
    if (clear < 0) return nullptr;
    PyObject* flag = clear ? st.w_clear.get() : nullptr;
    Ref answer = Ref::steal(with_patterns(st, self, st.w_export.get(), flag, patterns));
    if (!answer) return nullptr;
    if (!clear && PyTuple_GET_SIZE(patterns) == 0) return cast_list_of(st, self, answer.get());
    Py_RETURN_NONE;
}

PyObject* forget(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kForget{"forget", forget, R"doc(forget(self, *patterns)
--

Remove imported commands matching the qualified patterns from the
namespace ("namespace forget").
)doc"};

PyObject* forget(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kForget.slot("self")];
    PyObject* patterns = argv[kForget.slot("patterns")];
    return none_of(with_patterns(st, self, st.w_forget.get(), nullptr, patterns));
}

PyObject* import_(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kImport{"import_", import_, R"doc(import_(self, *patterns, force=False)
--

Import the commands matching the qualified patterns into the namespace
("namespace import"); force replaces existing commands.
)doc"};

PyObject* import_(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kImport.slot("self")];
    PyObject* patterns = argv[kImport.slot("patterns")];
    int force = switch_on(argv[kImport.slot("force")]);
    if (force < 0) return nullptr;
    return none_of(with_patterns(st, self, st.w_import.get(), force ? st.w_force.get() : nullptr, patterns));
}

PyObject* origin(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kOrigin{"origin", origin, R"doc(origin(self, command)
--

Return the fully qualified name of the original command of command, as
seen from the namespace ("namespace origin").
)doc"};

PyObject* origin(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kOrigin.slot("self")];
    PyObject* command = argv[kOrigin.slot("command")];
    return self_call(st, self, {st.w_namespace.get(), st.w_origin.get(), command});
}

// The parent of an absolute name from the name alone, as Tcl answers it:
// '::a::b' -> '::a', '::a' -> '::', and '' for the global namespace.
PyObject* parent_of_name(PyObject* name) noexcept {
    // Read as Tcl reads it: a run of two or more colons separates, a single
    // colon belongs to a component. normalize() refuses some of the names
    // Tcl accepts ('::a:::b', '::p:q'), which still have Tcl's answer.
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    auto colon = [&](Py_ssize_t k) { return k < n && PyUnicode_READ_CHAR(name, k) == ':'; };
    auto add = [&](Py_ssize_t from, Py_ssize_t to) {
        Ref part = Ref::steal(PyUnicode_Substring(name, from, to));
        return part && PyList_Append(parts.get(), part.get()) == 0;
    };
    Py_ssize_t i = 0;
    while (colon(i)) ++i;  // the leading separator of an absolute name
    Py_ssize_t start = i;
    while (i < n) {
        if (!(colon(i) && colon(i + 1))) {
            ++i;
            continue;
        }
        if (!add(start, i)) return nullptr;
        while (colon(i)) ++i;
        start = i;
    }
    if (start < n && !add(start, n)) return nullptr;
    Py_ssize_t count = PyList_GET_SIZE(parts.get());
    if (count == 0) return PyUnicode_FromString("");  // the global namespace has no parent
    Ref sep = Ref::steal(PyUnicode_FromString("::"));
    Ref upper = Ref::steal(PyList_GetSlice(parts.get(), 0, count - 1));
    Ref joined = sep && upper ? Ref::steal(PyUnicode_Join(sep.get(), upper.get())) : Ref();
    return joined ? PyUnicode_Concat(sep.get(), joined.get()) : nullptr;
}

PyObject* parent(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kParent{"parent", parent, R"doc(parent(self, force_eval=False)
--

Return the name of the parent namespace ("namespace parent"). With
force_eval true and an absolute name, it is worked out from the name
alone, without a request: '::a::b' gives '::a', '::a' gives '::', and
the global namespace '' (it has none).
)doc"};

PyObject* parent(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kParent.slot("self")];
    PyObject* force_eval = argv[kParent.slot("force_eval")];
    int force = switch_on(force_eval);
    if (force < 0) return nullptr;
    if (force) {
        Ref abs = Ref::steal(call_method(self, st.s_is_absolute.get()));
        if (!abs) return nullptr;
        int is_abs = PyObject_IsTrue(abs.get());
        if (is_abs < 0) return nullptr;
        if (is_abs) {
            Ref name = Ref::steal(ns_attr(st, self));
            Ref text = name ? Ref::steal(quotify_str(st, name.get())) : Ref();
            return text ? parent_of_name(text.get()) : nullptr;
        }
    }
    Ref name = Ref::steal(ns_attr(st, self));
    if (!name) return nullptr;
    int given = truth(name.get());
    if (given < 0) return nullptr;
    Ref cmd = Ref::steal(given ? make_words({st.w_namespace.get(), st.w_parent.get(), name.get()})
                               : make_words({st.w_namespace.get(), st.w_parent.get()}));
    Ref words = cmd ? Ref::steal(tclobj(st, cmd.get())) : Ref();
    Ref tcl, tk;
    if (!words || !interp_tk(st, self, tcl, tk)) return nullptr;
    return name_answer(st, tk_call_words(st, tcl.get(), tk.get(), words.get()));
}

PyObject* which(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kWhich{"which", which, R"doc(which(self, name, command=False, variable=False)
--

Return the fully qualified name that name resolves to in the namespace
("namespace which", with -command and/or -variable), '' when none.
)doc"};

PyObject* which(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kWhich.slot("self")];
    PyObject* name = argv[kWhich.slot("name")];
    int command = switch_on(argv[kWhich.slot("command")]);
    int variable = command < 0 ? -1 : switch_on(argv[kWhich.slot("variable")]);
    if (variable < 0) return nullptr;
    PyObject* w[5] = {st.w_namespace.get(), st.w_which.get()};
    Py_ssize_t n = 2;
    if (command) w[n++] = st.w_command.get();
    if (variable) w[n++] = st.w_variable.get();
    w[n++] = name;
    Ref words = Ref::steal(PyTuple_New(n));
    if (!words) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(words.get(), i, Py_NewRef(w[i]));
    return namespace_call(st, self, words.get());
}

// is_absolute() and is_relative(): the empty name itself when empty.
PyObject* absoluteness(State& st, PyObject* self, bool want_absolute) noexcept {
    Ref name = Ref::steal(ns_attr(st, self));
    if (!name) return nullptr;
    int given = truth(name.get());
    if (given <= 0) return given < 0 ? nullptr : name.release();
    int abs = starts_with_colons(st, name.get());
    if (abs < 0) return nullptr;
    return PyBool_FromLong(want_absolute ? abs : !abs);
}

PyObject* is_absolute(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kIsAbsolute{"is_absolute", is_absolute, R"doc(is_absolute(self)
--

Whether the name starts with "::"; the empty name itself when empty.
)doc"};

PyObject* is_absolute(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kIsAbsolute.slot("self")];
    return absoluteness(state_of(fn), self, true);
}

PyObject* is_relative(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kIsRelative{"is_relative", is_relative, R"doc(is_relative(self)
--

Whether the name does not start with "::"; the empty name itself when
empty.
)doc"};

PyObject* is_relative(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kIsRelative.slot("self")];
    return absoluteness(state_of(fn), self, false);
}

PyObject* absolute(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kAbsolute{"absolute", absolute, R"doc(absolute(self)
--

Return the absolute name: ns when absolute, else joined to the
interpreter's current namespace (the empty name gives the current one,
normalised: '' for the global namespace).
)doc"};

PyObject* absolute(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kAbsolute.slot("self")];
    Ref abs = Ref::steal(call_method(self, st.s_is_absolute.get()));
    if (!abs) return nullptr;
    int is_abs = PyObject_IsTrue(abs.get());
    if (is_abs < 0) return nullptr;
    Ref name = Ref::steal(ns_attr(st, self));
    if (!name || is_abs) return name.release();
    Ref current = Ref::steal(call_method(self, st.s_current.get()));
    return current ? ns_join2(st, current.get(), name.get()) : nullptr;
}

PyObject* make_absolute(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kMakeAbsolute{"make_absolute", make_absolute, R"doc(make_absolute(self)
--

Replace ns by self.absolute().
)doc"};

PyObject* make_absolute(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    return store_absolute(st, argv[kMakeAbsolute.slot("self")], st.s_ns.get());
}

PyObject* str(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kStr{"__str__", str, R"doc(__str__(self)
--

Return the namespace name.
)doc"};

PyObject* str(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kStr.slot("self")];
    return ns_attr(state_of(fn), self);
}

// ---------------------------------------------------------------------------
// Definitions and docstrings

constexpr const char* kNamespaceDoc = R"doc(A handle on one Tcl namespace, and the "::"-separated names of
namespaces, variables and commands.

Each method is one "namespace" request; call() and eval() run commands
inside the namespace. The views show its content as mappings: vars
(variables as strings), objs (variables as objects), cmds (commands as
TclCommand handles; assigning a Python callable registers it) and procs
(procedures only). The empty name stands for the interpreter's current
level.

The static functions qualifiers(), tail(), split(), normalize() and
join() take names apart and put them together as pure string operations,
without asking an interpreter; every argument goes through quotify()
first. A name is absolute when it starts with "::".

    >>> from brelt.tcl import Interpreter, TclNamespace
    >>> interp = Interpreter()
    >>> app = TclNamespace('::app', tcl=interp)
    >>> app.create(); app.vars['x'] = 1
    >>> app.vars['x'], 'x' in app.vars
    ('1', True)
    >>> TclNamespace.join('::app', 'sub', 'x')
    '::app::sub::x'
)doc";

}  // namespace

bool build_tcl_namespace(PyObject* module, State& st) {
    capi::ClassBuilder cls(module, "TclNamespace", kNamespaceDoc);
    cls.attr("VariablesView", st.VariablesView.get())
        .attr("ObjectsView", st.ObjectsView.get())
        .attr("CommandsView", st.CommandsView.get())
        .attr("ProcsView", st.ProcsView.get())
        .method(kInit)
        .method(kCall)
        .method(kEval)
        .method(kChildren)
        .method(kCode)
        .method(kCurrent)
        .method(kCreate)
        .method(kDelete)
        .method(kExists)
        .method(kExport)
        .method(kForget)
        .method(kImport)
        .method(kOrigin)
        .method(kParent)
        .method(kWhich)
        .method(kIsAbsolute)
        .method(kIsRelative)
        .method(kAbsolute)
        .method(kMakeAbsolute)
        .method(kStr);
    add_name_functions(cls);
    st.TclNamespace = cls.build();
    return static_cast<bool>(st.TclNamespace);
}

}  // namespace tclns
