// One callable type for module functions and methods.
//
// A `function` object:
// - is called through vectorcall, its arguments parsed by the table of args.hpp;
// - keeps __name__, __qualname__, __module__, __doc__ and __text_signature__
//   (and any user attribute) in its own __dict__, so inspect.signature(),
//   help() and pickling by qualified name work as for built-in functions;
// - binds like a Python function when stored in a class (__get__), and carries
//   Py_TPFLAGS_METHOD_DESCRIPTOR so `obj.method(...)` calls it without
//   building a bound method;
// - holds its module, so every call reaches the module state.
//
// The type is created once per module (multi-phase initialisation) and kept
// in the module state; nothing here is a process-wide Python object.
#pragma once

#include <cassert>
#include <cstddef>
#include <new>
#include <string_view>

#include "args.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace capi {

struct Function;

namespace detail {

// The position of `param` among the parameters of the text signature that
// starts `doc` ("name(a, b=None, /, *, c, **kw)"), counted as parse_signature
// counts them: the markers "/" and "*" take no slot. Evaluated only when the
// code compiles; an unknown name is a compile error (the throw).
consteval Py_ssize_t slot_in_signature(std::string_view doc, std::string_view param) {
    size_t i = doc.find('(');
    if (i == std::string_view::npos) throw "the docstring does not start with a text signature";
    Py_ssize_t slot = 0;
    int depth = 0;
    char quote = 0;
    bool in_default = false;
    std::string_view::size_type start = i + 1;
    auto item_matches = [&](std::string_view item) {
        while (!item.empty() && (item.front() == ' ' || item.front() == '\n')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\n')) item.remove_suffix(1);
        while (!item.empty() && (item.front() == '*' || item.front() == '$')) item.remove_prefix(1);
        return item == param;
    };
    for (++i; i < doc.size(); ++i) {
        char c = doc[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') quote = c;
        else if (c == '(' || c == '[' || c == '{' || c == '<') ++depth;
        else if (c == '=' && depth == 0) in_default = true;
        else if ((c == ',' || c == ')') && depth == 0) {
            std::string_view item = doc.substr(start, i - start);
            if (in_default) item = item.substr(0, item.find('='));
            std::string_view bare = item;
            while (!bare.empty() && bare.front() == ' ') bare.remove_prefix(1);
            while (!bare.empty() && bare.back() == ' ') bare.remove_suffix(1);
            if (bare != "/" && bare != "*" && !bare.empty()) {
                if (item_matches(item)) return slot;
                ++slot;
            }
            if (c == ')') break;
            start = i + 1;
            in_default = false;
        } else if (c == ')' || c == ']' || c == '}' || c == '>') --depth;
    }
    throw "no parameter of that name in the text signature";
}

}  // namespace detail

// Receives exactly one slot per declared parameter (see args.hpp).
using ParsedImpl = PyObject* (*)(Function* self, PyObject* const* argv);
// Receives the raw vectorcall arguments, for hot paths that do their own work.
using RawImpl = PyObject* (*)(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Static description of one function: its name, its implementation and its
// docstring, which starts with the text signature "name(params)\n--\n\n".
struct FunctionDef {
    const char* name;
    const char* doc;
    ParsedImpl parsed = nullptr;
    RawImpl raw = nullptr;

    constexpr FunctionDef(const char* name_, ParsedImpl impl, const char* doc_) noexcept
        : name(name_), doc(doc_), parsed(impl) {}
    constexpr FunctionDef(const char* name_, RawImpl impl, const char* doc_) noexcept
        : name(name_), doc(doc_), raw(impl) {}

    // The slot of the parameter called `param` in a ParsedImpl's argv, read
    // from the text signature when the code compiles: `argv[kInit.slot("tcl")]`.
    // A name the signature lacks does not compile, and a parameter added or
    // moved in the signature moves every slot read by name with it.
    consteval Py_ssize_t slot(std::string_view param) const { return detail::slot_in_signature(doc, param); }
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* module;    // strong: the module whose state this function uses
    PyObject* qualname;  // strong: used in argument error messages
    const FunctionDef* def;
    Signature* sig;      // owned
    void* module_state;  // the state of `module`, which lives as long as it

    template <class State>
    State& state() const noexcept {
        return *static_cast<State*>(module_state);
    }
};

struct ModuleStateBase;

namespace detail {
// The state whose members are being constructed (see Held); only set
// while init_state() runs its constructor.
inline thread_local ModuleStateBase* constructing_state = nullptr;
}  // namespace detail

// A strong reference that belongs to a module's state. Declared as a member
// of the state struct, it enrols itself with that state, which therefore
// visits it in GC traversal and drops it when the module is cleared; the
// declaration is the only place that lists it.
//
//     Held Logger;                        filled by the exec slot
//     Held s_api{Held::name, "api"};      the interned str "api"
//     Held kw_tcl{Held::kwnames, "tcl"};  the tuple ('tcl',) of interned
//                                         names, for vectorcall keywords
//                                         (several names: "tcl cast")
//
// The names are created by init_state() before the exec slot goes on.
class Held : public Ref {
public:
    enum Name { name };
    enum KwNames { kwnames };

    Held() noexcept { enrol(); }
    Held(Name, const char* text) noexcept : text_(text) { enrol(); }
    Held(KwNames, const char* names) noexcept : text_(names), is_kwnames_(true) { enrol(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    using Ref::operator=;

    Held* next() const noexcept { return next_; }
    // Creates the interned name (or keyword tuple) this member was declared
    // with; true when there is nothing to create.
    bool create() noexcept;

private:
    inline void enrol() noexcept;

    Held* next_ = nullptr;
    const char* text_ = nullptr;
    bool is_kwnames_ = false;
};

// Every module state starts with this, so the function machinery finds its
// type and the module hooks find the state's Held members.
struct ModuleStateBase {
    ModuleStateBase() noexcept = default;
    ModuleStateBase(const ModuleStateBase&) = delete;
    ModuleStateBase& operator=(const ModuleStateBase&) = delete;

    // The Held members, last declared first. Its initialiser opens the
    // enrolment, before any Held member (function_type first) is built.
    Held* held_ = (detail::constructing_state = this, nullptr);
    bool live_ = false;  // set once constructed; the memory starts zeroed
    Held function_type;
};

inline void Held::enrol() noexcept {
    ModuleStateBase* owner = detail::constructing_state;
    assert(owner != nullptr && "a Held outside a module state");
    if (owner == nullptr) return;
    next_ = owner->held_;
    owner->held_ = this;
}

inline bool Held::create() noexcept {
    if (text_ == nullptr) return true;
    if (!is_kwnames_) {
        reset(PyUnicode_InternFromString(text_));
        return get() != nullptr;
    }
    // Blank-separated names: count them, then fill the tuple.
    std::string_view all(text_);
    auto words = [&](auto&& each) {
        size_t at = 0;
        while (at < all.size()) {
            if (all[at] == ' ') {
                ++at;
                continue;
            }
            size_t end = all.find(' ', at);
            if (end == std::string_view::npos) end = all.size();
            if (!each(all.substr(at, end - at))) return false;
            at = end;
        }
        return true;
    };
    Py_ssize_t count = 0;
    words([&](std::string_view) { return ++count > 0; });
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return false;
    Py_ssize_t i = 0;
    bool ok = words([&](std::string_view w) {
        PyObject* item = PyUnicode_FromStringAndSize(w.data(), static_cast<Py_ssize_t>(w.size()));
        if (item == nullptr) return false;
        PyUnicode_InternInPlace(&item);
        PyTuple_SET_ITEM(tuple.get(), i++, item);
        return true;
    });
    if (!ok) return false;
    reset(tuple.release());
    return true;
}

namespace detail {

inline PyObject* call_parsed(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Signature& sig = *f->sig;
    try {
        if (kwnames == nullptr && nargs <= sig.n_positional && nargs >= sig.n_required_pos &&
            sig.positional_only_layout() && !sig.has_required_kwonly) {
            if (nargs == sig.size()) {
                PyObject* result = f->def->parsed(f, args);
                check_result(result);
                return result;
            }
            // Cleared and filled a word at a time: a few stores, where the
            // library's memcpy and memset cost a call each. The
            // implementation reads no slot past the signature's.
            PyObject* argv[kMaxParams];
            if (sig.size() <= 4) {
                argv[0] = argv[1] = argv[2] = argv[3] = nullptr;
            } else {
                for (PyObject*& a : argv) a = nullptr;
            }
            for (Py_ssize_t i = 0; i < nargs; ++i) {
                argv[i] = args[i];
                asm("" ::: "memory");  // keeps the loop from becoming a memcpy call
            }
            PyObject* result = f->def->parsed(f, argv);
            check_result(result);
            return result;
        }
        ParsedArgs parsed;
        if (!parse_args(f->qualname, sig, args, nargs, kwnames, parsed)) return nullptr;
        PyObject* result = f->def->parsed(f, parsed.argv);
        check_result(result);
        return result;
    } catch (...) {
        set_error_from_cpp_exception();
        return nullptr;
    }
}

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<Function*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The first argument (a method's self) is held for the whole call: the
    // caller's reference may go while it runs (tkinter drops a command's
    // callable when Tcl deletes the command, which the call may do).
    Ref self = nargs > 0 ? Ref::borrow(args[0]) : Ref();
    if (f->def->raw != nullptr) {
        try {
            PyObject* result = f->def->raw(f, args, nargs, kwnames);
            check_result(result);
            return result;
        } catch (...) {
            set_error_from_cpp_exception();
            return nullptr;
        }
    }
    return call_parsed(f, args, nargs, kwnames);
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    // Binds like a Python function: through the class it is itself.
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->qualname);
    return 0;
}

inline int function_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->qualname);
    return 0;
}

inline void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete f->sig;
    f->sig = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<built-in function %U>", f->qualname);
}

inline PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    // Pickled as a global: pickle looks the qualified name up in __module__.
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

// Splits "name(params)\n--\n\nbody" into the text signature "(params)" and
// the body. Returns false when the docstring does not start that way.
inline bool split_doc(const char* name, const char* doc, std::string_view& signature, std::string_view& body) {
    std::string_view d(doc);
    std::string_view n(name);
    constexpr std::string_view marker = ")\n--\n\n";
    if (d.substr(0, n.size()) != n || d.size() <= n.size() || d[n.size()] != '(') return false;
    size_t end = d.find(marker);
    if (end == std::string_view::npos) return false;
    signature = d.substr(n.size(), end + 1 - n.size());
    body = d.substr(end + marker.size());
    return true;
}

}  // namespace detail

// Creates the module's `function` type; call once in the module's exec slot.
inline bool init_function_type(PyObject* module, ModuleStateBase& state) {
    PyObject* modname = PyModule_GetNameObject(module);
    if (!modname) return false;
    Ref qualified = Ref::steal(PyUnicode_FromFormat("%U.function", modname));
    Py_DECREF(modname);
    if (!qualified) return false;
    const char* tp_name = PyUnicode_AsUTF8(qualified.get());  // copied by CPython
    if (!tp_name) return false;
    PyType_Spec spec = {
        tp_name,
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        detail::function_slots,
    };
    state.function_type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    return static_cast<bool>(state.function_type);
}

// Creates a function object for `def`. `qualname_prefix` (a str, or NULL for
// a module-level function) is the qualified name of the class it goes into.
inline Ref new_function(PyObject* module, const FunctionDef& def, PyObject* qualname_prefix = nullptr) {
    auto* state = static_cast<ModuleStateBase*>(PyModule_GetState(module));
    if (state == nullptr || !state->function_type) {
        raise(PyExc_SystemError, "function type not initialised");
        return {};
    }
    std::string_view text_sig, body;
    if (!detail::split_doc(def.name, def.doc, text_sig, body)) {
        PyErr_Format(PyExc_SystemError, "docstring of %s does not start with its signature", def.name);
        return {};
    }
    auto* sig = new (std::nothrow) Signature();
    if (sig == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    bool ok = false;
    try {
        ok = parse_signature(text_sig.substr(1, text_sig.size() - 2), *sig);
    } catch (...) {
        set_error_from_cpp_exception();
    }
    if (!ok) {
        delete sig;
        return {};
    }
    auto* type = state->function_type.as<PyTypeObject>();
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) {
        delete sig;
        return {};
    }
    auto* f = obj.as<Function>();
    f->vectorcall = detail::function_vectorcall;
    f->def = &def;
    f->sig = sig;
    f->module = Py_NewRef(module);
    f->module_state = PyModule_GetState(module);
    if (f->module_state == nullptr) return {};

    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    if (!name) return {};
    f->qualname = qualname_prefix ? PyUnicode_FromFormat("%U.%U", qualname_prefix, name.get()) : Py_NewRef(name.get());
    if (!f->qualname) return {};
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    Ref doc = Ref::steal(PyUnicode_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
    Ref text_signature =
        Ref::steal(PyUnicode_FromStringAndSize(text_sig.data(), static_cast<Py_ssize_t>(text_sig.size())));
    if (!modname || !doc || !text_signature) return {};
    f->dict = PyDict_New();
    if (!f->dict) return {};
    if (PyDict_SetItemString(f->dict, "__name__", name.get()) < 0 ||
        PyDict_SetItemString(f->dict, "__qualname__", f->qualname) < 0 ||
        PyDict_SetItemString(f->dict, "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(f->dict, "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(f->dict, "__text_signature__", text_signature.get()) < 0) {
        return {};
    }
    return obj;
}

// Adds module-level functions, in order, as module attributes.
inline bool add_function(PyObject* module, const FunctionDef& def) {
    Ref f = new_function(module, def);
    return f && PyModule_AddObjectRef(module, def.name, f.get()) == 0;
}

}  // namespace capi
