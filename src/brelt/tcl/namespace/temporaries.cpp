// The temporaries: TempTclVariable, TempTclArrayVariable, TempTclCommand
// and TempTclNamespace, handles with a generated global name whose variable,
// command or namespace lives as long as a `with` block (and, for a command
// with a registered callable, until the handle is collected).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "fastpath.hpp"

namespace tclns {

namespace {

// self.__class__.__name__ when neither is more than the plain type's own
// (no __class__ of a class, no metaclass): read without the look-ups.
Ref plain_class_name(State& st, PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) return {};
    Ref own = capi::type_lookup(type, st.s_class.get());
    if (own.get() != st.object_class_descriptor.get()) return {};
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) PyErr_Clear();
    return name;
}

// "::__brelt__<cls>_<ident>_tmp": what format() makes of the default pattern,
// without parsing it each time.
PyObject* default_temp_name(PyObject* cls_name, PyObject* self) noexcept {
    char ident[24];
    int digits = 0;
    for (uintptr_t v = reinterpret_cast<uintptr_t>(self); v != 0 || digits == 0; v /= 10) {
        ident[sizeof ident - 1 - digits++] = static_cast<char>('0' + v % 10);
    }
    std::memmove(ident, ident + sizeof ident - digits, digits);
    ident[digits] = '\0';
    if (!PyUnicode_CheckExact(cls_name) || !PyUnicode_IS_ASCII(cls_name)) {
        return PyUnicode_FromFormat("::__brelt__%U_%s_tmp", cls_name, ident);
    }
    static constexpr char kHead[] = "::__brelt__", kTail[] = "_tmp";
    Py_ssize_t head = sizeof kHead - 1, tail = sizeof kTail - 1, cls = PyUnicode_GET_LENGTH(cls_name);
    PyObject* text = PyUnicode_New(head + cls + 1 + digits + tail, 127);
    if (text == nullptr) return nullptr;
    char* out = static_cast<char*>(PyUnicode_DATA(text));
    std::memcpy(out, kHead, head);
    std::memcpy(out + head, PyUnicode_DATA(cls_name), cls);
    out[head + cls] = '_';
    std::memcpy(out + head + cls + 1, ident, digits);
    std::memcpy(out + head + cls + 1 + digits, kTail, tail);
    return text;
}

// pattern.format(cls=<class name>, id=<id(self)>), pattern made a str
// first (with `own_format`, a str of a subclass is kept, and its own
// format() runs); the default pattern when NULL.
PyObject* temp_name(State& st, PyObject* self, PyObject* pattern, bool own_format = false) noexcept {
    Ref text = pattern == nullptr                       ? Ref::borrow(st.t_temp_name.get())
               : own_format && PyUnicode_Check(pattern) ? Ref::borrow(pattern)
                                                        : Ref::steal(PyObject_Str(pattern));
    if (!text) return nullptr;
    Ref cls_name = plain_class_name(st, self);
    if (!cls_name) {
        Ref cls = Ref::steal(PyObject_GetAttr(self, st.s_class.get()));
        cls_name = cls ? Ref::steal(PyObject_GetAttr(cls.get(), st.s_name.get())) : Ref();
        if (!cls_name) return nullptr;
    }
    if (text.get() == st.t_temp_name.get() && PyUnicode_CheckExact(cls_name.get())) {
        return default_temp_name(cls_name.get(), self);
    }
    Ref ident = Ref::steal(PyLong_FromVoidPtr(self));
    if (!ident) return nullptr;
    PyObject* a[] = {text.get(), cls_name.get(), ident.get()};
    return call_method(st.s_format.get(), a, 1, st.kw_cls_id.get());
}

bool exact_temp_command(State& st, PyObject* self) noexcept;

// Calls `self.<name>()`; a TclError (and, with `gone_too`, the
// ReferenceError of an interpreter that no longer exists) is ignored. The
// module's own TempTclCommand deletes through its own delete() directly.
bool quietly(State& st, PyObject* self, PyObject* name, bool gone_too) noexcept {
    Ref r;
    {
        QuietRequests quiet;
        bool own_delete = name == st.s_delete.get() && exact_temp_command(st, self);
        r = Ref::steal(own_delete ? delete_command(st, self) : call_method(self, name));
    }
    if (r) return true;
    if (PyErr_ExceptionMatches(st.TclError.get()) || (gone_too && PyErr_ExceptionMatches(PyExc_ReferenceError))) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// getattr(func, attr) for the attributes of a plain function that are its
// own fields (what their descriptors on the function type read), else the
// look-up: 1 found, 0 missing, -1 error.
int wrapped_attr(State& st, PyObject* func, PyObject* attr, Ref& value) noexcept {
#if CAPI_KNOWN_RELEASE
    if (Py_IS_TYPE(func, &PyFunction_Type)) {
        auto* f = reinterpret_cast<PyFunctionObject*>(func);
        PyObject* field = attr == st.s_name.get()       ? f->func_name
                          : attr == st.s_qualname.get() ? f->func_qualname
                          : attr == st.s_module.get()   ? f->func_module
                          : attr == st.s_doc.get()      ? f->func_doc
                                                        : reinterpret_cast<PyObject*>(&st);
        if (field != reinterpret_cast<PyObject*>(&st)) {
            value = Ref::borrow(field != nullptr ? field : Py_None);
            return 1;
        }
    }
#endif
    return PyObject_GetOptionalAttr(func, attr, value.out());
}

// functools.update_wrapper(self, func), with the attribute lists of
// functools (taken at import).
bool update_wrapper(State& st, PyObject* self, PyObject* func) noexcept {
    capi::AttrWriter set(self);
    PyObject* assigned = st.wrapper_assignments.get();
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(assigned); i < n; ++i) {
        PyObject* attr = PyTuple_GET_ITEM(assigned, i);
        Ref value;
        int found = wrapped_attr(st, func, attr, value);
        if (found < 0 || (found > 0 && set(attr, value.get()) < 0)) return false;
    }
    PyObject* updated = st.wrapper_updates.get();
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(updated); i < n; ++i) {
        PyObject* attr = PyTuple_GET_ITEM(updated, i);
#if CAPI_KNOWN_RELEASE
        if (attr == st.s_dict.get() && Py_IS_TYPE(func, &PyFunction_Type)) {
            PyObject* own = reinterpret_cast<PyFunctionObject*>(func)->func_dict;
            if (own == nullptr || (PyDict_CheckExact(own) && PyDict_GET_SIZE(own) == 0)) continue;  // nothing to add
        }
#endif
        Ref target = Ref::steal(PyObject_GetAttr(self, attr));
        if (!target) return false;
        Ref source;
        int found = PyObject_GetOptionalAttr(func, attr, source.out());
        if (found < 0) return false;
        if (found == 0) continue;  // getattr(func, attr, {}): nothing to add
        if (PyDict_CheckExact(target.get()) && PyDict_CheckExact(source.get())) {
            // What dict.update(dict) does.
            if (PyDict_Update(target.get(), source.get()) < 0) return false;
            continue;
        }
        Ref r = Ref::steal(call_method(target.get(), st.s_update.get(), source.get()));
        if (!r) return false;
    }
    return set(st.s_wrapped.get(), func) == 0;
}

// ---------------------------------------------------------------------------
// TempTclVariable

PyObject* temp_init(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kTempInit{"__init__", temp_init,
                                      R"doc(__init__(self, var_name='::__brelt__{cls}_{id}_tmp', **kwargs)
--

A handle on a temporary variable.

var_name (made a str) is formatted with str.format(cls=<class name>,
id=<id(self)>), so the default is a global name unique among live
handles, and a name of your own may carry the fields too ('::v_{id}');
doubled braces give single ones, any other field is an error. The other
arguments go by keyword to the next __init__ (array_index, tcl, cast).
)doc"};

PyObject* temp_init(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kTempInit.slot("self")];
    PyObject* kwargs = argv[kTempInit.slot("kwargs")];
    // var_name.format(cls=..., id=...): every name, the caller's too.
    Ref name = Ref::steal(temp_name(st, self, argv[kTempInit.slot("var_name")], true));
    if (!name) return nullptr;

    Ref sup = super_of(st.TempTclVariable.get(), self);
    Ref next_init = sup ? Ref::steal(PyObject_GetAttr(sup.get(), st.s_init.get())) : Ref();
    if (!next_init) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, name.get()));
    if (!args) return nullptr;
    Ref result = Ref::steal(PyObject_Call(next_init.get(), args.get(), kwargs));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* temp_enter(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kTempEnter{"__enter__", temp_enter, R"doc(__enter__(self)
--

Enter the block: nothing is created in Tcl. Returns the handle, or what
the __enter__ of a later class in the resolution order returns.
)doc"};

PyObject* temp_enter(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    return chain_enter(st, st.TempTclVariable.get(), argv[kTempEnter.slot("self")]);
}

PyObject* temp_exit(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kTempExit{"__exit__", temp_exit, R"doc(__exit__(self, *args)
--

Leave the block: unset the variable (or only the element of an element
handle), ignoring a TclError; then chain to the __exit__ of a later class
in the resolution order, if any, and return its result; else False, so an
exception of the block propagates.
)doc"};

PyObject* temp_exit(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kTempExit.slot("self")];
    PyObject* args[] = {self, Py_True};
    Ref r = Ref::steal(call_method(st.s_unset.get(), args, 1, st.kw_nocomplain.get()));
    if (!r) return nullptr;
    return chain_exit(st, st.TempTclVariable.get(), self, argv[kTempExit.slot("args")]);
}

constexpr const char* kTempArrayDoc = R"doc(A temporary Tcl array used as a mapping: a TclArrayVariable with the
generated name and the `with` block of TempTclVariable.
)doc";

constexpr const char* kTempDoc = R"doc(A TclVariable with a generated, unique global name that lives as long as
a `with` block: leaving the block (normally or by an exception) unsets
it. Entering creates nothing; the block sets what it needs. There is no
finaliser: a handle dropped outside a `with` block leaves its variable.

    >>> from brelt.tcl import Interpreter, TempTclVariable
    >>> interp = Interpreter()
    >>> with TempTclVariable(tcl=interp) as v:
    ...     v.set(42)
    ...     v.get_str()
    '42'
)doc";

// ---------------------------------------------------------------------------
// TempTclCommand

// Exactly a TempTclCommand whose class still has its own methods.
bool exact_temp_command(State& st, PyObject* self) noexcept {
    auto* type = st.TempTclCommand.as<PyTypeObject>();
    return Py_IS_TYPE(self, type) && st.TempTclCommand_methods.unchanged(type);
}

PyObject* command_init(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCommandInit{"__init__", command_init,
                                         R"doc(__init__(self, func=None, cmd_name='::__brelt__{cls}_{id}_tmp', **kwargs)
--

A command handle with a generated name, and func registered under it.

cmd_name (made a str) is formatted with str.format(cls=<class name>,
id=<id(self)>), so the default is a global name unique among live
handles; a name of your own may carry the fields too. The other
arguments go by keyword to TclCommand.__init__ (args, keywords, tcl,
cast, logger). When func is given it is registered as the Tcl command
(createcommand) and the handle takes its __name__, __doc__... and
__wrapped__ (functools.update_wrapper); until the command is deleted the
handle also keeps the Tcl application it went to (_TempTclCommand__tk),
so that collecting the handle removes the command even after the
interpreter object is gone.
)doc"};

// The rest of TempTclCommand.__init__, once TclCommand.__init__ has run:
// func registered under the name, and the handle made to look like it.
PyObject* register_wrapped(State& st, PyObject* self, PyObject* func) noexcept;

PyObject* command_init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCommandInit.slot("self")];
    PyObject* func = argv[kCommandInit.slot("func")];
    PyObject* cmd_name = argv[kCommandInit.slot("cmd_name")];
    PyObject* kwargs = argv[kCommandInit.slot("kwargs")];
    Ref name = Ref::steal(temp_name(st, self, cmd_name));
    if (!name) return nullptr;
    PyObject* a[] = {self, name.get()};
    Ref r = Ref::steal(PyObject_VectorcallDict(st.command_init.get(), a, 2, kwargs));
    if (!r) return nullptr;
    return register_wrapped(st, self, func);
}

// What TempTclCommand(...) runs as its class's initialiser while __init__
// is the class's own (assigning __init__ puts CPython's generic slot back):
// the usual calls, their arguments bound here, without the detour through
// a tuple, a dict and the argument parser of __init__. Anything unusual
// goes that way all the same, for its errors.
int command_tp_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    if (module == nullptr) return -1;
    State& st = *static_cast<State*>(PyModule_GetState(module));
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    // func, cmd_name, then what TclCommand.__init__ takes by keyword.
    std::array<PyObject*, 7> names = {nullptr,        nullptr,         st.s_args.get(),  st.s_keywords.get(),
                                      st.s_tcl.get(), st.s_cast.get(), st.s_logger.get()};
    std::array<Ref, 7> given;
    bool plain = exact_temp_command(st, self) && n <= 2 && (kwds == nullptr || PyDict_CheckExact(kwds));
    for (Py_ssize_t i = 0; plain && i < n; ++i) given[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (plain && kwds != nullptr) {
        names[0] = st.s_func.get();
        names[1] = st.s_cmd_name.get();
        // Read under the dict's lock (free-threaded build), each value held
        // before the lock goes. Keywords of a call are interned names:
        // known by identity.
        capi::locked(kwds, [&] {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (plain && PyDict_Next(kwds, &pos, &key, &value)) {
                auto at = std::find(names.begin(), names.end(), key);
                plain = at != names.end() && !given[at - names.begin()];
                if (plain) given[at - names.begin()] = Ref::borrow(value);
            }
        });
    }
    if (!plain) {
        capi::SmallVector<PyObject*, 8> stack;
        try {
            stack.emplace_back(self);
            for (Py_ssize_t i = 0; i < n; ++i) stack.emplace_back(PyTuple_GET_ITEM(args, i));
        } catch (...) {
            capi::set_error_from_cpp_exception();
            return -1;
        }
        Ref r = Ref::steal(PyObject_VectorcallDict(st.temp_command_init.get(), &stack[0], stack.size(), kwds));
        return r ? 0 : -1;
    }
    Ref name = Ref::steal(temp_name(st, self, given[1].get()));
    if (!name) return -1;
    Ref r = Ref::steal(init_command_handle(st, self, name.get(), given[2].get(), given[3].get(), given[4].get(),
                                           given[5].get(), given[6].get()));
    if (!r) return -1;
    r = Ref::steal(register_wrapped(st, self, given[0].get()));
    return r ? 0 : -1;
}

PyObject* register_wrapped(State& st, PyObject* self, PyObject* func) noexcept {
    Ref r;
    int registered = func == nullptr ? 0 : PyObject_IsTrue(func);
    if (registered < 0) return nullptr;
    if (registered) {
        bool exact = exact_temp_command(st, self);
        r = Ref::steal(exact ? create_command(st, self, func) : call_method(self, st.s_createcommand.get(), func));
        if (!r) return nullptr;
        // The Tcl application the command went to (createcommand() keeps it
        // too; a subclass's may not), so the finaliser can still delete the
        // command once the interpreter object is gone: the host keeps that
        // application (and its Tcl interpreter) alive for as long as a
        // Python command is registered in it. The class's own createcommand()
        // has just kept it: a second look-through is spared.
        Ref tcl, tk, kept;
        if (!exact &&
            (!interp_tk(st, self, tcl, tk) || !(kept = Ref::steal(kept_application(st, tcl.get(), tk.get()))) ||
             PyObject_SetAttr(self, st.s_kept_tk.get(), kept.get()) < 0)) {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            if (!quietly(st, self, st.s_delete.get(), true)) PyErr_Clear();
            PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
        if (!update_wrapper(st, self, func)) {
            // No __wrapped__, so no finaliser would take the command away.
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            if (!quietly(st, self, st.s_delete.get(), true)) PyErr_Clear();
            PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* command_enter(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCommandEnter{"__enter__", command_enter, R"doc(__enter__(self)
--

Enter the block: nothing is created. Returns the handle, or what the
__enter__ of a later class in the resolution order returns.
)doc"};

PyObject* command_enter(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCommandEnter.slot("self")];
    if (exact_temp_command(st, self)) return Py_NewRef(self);
    return chain_enter(st, st.TempTclCommand.get(), self);
}

}  // namespace

// getattr(self, name) as a look-up that may find nothing (1, 0 or -1 with
// an error): for the module's own command classes, whose class defines
// none of the names asked here, from the instance dict when it is there.
static int own_attr(State& st, PyObject* self, PyObject* name, Ref& out) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (own_command(st, self) && type->tp_getattro == PyObject_GenericGetAttr) {
        // No class in its resolution order has the name either: the dict
        // alone answers.
        Ref dict = capi::instance_dict(self);
        if (!dict) return -1;
        int found = PyDict_GetItemRef(dict.get(), name, out.out());
        if (found != 0 || !capi::type_lookup(type, name)) return found;
    }
    return PyObject_GetOptionalAttr(self, name, out.out());
}

PyObject* kept_application(State& st, PyObject* tcl, PyObject* tk) noexcept {
    Ref interp, owner;
    if (PyWeakref_CheckProxy(tcl) && capi::weak_proxy_target(tcl, interp) < 0) return nullptr;
    if (interp) {
        // What the proxy would answer, read as a request reads it.
        owner = Ref::steal(AttrReader(st, interp.get())(st.s_thread.get()));
        if (!owner) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
        }
    } else if (PyObject_GetOptionalAttr(tcl, st.s_thread.get(), owner.out()) < 0) {
        return nullptr;
    }
    return PyTuple_Pack(2, tk, owner ? owner.get() : Py_None);
}

// Forgets the Tcl application kept at registration once the command is
// deleted, so the handle does not keep it alive any longer.
bool forget_kept_tk(State& st, PyObject* self) noexcept {
    if (own_command(st, self)) {
        // Where the class's own createcommand() put it.
        Ref dict = capi::instance_dict(self);
        if (!dict) return false;
        if (PyDict_DelItem(dict.get(), st.s_kept_tk.get()) == 0) return true;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
    }
    Ref kept;
    int has = PyObject_GetOptionalAttr(self, st.s_kept_tk.get(), kept.out());
    if (has <= 0) return has == 0;
    if (PyObject_DelAttr(self, st.s_kept_tk.get()) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

namespace {

PyObject* command_exit(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCommandExit{"__exit__", command_exit, R"doc(__exit__(self, *exc_info)
--

Leave the block: delete the command (a TclError, such as for a command
already gone, is ignored); then chain to the __exit__ of a later class in
the resolution order and return its result, else False.
)doc"};

PyObject* command_exit(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCommandExit.slot("self")];
    PyObject* exc_info = argv[kCommandExit.slot("exc_info")];
    if (exact_temp_command(st, self)) {
        // Its own delete() forgets the kept application once Tcl deleted.
        Ref r;
        {
            QuietRequests quiet;
            r = Ref::steal(delete_command(st, self));
        }
        if (!r) {
            if (!PyErr_ExceptionMatches(st.TclError.get())) return nullptr;
            PyErr_Clear();
            if (!forget_kept_tk(st, self)) return nullptr;
        }
        Py_RETURN_FALSE;
    }
    if (!quietly(st, self, st.s_delete.get(), false) || !forget_kept_tk(st, self)) return nullptr;
    return chain_exit(st, st.TempTclCommand.get(), self, exc_info);
}

// Deletes the handle's command through the Tcl application kept at
// registration, when the interpreter object is gone; the application goes
// when its last command does.
bool delete_through_kept_tk(State& st, PyObject* self, PyObject* kept) noexcept {
    if (!PyTuple_Check(kept) || PyTuple_GET_SIZE(kept) != 2) {
        PyErr_SetString(PyExc_TypeError, "_TempTclCommand__tk must be a (tk, owner thread) pair");
        return false;
    }
    PyObject* tk = PyTuple_GET_ITEM(kept, 0);
    PyObject* owner = PyTuple_GET_ITEM(kept, 1);
    if (owner != Py_None) {
        int mine = host::is_calling_thread(owner);
        if (mine < 0) return false;
        if (!mine) {
            PyErr_SetString(PyExc_RuntimeError, "Calling Tcl from different apartment");
            return false;
        }
    }
    Ref name = Ref::steal(PyObject_GetAttr(self, st.s_cmd_name.get()));
    if (!name) return false;
    Ref words = Ref::steal(make_words({st.w_rename.get(), name.get(), st.t_empty.get()}));
    if (!words) return false;
    Ref r = Ref::steal(call_tk_method(st, TkMethod::call, std::array<PyObject*, 2>{tk, words.get()}.data(), 2));
    if (!r && PyErr_ExceptionMatches(st.TclError.get())) PyErr_Clear();  // already gone
    return !PyErr_Occurred();
}

// Whether the kept (tk, owner) pair belongs to the calling thread (or
// records no owner).
bool kept_here(PyObject* kept) noexcept {
    if (!PyTuple_Check(kept) || PyTuple_GET_SIZE(kept) != 2) return true;
    PyObject* owner = PyTuple_GET_ITEM(kept, 1);
    if (!PyLong_CheckExact(owner)) return true;
    int mine = host::is_calling_thread(owner);
    if (mine < 0) PyErr_Clear();
    return mine != 0;
}

// Whether the command of handle `self` (of the module's own class, on
// Interpreter `interp`) is certainly gone, asked of Tcl without a request: a
// second deletion would only fail inside Tcl, which costs an error message
// and errorInfo for an error that is ignored anyway. Only on the thread that
// owns the interpreter, for an absolute ASCII name, which Tcl resolves
// wherever it is evaluated; false (no error) whenever that cannot be told.
bool surely_gone(State& st, PyObject* self, PyObject* interp) noexcept {
    const host::TclApi* api = host::tcl_api();
    AttrReader read(st, interp);
    Ref owner, tk, name, address;
    bool asked = api != nullptr && (owner = Ref::steal(read(st.s_thread.get()))) && PyLong_CheckExact(owner.get()) &&
                 host::is_calling_thread(owner.get()) > 0 && (tk = Ref::steal(read(st.s_tk.get()))) &&
                 Py_IS_TYPE(tk.get(), st.requests.tkapp_type.as<PyTypeObject>()) &&
                 own_attr(st, self, st.s_cmd_name.get(), name) > 0 && PyUnicode_CheckExact(name.get()) &&
                 PyUnicode_IS_ASCII(name.get()) &&
                 (address = Ref::steal(call_tk_method(st, TkMethod::interpaddr, std::array{tk.get()}.data(), 1)));
    if (!asked) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(name.get());
    const char* text = static_cast<const char*>(PyUnicode_DATA(name.get()));
    void* ip = PyLong_AsVoidPtr(address.get());
    if (ip == nullptr || n < 2 || text[0] != ':' || text[1] != ':' || std::memchr(text, '\0', n) != nullptr) {
        PyErr_Clear();
        return false;
    }
    return api->find_command(static_cast<host::Tcl_Interp*>(ip), text, nullptr, host::TCL_GLOBAL_ONLY) == nullptr;
}

PyObject* command_del(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kCommandDel{"__del__", command_del, R"doc(__del__(self)
--

When a callable was registered (the handle has __wrapped__), delete the
command (self.delete()); a TclError, such as for a command that the
block already deleted, is ignored. A TempTclCommand itself first asks
Tcl whether its absolute name still names a command, and sends nothing
when it does not (Tcl's errorInfo stays as it was). When the
interpreter object is already gone, the command is deleted through the
Tcl application kept at registration (the host keeps that application
alive while a Python command is registered in it), and no ReferenceError
is reported. Then the __del__ of a later class, if any.
)doc"};

PyObject* command_del(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kCommandDel.slot("self")];
    Ref wrapped, kept;
    if (own_attr(st, self, st.s_wrapped.get(), wrapped) < 0) return nullptr;
    if (own_attr(st, self, st.s_kept_tk.get(), kept) < 0) return nullptr;
    if (kept && !kept_here(kept.get())) {
        // Collected in a thread that must not touch the interpreter, nor
        // drop what may be the last reference to its application (Tcl
        // aborts the process): the command stays, and the application is
        // kept for good, as an Interpreter dropped elsewhere keeps its own.
        if (PyTuple_Check(kept.get()) && PyTuple_GET_SIZE(kept.get()) == 2) {
            Py_INCREF(PyTuple_GET_ITEM(kept.get(), 0));  // never released
        }
    } else if (wrapped) {
        Ref tcl;
        if (own_attr(st, self, st.s_tcl.get(), tcl) < 0) return nullptr;
        Ref target;
        int alive = tcl && PyWeakref_CheckProxy(tcl.get()) ? PyWeakref_GetRef(tcl.get(), target.out()) : 1;
        if (alive < 0) return nullptr;
        if (alive == 0 && kept) {
            if (!delete_through_kept_tk(st, self, kept.get())) return nullptr;
        } else if (alive > 0 && target && exact_temp_command(st, self) && surely_gone(st, self, target.get())) {
            // Deleted already (by the block, say): nothing to ask of Tcl.
        } else if (!quietly(st, self, st.s_delete.get(), true)) {
            // A command already deleted (by the block, say) answers a
            // TclError, ignored; an interpreter gone without a kept
            // application took its commands with it (ReferenceError).
            return nullptr;
        }
    }
    if (!exact_temp_command(st, self)) {
        Ref hook;
        if (!next_hook(st.TempTclCommand.get(), self, st.s_del.get(), hook)) return nullptr;
        if (hook) {
            Ref r = Ref::steal(PyObject_CallNoArgs(hook.get()));
            if (!r) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

constexpr const char* kCommandDoc = R"doc(A Python callable registered as a Tcl command under a generated name.

The command exists from the constructor until a `with` block around the
handle ends, or until the handle is collected. The handle looks like the
callable (its __name__, __doc__, __wrapped__) and calls it through Tcl.

    >>> from brelt.tcl import Interpreter, TempTclCommand
    >>> interp = Interpreter()
    >>> with TempTclCommand(lambda *words: len(words), tcl=interp) as count:
    ...     interp.tk.eval(f'{count.cmd_name} a b c')
    '3'
)doc";

// ---------------------------------------------------------------------------
// TempTclNamespace

// Exactly a TempTclNamespace whose class still has its own methods.
bool exact_temp_namespace(State& st, PyObject* self) noexcept {
    auto* type = st.TempTclNamespace.as<PyTypeObject>();
    return Py_IS_TYPE(self, type) && st.TempTclNamespace_methods.unchanged(type);
}

PyObject* namespace_init(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kNamespaceInit{"__init__", namespace_init,
                                           R"doc(__init__(self, ns='::__brelt__{cls}_{id}_tmp', **kwargs)
--

A namespace handle with a generated name; nothing is created yet.

ns (made a str) is formatted with str.format(cls=<class name>,
id=<id(self)>), as for TempTclCommand. The other arguments go by keyword
to TclNamespace.__init__ (tcl).
)doc"};

PyObject* namespace_init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kNamespaceInit.slot("self")];
    PyObject* ns = argv[kNamespaceInit.slot("ns")];
    PyObject* kwargs = argv[kNamespaceInit.slot("kwargs")];
    Ref name = Ref::steal(temp_name(st, self, ns));
    if (!name) return nullptr;
    PyObject* a[] = {self, name.get()};
    Ref r = Ref::steal(PyObject_VectorcallDict(st.namespace_init.get(), a, 2, kwargs));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* namespace_enter(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kNamespaceEnter{"__enter__", namespace_enter, R"doc(__enter__(self)
--

Enter the block: the result of a later class's __enter__ (or the handle
itself), then create the namespace. A failed create() raises before the
block runs.
)doc"};

PyObject* namespace_enter(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kNamespaceEnter.slot("self")];
    Ref result = exact_temp_namespace(st, self) ? Ref::borrow(self)
                                                : Ref::steal(chain_enter(st, st.TempTclNamespace.get(), self));
    if (!result) return nullptr;
    Ref r = Ref::steal(call_method(self, st.s_create.get()));
    if (!r) return nullptr;
    return result.release();
}

PyObject* namespace_exit(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kNamespaceExit{"__exit__", namespace_exit, R"doc(__exit__(self, *exc_info)
--

Leave the block: delete the namespace (a TclError is ignored); then chain
to the __exit__ of a later class and return its result, else False.
)doc"};

PyObject* namespace_exit(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kNamespaceExit.slot("self")];
    PyObject* exc_info = argv[kNamespaceExit.slot("exc_info")];
    if (!quietly(st, self, st.s_delete.get(), false)) return nullptr;
    if (exact_temp_namespace(st, self)) Py_RETURN_FALSE;
    return chain_exit(st, st.TempTclNamespace.get(), self, exc_info);
}

constexpr const char* kNamespaceDoc = R"doc(A Tcl namespace with a generated name that exists for a `with` block.

    >>> from brelt.tcl import Interpreter, TempTclNamespace
    >>> interp = Interpreter()
    >>> with TempTclNamespace(tcl=interp) as ns:
    ...     ns.vars['x'] = 1
    ...     ns.exists()
    True

There is no finaliser: a namespace created outside a `with` block (by
create()) stays until delete().
)doc";

}  // namespace

// A temporary owns its Tcl object: a copy would be a second owner, whose
// collection or block deletes what the original still uses.
static PyObject* refuse_copy(Function* fn, PyObject* const* argv);
extern constexpr capi::FunctionDef kRefuseCopy{"__reduce_ex__", refuse_copy, R"doc(__reduce_ex__(self, protocol)
--

Refused with TypeError: a temporary owns its Tcl object, so copy.copy(),
copy.deepcopy() and pickle would make a second owner of it.
)doc"};

static PyObject* refuse_copy(Function*, PyObject* const* argv) {
    PyObject* self = argv[kRefuseCopy.slot("self")];
    PyErr_Format(PyExc_TypeError, "cannot copy or pickle '%.200s' object: it owns its Tcl %s", Py_TYPE(self)->tp_name,
                 "object");
    return nullptr;
}

bool build_temp_variable(PyObject* module, State& st) {
    capi::ClassBuilder temp(module, "TempTclVariable", kTempDoc);
    temp.bases({st.TclVariable.get()}).method(kTempInit).method(kRefuseCopy).method(kTempEnter).method(kTempExit);
    st.TempTclVariable = temp.build();
    return static_cast<bool>(st.TempTclVariable);
}

bool build_temp_array_variable(PyObject* module, State& st) {
    capi::ClassBuilder temp_array(module, "TempTclArrayVariable", kTempArrayDoc);
    temp_array.bases({st.TempTclVariable.get(), st.TclArrayVariable.get()});
    st.TempTclArrayVariable = temp_array.build();
    return static_cast<bool>(st.TempTclArrayVariable);
}

bool build_temp_command(PyObject* module, State& st) {
    capi::ClassBuilder cls(module, "TempTclCommand", kCommandDoc);
    cls.bases({st.TclCommand.get()})
        .method(kCommandInit)
        .method(kRefuseCopy)
        .method(kCommandEnter)
        .method(kCommandExit)
        .method(kCommandDel);
    st.TempTclCommand = cls.build();
    if (!st.TempTclCommand) return false;
    st.temp_command_init = Ref::steal(PyObject_GetAttr(st.TempTclCommand.get(), st.s_init.get()));
    if (!st.temp_command_init) return false;
    capi::install_type_slots(module, st.TempTclCommand.get(), nullptr, command_tp_call, command_tp_init);
    return true;
}

bool build_temp_namespace(PyObject* module, State& st) {
    st.namespace_init = Ref::steal(PyObject_GetAttr(st.TclNamespace.get(), st.s_init.get()));
    if (!st.namespace_init) return false;
    capi::ClassBuilder cls(module, "TempTclNamespace", kNamespaceDoc);
    cls.bases({st.TclNamespace.get()})
        .method(kNamespaceInit)
        .method(kRefuseCopy)
        .method(kNamespaceEnter)
        .method(kNamespaceExit);
    st.TempTclNamespace = cls.build();
    return static_cast<bool>(st.TempTclNamespace);
}

}  // namespace tclns
