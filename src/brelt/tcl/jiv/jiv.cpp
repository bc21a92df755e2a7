// Jiv and Jiv_Code: quick calls of Tcl commands as attribute paths.
#include <cstring>

#include "interp.hpp"
#include "tclerror.hpp"
#include "jiv.hpp"
#include "plain_attrs.hpp"

namespace jiv {

extern PyModuleDef module_def;

using capi::SmallVector;

namespace {

// The module attribute `name` (NameError if gone), through the memo.
Ref module_global(State& st, PyObject* module, PyObject* name) { return capi::module_global(st.memo, module, name); }

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
    if (capi::weak_proxy_target(tcl, obj) < 0) return {};
    if (!obj) PyErr_SetString(PyExc_ReferenceError, host::kGoneMessage);
    return obj;
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
    Ref cls = module_global(st, module, st.g_Jiv_Code.get());
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
    if (!Py_IS_TYPE(code.get(), type)) {
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

// Whether `dict`, the __dict__ of a Jiv_Code that nobody else holds, is as
// Jiv made it: {'tcl': tcl, 'cmd': [name]} with the list its own alone
// (both entries read through the memo). -1 with an exception set.
int pristine_dict(State& st, PyObject* dict, PyObject* name, PyObject* tcl) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 2) return 0;
    Ref t = Ref::steal(st.memo.get(dict, st.s_tcl.get(), true));
    if (t.get() != tcl) return t || !PyErr_Occurred() ? 0 : -1;
    Ref cmd = Ref::steal(st.memo.get(dict, st.s_cmd.get(), true));
    if (!cmd) return PyErr_Occurred() ? -1 : 0;
    // Held by the dict and by `cmd` alone.
    PyObject* list = cmd.get();
    return PyList_CheckExact(list) && Py_REFCNT(list) == 2 && PyList_GET_SIZE(list) == 1 &&
           PyList_GET_ITEM(list, 0) == name;
}

// The Jiv_Code that Jiv made last for `name`, when nobody but the cache
// holds it (no reference, no weak reference, not its __dict__ nor its path
// list) and it is as Jiv made it, of our own class. Then nobody can tell it
// from a new one, and handing it out again saves making and dropping an
// object, its __dict__ and its list on every quick call. NULL otherwise
// (with an exception only on failure). Nothing here runs Python code, so
// the checks hold when it is handed out.
// The slot of the code table for `name`, an exact str (its hash is kept).
size_t code_slot(PyObject* name) noexcept { return static_cast<size_t>(PyObject_Hash(name)) % State::kCodeSlots; }

PyObject* reuse_code(State& st, PyObject* module, PyObject* name, PyObject* tcl) {
    if constexpr (!capi::can_tell_held_only_by_caller) return nullptr;  // never remembered
    if (!PyUnicode_CheckExact(name)) return nullptr;
    size_t slot = code_slot(name);
    if (st.code_names[slot].get() != name) return nullptr;
    PyObject* code = st.codes[slot].get();
    if (code == nullptr || !capi::held_only_by_caller(code)) return nullptr;
    Ref cls = module_global(st, module, st.g_Jiv_Code.get());
    if (!cls) return nullptr;
    if (!Py_IS_TYPE(code, cls.as<PyTypeObject>()) || !own_code_class(st, Py_TYPE(code))) return nullptr;
    Ref dict = capi::instance_dict(code);
    if (!dict) return nullptr;
    // The dict: held by the object and by `dict` alone.
    if (Py_REFCNT(dict.get()) != 2) return nullptr;
    int pristine = pristine_dict(st, dict.get(), name, tcl);
    if (pristine <= 0) return nullptr;  // with the exception of a failure
    return Py_NewRef(code);
}

// Keeps `code`, just made by Jiv for `name`, for reuse_code, in place of
// whatever had the same slot. The table holds a few dozen paths at most: a
// program that makes up names does not make it grow.
bool remember_code(State& st, PyObject* name, PyObject* code) {
    if constexpr (!capi::can_tell_held_only_by_caller) return true;  // never handed out again
    if (!PyUnicode_CheckExact(name) || !own_code_class(st, Py_TYPE(code))) return true;
    size_t slot = code_slot(name);
    // What the slot held goes only once the slot is whole again.
    Ref old_name = std::move(st.code_names[slot]), old_code = std::move(st.codes[slot]);
    st.code_names[slot] = Ref::borrow(name);
    st.codes[slot] = Ref::borrow(code);
    return true;
}

PyObject* code_extend(State& st, PyObject* self, PyObject* name) {
    Ref cmd = own_attr(self, st.s_cmd);
    if (!cmd) return nullptr;
    if (PyList_CheckExact(cmd.get())) {
        if (PyList_Append(cmd.get(), name) < 0) return nullptr;
    } else {
        Ref r = Ref::steal(capi::call_method(cmd.get(), st.s_append.get(), name));
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
    if (n == 1) return PyUnicode_FromOrdinal(*p);  // one digit: CPython's shared one-character str
    PyObject* text = PyUnicode_New(n, 127);
    if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), p, static_cast<size_t>(n));
    return text;
}

// quotify(value) through the module attribute, as Python code would read it
// for every word. The caller holds the quotify it read last (`quotify`) and
// reads it again only after a word ran code, which alone could rebind it; a
// replacement runs for every word, so it is read before each. For the
// commonest words the original quotify's answer is known: a str is its own
// word, a number its str().
PyObject* word(State& st, PyObject* module, Ref& quotify, PyObject* value) {
    if (!quotify || quotify.get() != st.quotify.get()) {
        quotify = module_global(st, module, st.g_quotify.get());
        if (!quotify) return nullptr;
    }
    if (quotify.get() == st.quotify.get()) {
        PyTypeObject* t = Py_TYPE(value);
        if (t == &PyUnicode_Type) return Py_NewRef(value);
        if (t == &PyLong_Type) return int_text(value);
        if (t == &PyFloat_Type) return PyObject_Str(value);
    }
    // Code of the value's or of the replacement: read quotify again next.
    PyObject* w = PyObject_CallOneArg(Ref(std::move(quotify)).get(), value);
    return w;
}

bool is_cast_key(State& st, PyObject* key) {
    if (key == st.s_cast_.get()) return true;
    if (!PyUnicode_Check(key)) return false;
    return PyUnicode_Compare(key, st.s_cast_.get()) == 0;
}

// A quick call's arguments: positional words, keyword words, and cast_
// (which leaves the keywords; it is tested for truth after the call).
struct CallArgs {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* const* keys;
    PyObject* const* values;
    Py_ssize_t nkw;
    PyObject* cast = Py_True;
    Py_ssize_t cast_at = -1;

    void find_cast(State& st) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (is_cast_key(st, keys[k])) {
                cast = values[k];
                cast_at = k;
            }
        }
    }
    Py_ssize_t word_count() const { return 1 + nargs + 2 * (nkw - (cast_at >= 0 ? 1 : 0)); }
};

// self.cmd of a Jiv_Code, and self.tcl when it is there, by the ordinary
// look-up without __getattr__: from its dict in one pass while its class
// defines neither. `tcl` stays empty when it is not read here.
bool read_path(State& st, PyObject* self, Ref& cmd, Ref& tcl) {
    PyObject* names[] = {st.s_cmd.get(), st.s_tcl.get()};
    Ref found[2];
    if (plain_attrs::class_defines_none(Py_TYPE(self), names, 2) &&
        !plain_attrs::read_dict(st.memo, self, names, 2, found, true)) {
        return false;
    }
    cmd = found[0] ? std::move(found[0]) : own_attr(self, st.s_cmd);
    tcl = std::move(found[1]);
    return static_cast<bool>(cmd);
}

// [name, words...]: the command name '::'.join(cmd), then quotify() of each
// positional argument, then '-' + key and quotify(value) for each keyword
// but cast_. `ran_code` becomes true when a word ran Python code.
// '::'.join(cmd); a path of one str is that str. (The list's lock, on the
// free-threaded build, keeps its item in place until it is held.)
Ref command_name(State& st, PyObject* cmd) {
    Ref only;
    if (PyList_CheckExact(cmd)) {
        Py_BEGIN_CRITICAL_SECTION(cmd);
        if (PyList_GET_SIZE(cmd) == 1 && PyUnicode_CheckExact(PyList_GET_ITEM(cmd, 0))) {
            only = Ref::borrow(PyList_GET_ITEM(cmd, 0));
        }
        Py_END_CRITICAL_SECTION();
    }
    if (only) return only;
    return Ref::steal(PyUnicode_Join(st.t_sep.get(), cmd));
}

Ref command_words(State& st, PyObject* module, PyObject* cmd, const CallArgs& call, bool& ran_code) {
    Ref name = command_name(st, cmd);
    if (!name) return {};
    Ref words = Ref::steal(PyList_New(call.word_count()));
    if (!words) return {};
    PyObject* list = words.get();
    PyList_SET_ITEM(list, 0, name.release());
    Py_ssize_t at = 1;
    Ref quotify;
    auto add_word = [&](PyObject* value) {
        PyObject* w = word(st, module, quotify, value);
        if (!quotify) ran_code = true;  // it was called: any code may have run
        if (w == nullptr) return false;
        PyList_SET_ITEM(list, at++, w);
        return true;
    };
    for (Py_ssize_t i = 0; i < call.nargs; ++i) {
        if (!add_word(call.args[i])) return {};
    }
    for (Py_ssize_t k = 0; k < call.nkw; ++k) {
        if (k == call.cast_at) continue;
        PyObject* option = PyUnicode_Concat(st.t_dash.get(), call.keys[k]);
        if (option == nullptr) return {};
        PyList_SET_ITEM(list, at++, option);
        if (!add_word(call.values[k])) return {};
    }
    return words;
}

// The Interpreter's attributes that a quick call reads (_thread, history,
// tk), through a reader of its own for each stretch without code between.
using InterpAttrs = capi::PlainReader<decltype(State::memo)>;
InterpAttrs interp_attrs(State& st, PyObject* interp) {
    return InterpAttrs(st.interp_attrs, st.memo, interp, {st.s_thread.get(), st.s_history.get(), st.s_tk.get()});
}

// Whether the calling thread may use `interp`, whose `_thread` is `owner`
// (already read): its owner, or any thread for a threaded interpreter,
// which serves the others through its `_remote` (then in `tk`). Otherwise
// false with RuntimeError.
bool owner_allows(PyObject* interp, PyObject* owner, Ref& tk) {
    return host::owner_allows_caller(owner) || host::remote_instead(interp, tk);
}

// The interpreter behind `tcl`, checked for the calling thread, and its
// history. Refused from another thread before anything is recorded: the
// command does not run.
bool reach_interpreter(State& st, PyObject* tcl, Ref& interp, Ref& history, Ref& tk) {
    interp = referent(tcl);
    if (!interp) return false;
    InterpAttrs attrs = interp_attrs(st, interp.get());
    Ref owner = attrs.get(st.s_thread.get(), true);
    if (!owner && PyErr_Occurred()) return false;
    if (!owner_allows(interp.get(), owner.get(), tk)) return false;
    history = attrs.get(st.s_history.get());
    return static_cast<bool>(history);
}

// tk.call(*words), with the words as they are now (the history has seen
// the list). A Tcl error becomes the module's TclError with Tcl's details.
Ref send(State& st, PyObject* module, PyObject* interp, Ref tk, PyObject* list) {
    if (!tk) tk = interp_attrs(st, interp).get(st.s_tk.get());
    if (!tk) return {};
    SmallVector<Ref, 16> stack;
    Py_ssize_t n = PyList_GET_SIZE(list);
    stack.reserve(static_cast<size_t>(n) + 1);
    stack.push_back(std::move(tk));
    // Under the list's lock (on the free-threaded build) no other thread
    // changes it while its items are taken.
    capi::locked(list, [&] {
        n = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < n; ++i) stack.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
    });
    Ref result =
        Ref::steal(capi::call_method_memo(st.memo, st.s_call.get(), reinterpret_cast<PyObject* const*>(stack.data()),
                                          static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET));
    if (result) return result;
    Ref tcl_error = module_global(st, module, st.g_TclError.get());
    if (!tcl_error) return {};  // NameError replaces the failure
    host::raise_tcl_error_details(interp, tcl_error.get(), host::TclErrorReport::trace_as_message,
                                  host::FailedIn::evaluation);
    return {};
}

// Whether interp.cast_any is the package's own, found on the class (the
// generic look-up) and not in the instance dict: 1, 0, or -1 with an
// exception set.
int own_cast_any(State& st, PyObject* interp) {
    PyTypeObject* t = Py_TYPE(interp);
    if (t->tp_getattro != PyObject_GenericGetAttr) return 0;
    if (capi::type_lookup(t, st.s_cast_any.get()).get() != st.cast_any.get()) return 0;
    if ((t->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 && t->tp_dictoffset == 0) return 1;
    Ref dict = capi::instance_dict(interp);
    if (!dict) return -1;
    Ref shadow = Ref::steal(st.memo.get(dict.get(), st.s_cast_any.get()));
    if (shadow) return 0;
    return PyErr_Occurred() ? -1 : 1;
}

// The result: through interp.cast_any() when casting (the package's own
// does its work here), else its Tcl text.
PyObject* finish(State& st, PyObject* module, PyObject* interp, PyObject* cast, Ref result) {
    int truth = PyObject_IsTrue(cast);
    if (truth < 0) return nullptr;
    if (truth) {
        int own = own_cast_any(st, interp);
        if (own < 0) return nullptr;
        if (own) return capi::cast_raw_value(result.get(), st.TclObj.as<PyTypeObject>());
        Ref cast_any;
        int unbound = capi::get_method(interp, st.s_cast_any.get(), cast_any);
        if (unbound < 0) return nullptr;
        if (!unbound) return PyObject_CallOneArg(cast_any.get(), result.get());
        if (cast_any.get() == st.cast_any.get())
            return capi::cast_raw_value(result.get(), st.TclObj.as<PyTypeObject>());
        PyObject* args[] = {interp, result.get()};
        return PyObject_Vectorcall(cast_any.get(), args, 2, nullptr);
    }
    PyObject* r = result.get();
    if (PyUnicode_CheckExact(r)) return result.release();
    if (PyBytes_Check(r)) return PyUnicode_DecodeLatin1(PyBytes_AS_STRING(r), PyBytes_GET_SIZE(r), nullptr);
    Ref quotify = module_global(st, module, st.g_quotify.get());
    return quotify ? PyObject_CallOneArg(quotify.get(), r) : nullptr;
}

// Jiv_Code.__call__: the words, the history, the call, the cast.
PyObject* code_call(State& st, PyObject* module, PyObject* self, CallArgs call) {
    call.find_cast(st);
    Ref hold_cast = Ref::borrow(call.cast);

    // self.tcl counts as read after the words, as Python code would read
    // it: a word's code may change it. When no word ran code, what was read
    // with cmd is still what it is.
    Ref cmd, tcl;
    if (!read_path(st, self, cmd, tcl)) return nullptr;
    bool ran_code = false;
    Ref words = command_words(st, module, cmd.get(), call, ran_code);
    if (!words) return nullptr;
    if ((ran_code || !tcl) && !(tcl = own_attr(self, st.s_tcl))) return nullptr;

    Ref interp, history, tk;
    if (!reach_interpreter(st, tcl.get(), interp, history, tk)) return nullptr;
    PyObject* append_args[] = {history.get(), words.get()};
    Ref recorded = Ref::steal(capi::call_method_memo(st.memo, st.s_append.get(), append_args, 2));
    if (!recorded) return nullptr;

    Ref result = send(st, module, interp.get(), std::move(tk), words.get());
    if (!result) return nullptr;
    return finish(st, module, interp.get(), call.cast, std::move(result));
}

PyObject* code_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return capi::guarded([&]() -> PyObject* {
        Ref hold_self = Ref::borrow(self);
        PyObject* module = module_of(self);
        if (module == nullptr) return nullptr;
        State& st = *capi::module_state<State>(module);
        SmallVector<Ref, 8> keys, values;
        if (kwargs != nullptr) {
            // A snapshot: quotify() may run code that changes a caller's dict.
            // The dict's lock (on the free-threaded build) keeps each key and
            // value alive from PyDict_Next until it is held.
            capi::dict_walk(kwargs, [&](PyObject* key, PyObject* value) {
                keys.push_back(Ref::borrow(key));
                values.push_back(Ref::borrow(value));
            });
        }
        return code_call(
            st, module, self,
            CallArgs{&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                     reinterpret_cast<PyObject* const*>(keys.data()), reinterpret_cast<PyObject* const*>(values.data()),
                     static_cast<Py_ssize_t>(keys.size())});
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

// The methods, defined below their descriptions (which name their parameters).
PyObject* code_init_fn(Function* f, PyObject* const* argv);
PyObject* code_getattr_fn(Function* f, PyObject* const* argv);
PyObject* code_call_fn(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* code_str_fn(Function* f, PyObject* const* argv);
PyObject* code_repr_fn(Function* f, PyObject* const* argv);

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

PyObject* code_init_fn(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kCodeInit.slot("self")];
    PyObject* tcl = argv[kCodeInit.slot("tcl")];
    // Any interpreter object is taken as given; tkinter's own application
    // object, the usual mistake, is refused with the handles' message.
    if (host::is_tcl_application(tcl)) return host::wrong_interpreter(tcl);
    if (PyObject_SetAttr(self, st.s_tcl.get(), tcl) < 0) return nullptr;
    Ref cmd = Ref::steal(PySequence_List(argv[kCodeInit.slot("cmd")]));
    if (!cmd || PyObject_SetAttr(self, st.s_cmd.get(), cmd.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* code_getattr_fn(Function* f, PyObject* const* argv) {
    return code_extend(state_of(f), argv[kCodeGetattr.slot("self")], argv[kCodeGetattr.slot("name")]);
}

PyObject* code_call_fn(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        return capi::raise(PyExc_TypeError, "Jiv_Code.__call__() missing 1 required positional argument: 'self'");
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return code_call(state_of(f), f->module, args[0],
                     CallArgs{args + 1, nargs - 1, nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, args + nargs, nkw});
}

PyObject* code_str_fn(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    Ref cmd = own_attr(argv[kCodeStr.slot("self")], st.s_cmd);
    Ref path = Ref::steal(cmd ? PyUnicode_Join(st.t_sep.get(), cmd.get()) : nullptr);
    if (!path) return nullptr;
    return PyUnicode_FromFormat("<tcl.Jiv magic, referring Tcl code ::%U>", path.get());
}

PyObject* code_repr_fn(Function* f, PyObject* const* argv) {
    return capi::call_method(argv[kCodeRepr.slot("self")], state_of(f).s_str.get());
}

// ---------------------------------------------------------------------------
// Jiv

// self.tcl of a Jiv, by the ordinary look-up without __getattr__: from its
// dict while its class does not define it.
Ref jiv_tcl(State& st, PyObject* self) {
    PyObject* names[] = {st.s_tcl.get()};
    Ref tcl;
    if (plain_attrs::class_defines_none(Py_TYPE(self), names, 1) &&
        !plain_attrs::read_dict(st.memo, self, names, 1, &tcl, false)) {
        return {};
    }
    return tcl ? std::move(tcl) : own_attr(self, st.s_tcl);
}

// The Jiv_Code for the command path [name] on `tcl`.
PyObject* code_for(State& st, PyObject* module, PyObject* name, PyObject* tcl) {
    if (PyObject* again = reuse_code(st, module, name, tcl)) return again;
    if (PyErr_Occurred()) return nullptr;
    Ref code = Ref::steal(new_code(st, module, name, tcl));
    if (!code || !remember_code(st, name, code.get())) return nullptr;
    return code.release();
}

PyObject* jiv_getattr(State& st, PyObject* module, PyObject* self, PyObject* name) {
    Ref tcl = jiv_tcl(st, self);
    return tcl ? code_for(st, module, name, tcl.get()) : nullptr;
}

PyObject* jiv_getattro(PyObject* self, PyObject* name) noexcept {
    return capi::guarded([&]() -> PyObject* {
        PyObject* module = module_of(self);
        if (module == nullptr) return nullptr;
        State& st = *capi::module_state<State>(module);
        // The usual access, tcl.jiv.<command> with a name from the code (an
        // interned str): while the class defines neither the name nor tcl,
        // one pass over the instance dict tells whether the name is an
        // attribute and gives self.tcl.
        if (PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) {
            PyObject* names[] = {name, st.s_tcl.get()};
            if (plain_attrs::class_defines_none(Py_TYPE(self), names, 2)) {
                Ref found[2];
                if (!plain_attrs::read_dict(st.memo, self, names, 2, found, false)) return nullptr;
                if (found[0]) return found[0].release();
                if (found[1]) return code_for(st, module, name, found[1].get());
            }
        }
        PyObject* found = capi::generic_getattr_or_null(self, name);
        if (found != nullptr || PyErr_Occurred()) return found;
        return jiv_getattr(st, module, self, name);
    });
}

// The methods, defined below their descriptions (which name their parameters).
PyObject* jiv_init_fn(Function* f, PyObject* const* argv);
PyObject* jiv_getattr_fn(Function* f, PyObject* const* argv);
PyObject* jiv_call_fn(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

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

PyObject* jiv_init_fn(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    Ref weakref = module_global(st, f->module, st.g_weakref.get());
    if (!weakref) return nullptr;
    PyObject* tcl = argv[kJivInit.slot("tcl")];
    Ref proxy = Ref::steal(capi::call_method(weakref.get(), st.s_proxy.get(), tcl));
    // What cannot be held weakly is no interpreter: the handles' own message.
    if (!proxy && PyErr_ExceptionMatches(PyExc_TypeError) && !PyWeakref_CheckProxy(tcl)) {
        PyErr_Clear();
        return host::wrong_interpreter(tcl);
    }
    if (!proxy || PyObject_SetAttr(argv[kJivInit.slot("self")], st.s_tcl.get(), proxy.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* jiv_getattr_fn(Function* f, PyObject* const* argv) {
    return jiv_getattr(state_of(f), f->module, argv[kJivGetattr.slot("self")], argv[kJivGetattr.slot("name")]);
}

PyObject* jiv_call_fn(Function* f, PyObject* const*, Py_ssize_t nargs, PyObject*) {
    if (nargs < 1) {
        return capi::raise(PyExc_TypeError, "Jiv.__call__() missing 1 required positional argument: 'self'");
    }
    State& st = state_of(f);
    Ref tcl_error = module_global(st, f->module, st.g_TclError.get());
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
