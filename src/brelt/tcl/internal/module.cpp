// The module brelt.tcl.internal: loading the Tcl library, the ctypes
// mirrors of its structures, and the module definition.
#include <atomic>
#include <dlfcn.h>

#include <cstddef>
#include <string>
#include <vector>

#include "internal.hpp"
#include "tclapi.hpp"

namespace internal {
namespace {

using capi::add_function;
using capi::add_object;
using capi::ClassBuilder;

// The last resort, when the library cannot be found from _tkinter: file
// names of releases, tkinter's own first. Only a library already in the
// process is taken.
constexpr const char* kLibraryNames[] = {
    "libtcl8.4.so", "libtcl8.4.dylib", "libtcl8.5.so", "libtcl8.5.dylib", "libtcl8.6.so.0",
    "libtcl8.6.so", "libtcl8.6.dylib", "libtcl9.0.so", "libtcl9.0.dylib",
};

// Called by ctypes with a converted Tcl_Interp_p (see interp_pointer).
void* interp_address(void* interp) { return interp; }

// Tcl 9 makes Tcl_GetStringResult a macro; the library's functions it
// stands for, set at import (the library is never unloaded). Atomic: a
// module executed again (in a subinterpreter) stores them while another
// thread may call through them; every store is the same address, as one
// process holds one Tcl library.
using GetObjResultProc = void* (*)(Tcl_Interp*);
using GetStringFromObjProc = const char* (*)(void* obj, std::ptrdiff_t* length);
std::atomic<GetObjResultProc> tcl9_get_obj_result{nullptr};
std::atomic<GetStringFromObjProc> tcl9_get_string_from_obj{nullptr};

const char* tcl9_string_result(Tcl_Interp* interp) {
    auto get_string = tcl9_get_string_from_obj.load(std::memory_order_acquire);
    return get_string(tcl9_get_obj_result.load(std::memory_order_acquire)(interp), nullptr);
}

Ref attr(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }

bool set_attr(PyObject* obj, const char* name, PyObject* value) {
    return value != nullptr && PyObject_SetAttrString(obj, name, value) == 0;
}

// The file that holds the Tcl library _tkinter runs on: the library it is
// linked to, or _tkinter itself when Tcl is linked in statically. The
// dynamic loader resolves a Tcl symbol in _tkinter's own scope and says
// where the definition lives; nothing new is mapped. Empty when unknown.
std::string tkinter_tcl_file(PyObject* tkinter_module) {
    Ref file = attr(tkinter_module, "__file__");  // none when built into Python
    const char* path = file && PyUnicode_Check(file.get()) ? PyUnicode_AsUTF8(file.get()) : nullptr;
    if (path == nullptr) {
        PyErr_Clear();
        return {};
    }
    void* handle = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return {};
    std::string result;
    Dl_info info{};
    void* symbol = dlsym(handle, "Tcl_GetVersion");
    if (symbol != nullptr && dladdr(symbol, &info) != 0 && info.dli_fname != nullptr) result = info.dli_fname;
    dlclose(handle);
    return result;
}

// "major.minor" of the library behind `dll`, or empty.
std::string library_version(PyObject* dll) {
    Ref handle = attr(dll, "_handle");
    void* h = handle ? PyLong_AsVoidPtr(handle.get()) : nullptr;
    if (h == nullptr) {
        PyErr_Clear();
        return {};
    }
    using GetVersionProc = void (*)(int*, int*, int*, int*);
    auto get_version = reinterpret_cast<GetVersionProc>(dlsym(h, "Tcl_GetVersion"));
    if (get_version == nullptr) return {};
    int major = 0, minor = 0, patch = 0, type = 0;
    get_version(&major, &minor, &patch, &type);
    return std::to_string(major) + "." + std::to_string(minor);
}

// The Tcl library of tkinter, as a ctypes.CDLL in st.TclDLL and the module
// globals TclDLL and lib. Only a library that the process holds already is
// opened (RTLD_NOLOAD), and only one of tkinter's Tcl version: one process,
// one Tcl.
bool load_library(PyObject* module, State& st, PyObject* ctypes, PyObject* tkinter) {
    Ref tcl_version = attr(tkinter, "TclVersion");
    Ref version_text = Ref::steal(tcl_version ? PyObject_Str(tcl_version.get()) : nullptr);
    const char* wanted = version_text ? PyUnicode_AsUTF8(version_text.get()) : nullptr;
    if (wanted == nullptr) return false;
    Ref tkinter_module = Ref::steal(PyImport_ImportModule("_tkinter"));
    if (!tkinter_module) return false;

    std::vector<std::string> names;
    if (std::string found = tkinter_tcl_file(tkinter_module.get()); !found.empty()) names.push_back(found);
    const std::string prefix = std::string("libtcl") + wanted + ".";
    for (bool ours : {true, false}) {
        for (const char* name : kLibraryNames) {
            if ((std::string(name).rfind(prefix, 0) == 0) == ours) names.emplace_back(name);
        }
    }

    Ref CDLL = attr(ctypes, "CDLL");
    Ref mode = Ref::steal(PyLong_FromLong(RTLD_NOLOAD | RTLD_LAZY | RTLD_LOCAL));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "mode"));
    if (!CDLL || !mode || !kwnames) return false;
    std::string mismatch;
    for (const std::string& name : names) {
        Ref pyname = Ref::steal(PyUnicode_DecodeFSDefault(name.c_str()));
        if (!set_attr(module, "lib", pyname.get())) return false;
        PyObject* args[] = {pyname.get(), mode.get()};
        Ref dll = Ref::steal(PyObject_Vectorcall(CDLL.get(), args, 1, kwnames.get()));
        if (!dll) {
            if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
            PyErr_Clear();
            continue;
        }
        const std::string version = library_version(dll.get());
        if (version != wanted) {
            // Not the Tcl that tkinter runs on: never used.
            if (mismatch.empty()) mismatch = name + " is Tcl " + (version.empty() ? "?" : version);
            continue;
        }
        st.tcl_major = version.rfind("8.", 0) == 0 ? 8 : 9;
        st.TclDLL = std::move(dll);
        return set_attr(module, "TclDLL", st.TclDLL.get());
    }
    if (mismatch.empty()) {
        PyErr_SetString(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib)");
    } else {
        PyErr_Format(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib): %s, tkinter runs on Tcl %s",
                     mismatch.c_str(), wanted);
    }
    return false;
}

// [(name, type), ...] for a ctypes _fields_.
Ref fields(std::initializer_list<std::pair<const char*, PyObject*>> list) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return {};
    for (auto [name, type] : list) {
        if (type == nullptr) return {};
        Ref item = Ref::steal(Py_BuildValue("(sO)", name, type));
        if (!item || PyList_Append(result.get(), item.get()) < 0) return {};
    }
    return result;
}

// Sets argtypes (a list, or NULL to leave them) and restype of TclDLL.<name>.
bool bind(State& st, const char* name, Ref argtypes, PyObject* restype) {
    Ref func = attr(st.TclDLL.get(), name);
    if (!func) return false;
    if (argtypes && !set_attr(func.get(), "argtypes", argtypes.get())) return false;
    return set_attr(func.get(), "restype", restype);
}

// The address of `name` in TclDLL's library (ImportError when it has none).
template <class Proc>
bool resolve(State& st, const char* name, Proc& out) {
    Ref handle = attr(st.TclDLL.get(), "_handle");
    if (!handle) return false;
    void* h = PyLong_AsVoidPtr(handle.get());
    if (h == nullptr && PyErr_Occurred()) return false;
    return host::resolve(h, name, out);
}

constexpr const char* kReturnCodesDoc = R"(Tcl's completion codes of commands and library calls.)";

constexpr const char* kInterpDoc = R"(A Tcl_Interp * as a ctypes value.

Declared as an argument type, it accepts None (the NULL pointer), a
Tcl_Interp_p, or a tkinter.Tk instance (the address of its interpreter);
see from_param().
)";

constexpr const char* kObjTypeDoc = R"(Mirror of the Tcl library's Tcl_ObjType structure.)";
constexpr const char* kObjDoc = R"(Mirror of the Tcl library's Tcl_Obj structure.)";
constexpr const char* kInternalRepDoc = R"(The internal representation of a Tcl_Obj.)";
constexpr const char* kTwoPtrDoc = R"(The internal representation as two pointers.)";

// The modules and classes the rest of the module works with, kept in the
// state and, some of them, as module attributes.
bool import_dependencies(PyObject* module, State& st, Ref& ctypes, Ref& tkinter) {
    ctypes = Ref::steal(PyImport_ImportModule("ctypes"));
    Ref ctypes_util = Ref::steal(ctypes ? PyImport_ImportModule("ctypes.util") : nullptr);
    tkinter = Ref::steal(ctypes_util ? PyImport_ImportModule("tkinter") : nullptr);
    if (!tkinter || !add_object(module, "ctypes", ctypes.get()) || !add_object(module, "tkinter", tkinter.get())) {
        return false;
    }
    if (!capi::import_attr(st.Sequence, "collections.abc", "Sequence") ||
        !capi::import_attr(st.Set, "collections.abc", "Set") || !add_object(module, "Sequence", st.Sequence.get()) ||
        !add_object(module, "Set", st.Set.get()) ||
        !add_object(module, "unicode", reinterpret_cast<PyObject*>(&PyUnicode_Type))) {
        return false;
    }
    st.Tk = attr(tkinter.get(), "Tk");
    st.TclError = attr(tkinter.get(), "TclError");
    st.c_void_p = attr(ctypes.get(), "c_void_p");
    st.c_char_p = attr(ctypes.get(), "c_char_p");
    st.cast = attr(ctypes.get(), "cast");
    if (!st.Tk || !st.TclError || !st.c_void_p || !st.c_char_p || !st.cast) return false;
    return capi::import_attr(st.TkappType, "_tkinter", "TkappType");
}

bool add_return_codes(PyObject* module) {
    ClassBuilder codes(module, "ReturnCodes", kReturnCodesDoc);
    const std::pair<const char*, long> values[] = {
        {"TCL_OK", 0}, {"TCL_ERROR", 1}, {"TCL_RETURN", 2}, {"TCL_BREAK", 3}, {"TCL_CONTINUE", 4},
    };
    for (auto [name, value] : values) {
        Ref v = Ref::steal(PyLong_FromLong(value));
        codes.attr(name, v.get());
    }
    Ref cls = codes.build();
    return add_object(module, "ReturnCodes", cls.get());
}

// The ctypes types that the mirrors and the library's declarations use,
// with the running Tcl's sizes.
struct CTypes {
    Ref c_int, c_long, c_double, c_size_t, wide, size, Structure, Union, POINTER, CFUNCTYPE;
    PyObject* c_void_p = nullptr;  // the state's
    PyObject* c_char_p = nullptr;  // the state's

    bool load(PyObject* ctypes, State& st, bool tcl9) {
        c_int = attr(ctypes, "c_int");
        c_long = attr(ctypes, "c_long");
        c_double = attr(ctypes, "c_double");
        c_size_t = attr(ctypes, "c_size_t");
        wide = attr(ctypes, "c_longlong");
        // Tcl_Size: an int on Tcl 8, a ptrdiff_t on Tcl 9.
        size = tcl9 ? attr(ctypes, "c_ssize_t") : Ref::borrow(c_int.get());
        Structure = attr(ctypes, "Structure");
        Union = attr(ctypes, "Union");
        POINTER = attr(ctypes, "POINTER");
        CFUNCTYPE = attr(ctypes, "CFUNCTYPE");
        c_void_p = st.c_void_p.get();
        c_char_p = st.c_char_p.get();
        return c_int && c_long && c_double && c_size_t && wide && size && Structure && Union && POINTER && CFUNCTYPE;
    }
    // POINTER(type)
    Ref pointer(PyObject* type) const { return Ref::steal(PyObject_CallOneArg(POINTER.get(), type)); }
    // A ctypes function of prototype restype(argtype) that calls `address`.
    Ref function(PyObject* restype, PyObject* argtype, void* address) const {
        PyObject* proto_args[] = {restype, argtype};
        Ref proto = Ref::steal(PyObject_Vectorcall(CFUNCTYPE.get(), proto_args, 2, nullptr));
        Ref where = Ref::steal(PyLong_FromVoidPtr(address));
        if (!proto || !where) return {};
        return Ref::steal(PyObject_CallOneArg(proto.get(), where.get()));
    }
};

// Tcl_ObjType's fields, the release's own.
Ref obj_type_fields(const CTypes& ct, bool tcl9) {
    PyObject* c_void_p = ct.c_void_p;
    if (!tcl9) {
        return fields({{"name", ct.c_char_p},
                       {"freeIntRepProc", c_void_p},
                       {"dupIntRepProc", c_void_p},
                       {"updateStringProc", c_void_p},
                       {"setFromAnyProc", c_void_p}});
    }
    return fields({{"name", ct.c_char_p},
                   {"freeIntRepProc", c_void_p},
                   {"dupIntRepProc", c_void_p},
                   {"updateStringProc", c_void_p},
                   {"setFromAnyProc", c_void_p},
                   {"version", ct.c_size_t.get()},
                   {"lengthProc", c_void_p},
                   {"indexProc", c_void_p},
                   {"sliceProc", c_void_p},
                   {"reverseProc", c_void_p},
                   {"getElementsProc", c_void_p},
                   {"setElementProc", c_void_p},
                   {"replaceProc", c_void_p},
                   {"inOperProc", c_void_p}});
}

// The mirrors of Tcl's object structures: Tcl_ObjType, and Tcl_Obj with its
// nested union and structure.
bool add_object_mirrors(PyObject* module, const CTypes& ct, bool tcl9) {
    Ref obj_type = ClassBuilder(module, "Tcl_ObjType", kObjTypeDoc)
                       .bases({ct.Structure.get()})
                       .attr("_fields_", obj_type_fields(ct, tcl9).get())
                       .build();
    if (!add_object(module, "Tcl_ObjType", obj_type.get())) return false;

    // Tcl_Obj and its nested union and structure are created empty and get
    // their fields afterwards, innermost first.
    Ref two_ptr = ClassBuilder(module, "s_twoPtrValue", kTwoPtrDoc, "Tcl_Obj.u_internalRep.s_twoPtrValue")
                      .bases({ct.Structure.get()})
                      .build();
    Ref internal_rep = ClassBuilder(module, "u_internalRep", kInternalRepDoc, "Tcl_Obj.u_internalRep")
                           .bases({ct.Union.get()})
                           .attr("s_twoPtrValue", two_ptr.get())
                           .build();
    Ref tcl_obj = ClassBuilder(module, "Tcl_Obj", kObjDoc)
                      .bases({ct.Structure.get()})
                      .attr("u_internalRep", internal_rep.get())
                      .build();
    if (!tcl_obj) return false;
    // POINTER() would name the module that happens to be importing us.
    Ref obj_type_p = ct.pointer(obj_type.get());
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!modname || !set_attr(obj_type_p.get(), "__module__", modname.get())) return false;
    PyObject* c_void_p = ct.c_void_p;
    return set_attr(two_ptr.get(), "_fields_", fields({{"ptr1", c_void_p}, {"ptr2", c_void_p}}).get()) &&
           set_attr(internal_rep.get(), "_fields_",
                    fields({{"longValue", ct.c_long.get()},
                            {"doubleValue", ct.c_double.get()},
                            {"otherValuePtr", c_void_p},
                            {"wideValue", ct.wide.get()},
                            {"twoPtrValue", two_ptr.get()}})
                        .get()) &&
           set_attr(tcl_obj.get(), "_fields_",
                    fields({{"refCount", ct.size.get()},
                            {"bytes", ct.c_char_p},
                            {"length", ct.size.get()},
                            {"typePtr", obj_type_p.get()},
                            {"internalRep", internal_rep.get()}})
                        .get()) &&
           add_object(module, "Tcl_Obj", tcl_obj.get());
}

// Tcl_GetStringResult is a macro on Tcl 9: TclDLL gets the module's own
// function in its place, called as ctypes calls the library's (resolved
// first, so the library has both).
bool install_tcl9_string_result(State& st, const CTypes& ct) {
    GetObjResultProc get_obj_result = nullptr;
    GetStringFromObjProc get_string_from_obj = nullptr;
    if (!resolve(st, "Tcl_GetObjResult", get_obj_result) || !resolve(st, "Tcl_GetStringFromObj", get_string_from_obj)) {
        return false;
    }
    tcl9_get_obj_result.store(get_obj_result, std::memory_order_release);
    tcl9_get_string_from_obj.store(get_string_from_obj, std::memory_order_release);
    Ref func = ct.function(ct.c_char_p, st.Tcl_Interp_p.get(), reinterpret_cast<void*>(&tcl9_string_result));
    Ref name = Ref::steal(PyUnicode_FromString("Tcl_GetStringResult"));
    if (!func || !name || !set_attr(func.get(), "__name__", name.get()) ||
        !set_attr(st.TclDLL.get(), "Tcl_GetStringResult", func.get())) {
        return false;
    }
    st.get_string_result_proc = &tcl9_string_result;
    return true;
}

// The library functions, declared once with the running Tcl's types, and
// the addresses that the module calls itself.
bool declare_library_functions(State& st, const CTypes& ct, bool tcl9) {
    Ref c_char_pp = ct.pointer(ct.c_char_p);
    Ref c_int_p = ct.pointer(ct.c_int.get());
    Ref size_p = ct.pointer(ct.size.get());
    if (!c_char_pp || !c_int_p || !size_p) return false;
    PyObject* interp_p = st.Tcl_Interp_p.get();
    PyObject* c_char_p = ct.c_char_p;
    PyObject* size = ct.size.get();
    if (tcl9 && !install_tcl9_string_result(st, ct)) return false;
    if (!bind(st, "TclFindElement",
              Ref::steal(Py_BuildValue("[OOOOOOO]", interp_p, c_char_p, size, c_char_pp.get(), c_char_pp.get(),
                                       size_p.get(), c_int_p.get())),
              ct.c_int.get()) ||
        !bind(st, "TclCopyAndCollapse", Ref::steal(Py_BuildValue("[OOO]", size, c_char_p, c_char_p)), size) ||
        !bind(st, "Tcl_GetStringResult", Ref::steal(Py_BuildValue("[O]", interp_p)), c_char_p) ||
        !bind(st, "Tcl_ResetResult", Ref::steal(Py_BuildValue("[O]", interp_p)), Py_None)) {
        return false;
    }
    st.get_string_result = attr(st.TclDLL.get(), "Tcl_GetStringResult");
    if (!st.get_string_result) return false;
    return resolve(st, "TclFindElement", st.find_element) && resolve(st, "TclCopyAndCollapse", st.copy_and_collapse) &&
           resolve(st, "Tcl_GetCurrentThread", st.get_current_thread) &&
           (tcl9 || resolve(st, "Tcl_GetStringResult", st.get_string_result_proc)) && bind_post(st);
}

bool build_module(PyObject* module, State& st) {
    Ref ctypes, tkinter;
    if (!import_dependencies(module, st, ctypes, tkinter) || !add_return_codes(module) ||
        !load_library(module, st, ctypes.get(), tkinter.get())) {
        return false;
    }
    if (!add_function(module, kPtrAdd) || !add_function(module, kPtrSub) || !add_function(module, kPtrDiff) ||
        !add_function(module, kTclErrorFromInterp)) {
        return false;
    }
    st.Tcl_Interp_p =
        ClassBuilder(module, "Tcl_Interp_p", kInterpDoc).bases({st.c_void_p.get()}).class_method(kFromParam).build();
    if (!add_object(module, "Tcl_Interp_p", st.Tcl_Interp_p.get())) return false;

    const bool tcl9 = st.tcl_major >= 9;
    CTypes ct;
    if (!ct.load(ctypes.get(), st, tcl9) || !add_object(module, "Tcl_WideInt", ct.wide.get()) ||
        !add_object(module, "Tcl_Size", ct.size.get()) || !add_object_mirrors(module, ct, tcl9) ||
        !declare_library_functions(st, ct, tcl9)) {
        return false;
    }
    // Interpreter arguments of the C-level calls are converted by ctypes
    // itself, through a function that takes a Tcl_Interp_p and returns it.
    st.interp_address = ct.function(ct.c_void_p, st.Tcl_Interp_p.get(), reinterpret_cast<void*>(&interp_address));
    if (!st.interp_address) return false;

    // The package's casts (it binds them as its own) need these.
    if (!capi::import_attr(st.TclObj, "_tkinter", "Tcl_Obj") ||
        !capi::import_attr(st.Mapping, "collections.abc", "Mapping")) {
        return false;
    }
    for (const capi::FunctionDef* def :
         {&kCharPFromObj, &kGetListFromAny, &kDictionaryCompare, &kCastAny, &kCastBoolean, &kCastArray, &kCastList,
          &kCurrentThread, &kPost, &kFinalizeThread, &kAttachErrorDetails, &kRemoteCall, &kNewChannel,
          &kCloseChannel}) {
        if (!add_function(module, *def)) return false;
    }
    return true;
}

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr) return -1;
        return build_module(module, *st) ? 0 : -1;
    });
}

constexpr const char* kModuleDoc = R"(Implements:
    ReturnCodes
    TclDLL
    Tcl_ObjType
    Tcl_Obj
    GetListFromAny
    DictionaryCompare
    cast_any, cast_boolean, cast_array, cast_list (the package's casts)

Description:
    This file implements access to some internals of Tcl's C code,
    including internal structures and APIs: the Tcl library that tkinter
    runs on (shared, or linked into _tkinter; Tcl 8.6 or 9.0) is opened
    with ctypes when the module is imported (TclDLL, its file in lib) --
    never a second Tcl library --, Tcl's object structures are mirrored as
    ctypes types with the running release's layout (Tcl_Size is its size
    type), and lists are parsed with the library's own scanner.
)";

PyModuleDef module_def =
    capi::make_module_def<State>("brelt.tcl.internal", kModuleDoc, capi::module_slots<exec_module, capi::Gil::NotUsed>);

}  // namespace

bool resolve_symbol(State& st, const char* name, void*& out) { return resolve(st, name, out); }

}  // namespace internal

PyMODINIT_FUNC PyInit_internal() { return PyModuleDef_Init(&internal::module_def); }
