// Jiv and Jiv_Code: quick calls of Tcl commands as attribute paths.
#include <cstring>

#include "jiv.hpp"

namespace jiv {

extern PyModuleDef module_def;

using capi::SmallVector;

namespace {

using capi::module_global;

// The ordinary attribute look-up of `obj.name`, without __getattr__: a
// missing attribute raises AttributeError instead of growing a path.
Ref own_attr(PyObject* obj, const Ref& name) { return Ref::steal(PyObject_GenericGetAttr(obj, name.get())); }

// The module of our own classes, from the class of `self`.
PyObject* module_of(PyObject* self) noexcept { return PyType_GetModuleByDef(Py_TYPE(self), &module_def); }

// The object behind a weak proxy (ReferenceError once it is gone); anything
// else is the interpreter object itself.
Ref referent(PyObject* tcl) {
    if (!PyWeakref_CheckProxy(tcl)) return Ref::borrow(tcl);
    Ref obj;
    if (PyWeakref_GetRef(tcl, obj.out()) < 0) return {};
    if (!obj) PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return obj;
}

PyObject* method_call(PyObject* name, PyObject* self, PyObject* arg) {
    PyObject* args[] = {self, arg};
    return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---------------------------------------------------------------------------
// Jiv_Code

// Whether `type` is our own Jiv_Code with its own __new__, __init__ and
// attribute writes: then making one is known work, done here.
bool own_code_class(State& st, PyTypeObject* type) {
    return reinterpret_cast<PyObject*>(type) == st.Jiv_Code.get() && type->tp_new == st.code_new &&
           capi::type_lookup(type, st.s_init.get()).get() == st.code_init.get() &&
           type->tp_setattro == PyObject_GenericSetAttr;
}

// A new Jiv_Code(name, tcl=tcl), through the module attribute Jiv_Code.
PyObject* new_code(State& st, PyObject* module, PyObject* name, PyObject* tcl) {
    Ref cls = module_global(module, st.g_Jiv_Code.get());
    if (!cls) return nullptr;
    auto* type = cls.as<PyTypeObject>();
    if (!own_code_class(st, type)) {
        PyObject* args[] = {name, tcl};
        return PyObject_Vectorcall(cls.get(), args, 1, st.kw_tcl.get());
    }
    // Our own class with its own initialiser: what calling it would do,
    // without the trip through type.__call__.
    Ref code = Ref::steal(type->tp_new(type, st.empty_tuple.get(), nullptr));
    if (!code) return nullptr;
    if (Py_TYPE(code.get()) != type) {
        // Not an instance of this very class (a replaced __new__ may give
        // anything, a class included): the generic writes below would be
        // wrong for it, so finish as type.__call__ would.
        Ref args = Ref::steal(PyTuple_Pack(1, name));
        Ref kwargs = Ref::steal(PyDict_New());
        if (!args || !kwargs || PyDict_SetItem(kwargs.get(), st.s_tcl.get(), tcl) < 0) return nullptr;
        return capi::finish_type_call(type, code.release(), args.get(), kwargs.get());
    }
    if (PyObject_GenericSetAttr(code.get(), st.s_tcl.get(), tcl) < 0) return nullptr;
    Ref cmd = Ref::steal(PyList_New(1));
    if (!cmd) return nullptr;
    PyList_SET_ITEM(cmd.get(), 0, Py_NewRef(name));
    if (PyObject_GenericSetAttr(code.get(), st.s_cmd.get(), cmd.get()) < 0) return nullptr;
    return code.release();
}

// The Jiv_Code that Jiv made last for `name`, when nobody but the cache
// holds it (no reference, no weak reference, not its __dict__ nor its path
// list) and it is as Jiv made it: {'tcl': tcl, 'cmd': [name]}, of our own
// class. Then nobody can tell it from a new one, and handing it out again
// saves making and dropping an object, its __dict__ and its list on every
// quick call. NULL otherwise (with an exception only on failure). Nothing
// here runs Python code, so the checks hold when it is handed out.
PyObject* reuse_code(State& st, PyObject* module, PyObject* name, PyObject* tcl) {
    if (!PyUnicode_CheckExact(name)) return nullptr;
    PyObject* code = PyDict_GetItemWithError(st.code_cache.get(), name);
    if (code == nullptr || !capi::held_only_by_caller(code)) return nullptr;
    Ref cls = module_global(module, st.g_Jiv_Code.get());
    if (!cls) return nullptr;
    if (Py_TYPE(code) != cls.as<PyTypeObject>() || !own_code_class(st, Py_TYPE(code))) return nullptr;
    Ref dict = Ref::steal(PyObject_GenericGetDict(code, nullptr));
    if (!dict) return nullptr;
    // The dict: held by the object and by `dict` alone.
    if (!PyDict_CheckExact(dict.get()) || Py_REFCNT(dict.get()) != 2 || PyDict_GET_SIZE(dict.get()) != 2) {
        return nullptr;
    }
    if (PyDict_GetItemWithError(dict.get(), st.s_tcl.get()) != tcl) return nullptr;
    PyObject* cmd = PyDict_GetItemWithError(dict.get(), st.s_cmd.get());
    if (cmd == nullptr || !PyList_CheckExact(cmd) || Py_REFCNT(cmd) != 1 || PyList_GET_SIZE(cmd) != 1 ||
        PyList_GET_ITEM(cmd, 0) != name) {
        return nullptr;
    }
    return Py_NewRef(code);
}

// Keeps `code`, just made by Jiv for `name`, for reuse_code. The cache
// holds a few dozen paths at most: a program that makes up names does not
// make it grow.
bool remember_code(State& st, PyObject* name, PyObject* code) {
    if constexpr (!capi::can_tell_held_only_by_caller) return true;  // never handed out again
    if (!PyUnicode_CheckExact(name) || !own_code_class(st, Py_TYPE(code))) return true;
    PyObject* cache = st.code_cache.get();
    if (PyDict_GET_SIZE(cache) >= 64) PyDict_Clear(cache);
    return PyDict_SetItem(cache, name, code) == 0;
}

PyObject* code_extend(State& st, PyObject* self, PyObject* name) {
    Ref cmd = own_attr(self, st.s_cmd);
    if (!cmd) return nullptr;
    if (PyList_CheckExact(cmd.get())) {
        if (PyList_Append(cmd.get(), name) < 0) return nullptr;
    } else {
        Ref r = Ref::steal(method_call(st.s_append.get(), cmd.get(), name));
        if (!r) return nullptr;
    }
    return Py_NewRef(self);
}

// str(value) of an exact int: machine-sized ones written here, which is
// several times quicker than CPython's general conversion.
PyObject* int_text(PyObject* value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return PyObject_Str(value);
    }
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = end;
    // Digits of the magnitude, computed unsigned so that LLONG_MIN works.
    unsigned long long m = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        *--p = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    if (v < 0) *--p = '-';
    Py_ssize_t n = end - p;
    PyObject* text = PyUnicode_New(n, 127);
    if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), p, static_cast<size_t>(n));
    return text;
}

// quotify(value) through the module attribute, read afresh for every word
// as Python code would, and held while it runs: a replacement may rebind
// the attribute and so drop itself. For the commonest words the original
// quotify's answer is known: a str is its own word, a number its str().
PyObject* word(State& st, PyObject* module, PyObject* value) {
    Ref quotify = module_global(module, st.g_quotify.get());
    if (!quotify) return nullptr;
    if (quotify.get() == st.quotify.get()) {
        PyTypeObject* t = Py_TYPE(value);
        if (t == &PyUnicode_Type) return Py_NewRef(value);
        if (t == &PyLong_Type) return int_text(value);
        if (t == &PyFloat_Type) return PyObject_Str(value);
    }
    return PyObject_CallOneArg(quotify.get(), value);
}

bool is_cast_key(State& st, PyObject* key) {
    if (key == st.s_cast_.get()) return true;
    if (!PyUnicode_Check(key)) return false;
    return PyUnicode_Compare(key, st.s_cast_.get()) == 0;
}

// Jiv_Code.__call__: the words, the history, the call, the cast.
PyObject* code_call(State& st, PyObject* module, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* const* keys, PyObject* const* values, Py_ssize_t nkw) {
    // 1. cast_ leaves the keywords; it is tested for truth after the call.
    PyObject* cast = Py_True;
    Py_ssize_t cast_at = -1;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (is_cast_key(st, keys[k])) {
            cast = values[k];
            cast_at = k;
        }
    }
    Ref hold_cast = Ref::borrow(cast);

    // 2. The command name.
    Ref cmd = own_attr(self, st.s_cmd);
    if (!cmd) return nullptr;
    Ref name = Ref::steal(PyUnicode_Join(st.t_sep.get(), cmd.get()));
    if (!name) return nullptr;

    // 3, 4. The words.
    Py_ssize_t nwords = 1 + nargs + 2 * (nkw - (cast_at >= 0 ? 1 : 0));
    Ref words = Ref::steal(PyList_New(nwords));
    if (!words) return nullptr;
    PyObject* list = words.get();
    PyList_SET_ITEM(list, 0, name.release());
    Py_ssize_t at = 1;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* w = word(st, module, args[i]);
        if (w == nullptr) return nullptr;
        PyList_SET_ITEM(list, at++, w);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == cast_at) continue;
        PyObject* option = PyUnicode_Concat(st.t_dash.get(), keys[k]);
        if (option == nullptr) return nullptr;
        PyList_SET_ITEM(list, at++, option);
        PyObject* w = word(st, module, values[k]);
        if (w == nullptr) return nullptr;
        PyList_SET_ITEM(list, at++, w);
    }

    // 5. The history, before the command runs.
    Ref tcl = own_attr(self, st.s_tcl);
    if (!tcl) return nullptr;
    Ref interp = referent(tcl.get());
    if (!interp) return nullptr;
    // Refused from another thread before anything is recorded: the command
    // does not run.
    // (A threaded interpreter serves every thread through its `_remote`.)
    Ref tk;
    if (!capi::check_owner_thread(interp.get(), st.s_thread.get()) && !host::remote_instead(interp.get(), tk)) {
        return nullptr;
    }
    Ref history = Ref::steal(PyObject_GetAttr(interp.get(), st.s_history.get()));
    Ref recorded = Ref::steal(history ? method_call(st.s_append.get(), history.get(), list) : nullptr);
    if (!recorded) return nullptr;

    // 6. tk.call(*words), with the words as they are now.
    if (!tk) tk = Ref::steal(PyObject_GetAttr(interp.get(), st.s_tk.get()));
    if (!tk) return nullptr;
    SmallVector<Ref, 16> stack;
    Py_ssize_t n = PyList_GET_SIZE(list);
    stack.reserve(static_cast<size_t>(n) + 1);
    stack.push_back(std::move(tk));
    // The history has seen the list: under its lock (on the free-threaded
    // build) no other thread changes it while its items are taken.
    Py_BEGIN_CRITICAL_SECTION(list);
    n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) stack.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
    Py_END_CRITICAL_SECTION();
    Ref result = Ref::steal(PyObject_VectorcallMethod(st.s_call.get(), reinterpret_cast<PyObject* const*>(stack.data()),
                                                      static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      nullptr));
    if (!result) {
        Ref tcl_error = module_global(module, st.g_TclError.get());
        if (!tcl_error) return nullptr;  // NameError replaces the failure
        return capi::raise_tcl_error_details(interp.get(), tcl_error.get(), capi::TclErrorReport::trace_as_message);
    }

    // 7. The result.
    int truth = PyObject_IsTrue(cast);
    if (truth < 0) return nullptr;
    if (truth) {
        // interp.cast_any(result); the package's own does its work here.
        Ref cast_any;
        int unbound = capi::get_method(interp.get(), st.s_cast_any.get(), cast_any);
        if (unbound < 0) return nullptr;
        if (!unbound) return PyObject_CallOneArg(cast_any.get(), result.get());
        if (cast_any.get() == st.cast_any.get()) return capi::cast_raw_value(result.get(), st.TclObj.as<PyTypeObject>());
        PyObject* args[] = {interp.get(), result.get()};
        return PyObject_Vectorcall(cast_any.get(), args, 2, nullptr);
    }
    PyObject* r = result.get();
    if (PyUnicode_CheckExact(r)) return result.release();
    if (PyBytes_Check(r)) return PyUnicode_DecodeLatin1(PyBytes_AS_STRING(r), PyBytes_GET_SIZE(r), nullptr);
    Ref quotify = module_global(module, st.g_quotify.get());
    return quotify ? PyObject_CallOneArg(quotify.get(), r) : nullptr;
}

PyObject* code_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return capi::guarded([&]() -> PyObject* {
        PyObject* module = module_of(self);
        if (module == nullptr) return nullptr;
        State& st = *capi::module_state<State>(module);
        SmallVector<Ref, 8> keys, values;
        if (kwargs != nullptr) {
            // A snapshot: quotify() may run code that changes a caller's dict.
            // The dict's lock (on the free-threaded build) keeps each key and
            // value alive from PyDict_Next until it is held.
            Py_BEGIN_CRITICAL_SECTION(kwargs);
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                keys.push_back(Ref::borrow(key));
                values.push_back(Ref::borrow(value));
            }
            Py_END_CRITICAL_SECTION();
        }
        return code_call(st, module, self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                         reinterpret_cast<PyObject* const*>(keys.data()),
                         reinterpret_cast<PyObject* const*>(values.data()), static_cast<Py_ssize_t>(keys.size()));
    });
}

PyObject* code_getattro(PyObject* self, PyObject* name) noexcept {
    PyObject* found = capi::generic_getattr_or_null(self, name);
    if (found != nullptr || PyErr_Occurred()) return found;
    return capi::guarded([&]() -> PyObject* {
        PyObject* module = module_of(self);
        if (module == nullptr) return nullptr;
        return code_extend(*capi::module_state<State>(module), self, name);
    });
}

PyObject* code_init_fn(Function* f, PyObject* const* argv) {
    State& st = f->state<State>();
    PyObject* self = argv[0];
    if (PyObject_SetAttr(self, st.s_tcl.get(), argv[2]) < 0) return nullptr;
    Ref cmd = Ref::steal(PySequence_List(argv[1]));
    if (!cmd || PyObject_SetAttr(self, st.s_cmd.get(), cmd.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* code_getattr_fn(Function* f, PyObject* const* argv) {
    return code_extend(f->state<State>(), argv[0], argv[1]);
}

PyObject* code_call_fn(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        return capi::raise(PyExc_TypeError, "Jiv_Code.__call__() missing 1 required positional argument: 'self'");
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return code_call(f->state<State>(), f->module, args[0], args + 1, nargs - 1,
                     nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, args + nargs, nkw);
}

PyObject* code_str_fn(Function* f, PyObject* const* argv) {
    Ref cmd = own_attr(argv[0], f->state<State>().s_cmd);
    Ref path = Ref::steal(cmd ? PyUnicode_Join(f->state<State>().t_sep.get(), cmd.get()) : nullptr);
    if (!path) return nullptr;
    return PyUnicode_FromFormat("<tcl.Jiv magic, referring Tcl code ::%U>", path.get());
}

PyObject* code_repr_fn(Function* f, PyObject* const* argv) {
    return PyObject_CallMethodNoArgs(argv[0], f->state<State>().s_str.get());
}

constexpr capi::FunctionDef kCodeInit{"__init__", code_init_fn, R"(__init__(self, *cmd, tcl)
--

A command path: cmd holds its components, tcl the interpreter.

Sets self.tcl = tcl, then self.cmd = list(cmd).
)"};

constexpr capi::FunctionDef kCodeGetattr{"__getattr__", code_getattr_fn, R"(__getattr__(self, name)
--

Extend the path: append name to self.cmd and return self (not a copy).
)"};

constexpr capi::FunctionDef kCodeCall{"__call__", code_call_fn, R"(__call__(self, /, *args, **kwargs)
--

Run the command '::'.join(self.cmd) in Tcl and return its result.

The words sent are the command name, quotify() of each positional
argument in order, then for each keyword argument in the order given
'-' + key and quotify() of its value. The keyword cast_ is not sent: it
switches casting (default True).

The words go to the interpreter's history first, then to tk.call() as
separate words (never re-parsed as a script). A Tcl error raises a new
TclError whose message is Tcl's stack trace (the variable ::errorInfo),
without the original error chained to it. It also carries Tcl's account
of the failure as attributes:

    errorinfo   the stack trace, the same text as the message
    errorcode   the words of ::errorCode as a tuple of str, such as
                ('POSIX', 'ENOENT', 'no such file or directory'); ()
                when it cannot be read

When ::errorInfo cannot be read (a trace on it raises), Tcl's error about
that is raised instead, the original error as its context, with its own
message as errorinfo.

With casting the result goes through the interpreter's cast_any();
without it comes back as its Tcl text (a str; a list as Tcl list text).
)"};

constexpr capi::FunctionDef kCodeStr{"__str__", code_str_fn, R"(__str__(self)
--

"<tcl.Jiv magic, referring Tcl code ::ns_a::procname>" for the path
['ns_a', 'procname'].
)"};

constexpr capi::FunctionDef kCodeRepr{"__repr__", code_repr_fn, R"(__repr__(self)
--

The same text as str().
)"};

constexpr const char* kCodeDoc = R"(Jiv_Code class

The worker class that implements the Jiv logic: one command path under
construction, which runs the Tcl command when it is called.

Attributes:
    tcl   the interpreter (from Jiv, a weak proxy of it)
    cmd   the components of the command path, such as
          ['ns_a', 'ns_b', 'procname']; attribute access appends to it
)";

// ---------------------------------------------------------------------------
// Jiv

PyObject* jiv_getattr(State& st, PyObject* module, PyObject* self, PyObject* name) {
    Ref tcl = own_attr(self, st.s_tcl);
    if (!tcl) return nullptr;
    if (PyObject* again = reuse_code(st, module, name, tcl.get())) return again;
    if (PyErr_Occurred()) return nullptr;
    Ref code = Ref::steal(new_code(st, module, name, tcl.get()));
    if (!code || !remember_code(st, name, code.get())) return nullptr;
    return code.release();
}

PyObject* jiv_getattro(PyObject* self, PyObject* name) noexcept {
    PyObject* found = capi::generic_getattr_or_null(self, name);
    if (found != nullptr || PyErr_Occurred()) return found;
    return capi::guarded([&]() -> PyObject* {
        PyObject* module = module_of(self);
        if (module == nullptr) return nullptr;
        return jiv_getattr(*capi::module_state<State>(module), module, self, name);
    });
}

PyObject* jiv_init_fn(Function* f, PyObject* const* argv) {
    State& st = f->state<State>();
    Ref weakref = module_global(f->module, st.g_weakref.get());
    if (!weakref) return nullptr;
    Ref proxy = Ref::steal(PyObject_CallMethodOneArg(weakref.get(), st.s_proxy.get(), argv[1]));
    if (!proxy || PyObject_SetAttr(argv[0], st.s_tcl.get(), proxy.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* jiv_getattr_fn(Function* f, PyObject* const* argv) {
    return jiv_getattr(f->state<State>(), f->module, argv[0], argv[1]);
}

PyObject* jiv_call_fn(Function* f, PyObject* const*, Py_ssize_t nargs, PyObject*) {
    if (nargs < 1) {
        return capi::raise(PyExc_TypeError, "Jiv.__call__() missing 1 required positional argument: 'self'");
    }
    State& st = f->state<State>();
    Ref tcl_error = module_global(f->module, st.g_TclError.get());
    if (!tcl_error) return nullptr;
    // What Tcl itself reports for an empty command name, trace aside:
    // nothing ran.
    Ref exc = Ref::steal(PyObject_CallOneArg(tcl_error.get(), st.t_no_command.get()));
    if (!exc) return nullptr;
    Ref code = Ref::steal(Py_BuildValue("(ssss)", "TCL", "LOOKUP", "COMMAND", ""));
    if (!code || PyObject_SetAttrString(exc.get(), "errorinfo", st.t_no_command.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "errorcode", code.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

constexpr capi::FunctionDef kJivInit{"__init__", jiv_init_fn, R"(__init__(self, tcl)
--

Quick calls on the interpreter object tcl, held as weakref.proxy(tcl).
)"};

constexpr capi::FunctionDef kJivGetattr{"__getattr__", jiv_getattr_fn, R"(__getattr__(self, name)
--

A new Jiv_Code for the command path [name] on this interpreter.
)"};

constexpr capi::FunctionDef kJivCall{"__call__", jiv_call_fn, R"(__call__(self, /, *args, **kwargs)
--

There is no command without a name: raises TclError
'invalid command name ""', as Tcl does, without sending anything. Its
errorcode is Tcl's, ('TCL', 'LOOKUP', 'COMMAND', ''); its errorinfo is
the message (nothing ran, so there is no stack trace).
)"};

constexpr const char* kJivDoc = R"(Magic quick-call methods for Tcl interpreters.

Lets users call Tcl APIs as if they were attributes of the interpreter
object:

    tcl.jiv.set('myVar', 'value')
        # the Tcl command: set myVar value
    tcl.jiv.ns_a.ns_b.procname('arguments', arg_a='value')
        # the Tcl command: ns_a::ns_b::procname arguments -arg_a value

- The call argument cast_ (bool) turns casting of the result on or off;
  default True (the interpreter's cast_any). Without casting the result
  comes back as its Tcl text.
- Positional arguments stay in their order of appearance.
- Keyword arguments are converted to dashed arguments in Tcl and appear
  after the positional arguments, in the order given.
- Only [A-Za-z0-9_] is supported for Tcl namespace and procedure names.

A keyword always sends a value (flag=True sends -flag true). A Tcl option
without a value, one that must come before the other arguments, or one
named -cast_ is passed as positional words instead:

    tcl.jiv.lsort('-decreasing', 'b a c')

Every command goes to the interpreter's history before it runs. A Tcl
error raises TclError carrying Tcl's own stack trace (::errorInfo) as
its message and as its attribute errorinfo, and the words of ::errorCode
as the tuple errorcode:

    try:
        tcl.jiv.open('/nonexistent')
    except TclError as exc:
        exc.errorcode   # ('POSIX', 'ENOENT', 'no such file or directory')

Attribute:
    tcl   weakref.proxy of the interpreter; it does not keep the
          interpreter alive, and raises ReferenceError once it is gone
)";

}  // namespace

Ref build_code_class(PyObject* module, State& st) {
    capi::ClassBuilder b(module, "Jiv_Code", kCodeDoc);
    b.method(kCodeInit).method(kCodeGetattr).method(kCodeCall).method(kCodeStr).method(kCodeRepr);
    st.code_init = Ref::borrow(b.function("__init__"));
    Ref cls = b.build();
    if (cls) {
        st.code_new = cls.as<PyTypeObject>()->tp_new;
        // Ordinary look-up first, then the path logic, with no
        // AttributeError raised and dropped in between; calls without the
        // trip through the class's __call__.
        capi::install_type_slots(module, cls.get(), code_getattro, code_tp_call);
    }
    return cls;
}

Ref build_jiv_class(PyObject* module, State&) {
    capi::ClassBuilder b(module, "Jiv", kJivDoc);
    b.method(kJivInit).method(kJivGetattr).method(kJivCall);
    Ref cls = b.build();
    if (cls) capi::install_type_slots(module, cls.get(), jiv_getattro, nullptr);
    return cls;
}

}  // namespace jiv
