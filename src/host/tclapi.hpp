// The few entry points of the Tcl library that the host layer calls itself:
// reading a failure's return options and reporting a Python callable's
// failure to Tcl. The library is the one tkinter runs on, as
// brelt.tcl.internal found it (its TclDLL); the addresses are looked up once
// per process and published atomically, never changed afterwards.
#pragma once

#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>

#include "ref.hpp"

namespace host {

using capi::Ref;

struct Tcl_Interp;
struct Tcl_Obj;

inline constexpr int TCL_ERROR = 1;
inline constexpr int TCL_GLOBAL_ONLY = 1;

struct TclApi {
    int major = 8;
    Tcl_Obj* (*get_return_options)(Tcl_Interp*, int) = nullptr;
    int (*dict_obj_get)(Tcl_Interp*, Tcl_Obj*, Tcl_Obj*, Tcl_Obj**) = nullptr;
    // The length parameters are an int on Tcl 8 and a ptrdiff_t on Tcl 9:
    // declared here without them, and cast where they are called.
    void* new_string_obj = nullptr;         // Tcl_Obj* (const char*, Size)
    void* get_string_from_obj = nullptr;    // const char* (Tcl_Obj*, Size*)
    void* list_obj_get_elements = nullptr;  // int (Tcl_Interp*, Tcl_Obj*, Size*, Tcl_Obj***)
    void* new_list_obj = nullptr;           // Tcl_Obj* (Size, Tcl_Obj* const*)
    void (*incr_ref)(Tcl_Obj*, const char*, int) = nullptr;
    void (*decr_ref)(Tcl_Obj*, const char*, int) = nullptr;
    void (*set_obj_result)(Tcl_Interp*, Tcl_Obj*) = nullptr;
    void (*set_obj_error_code)(Tcl_Interp*, Tcl_Obj*) = nullptr;
    // Tcl_FindCommand: the command's token, or NULL (nothing left in the
    // interpreter's result without TCL_LEAVE_ERR_MSG).
    void* (*find_command)(Tcl_Interp*, const char*, void*, int) = nullptr;

    Tcl_Obj* new_string(const char* s, Py_ssize_t n) const noexcept {
        if (major >= 9) return reinterpret_cast<Tcl_Obj* (*)(const char*, std::ptrdiff_t)>(new_string_obj)(s, n);
        return reinterpret_cast<Tcl_Obj* (*)(const char*, int)>(new_string_obj)(s, static_cast<int>(n));
    }
    const char* string_of(Tcl_Obj* obj, Py_ssize_t* n) const noexcept {
        if (major >= 9) {
            std::ptrdiff_t len = 0;
            const char* s =
                reinterpret_cast<const char* (*)(Tcl_Obj*, std::ptrdiff_t*)>(get_string_from_obj)(obj, &len);
            *n = static_cast<Py_ssize_t>(len);
            return s;
        }
        int len = 0;
        const char* s = reinterpret_cast<const char* (*)(Tcl_Obj*, int*)>(get_string_from_obj)(obj, &len);
        *n = len;
        return s;
    }
    // The elements of a list, or false when `obj` is not one.
    bool elements(Tcl_Obj* obj, Py_ssize_t* n, Tcl_Obj*** items) const noexcept {
        if (major >= 9) {
            std::ptrdiff_t len = 0;
            int rc = reinterpret_cast<int (*)(Tcl_Interp*, Tcl_Obj*, std::ptrdiff_t*, Tcl_Obj***)>(
                list_obj_get_elements)(nullptr, obj, &len, items);
            *n = static_cast<Py_ssize_t>(len);
            return rc == 0;
        }
        int len = 0;
        int rc = reinterpret_cast<int (*)(Tcl_Interp*, Tcl_Obj*, int*, Tcl_Obj***)>(list_obj_get_elements)(nullptr, obj,
                                                                                                           &len, items);
        *n = len;
        return rc == 0;
    }
    Tcl_Obj* new_list(Py_ssize_t n, Tcl_Obj* const* items) const noexcept {
        if (major >= 9) return reinterpret_cast<Tcl_Obj* (*)(std::ptrdiff_t, Tcl_Obj* const*)>(new_list_obj)(n, items);
        return reinterpret_cast<Tcl_Obj* (*)(int, Tcl_Obj* const*)>(new_list_obj)(static_cast<int>(n), items);
    }
};

// The address of the library function `name` in the library opened as
// `handle`, as a `Proc`; false with ImportError when it has none.
template <class Proc>
bool resolve(void* handle, const char* name, Proc& out) noexcept {
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        PyErr_Format(PyExc_ImportError, "the Tcl library has no %s", name);
        return false;
    }
    if constexpr (std::is_same_v<Proc, void*>) {
        out = address;
    } else {
        out = reinterpret_cast<Proc>(address);
    }
    return true;
}

namespace detail {

inline std::atomic<const TclApi*> published_api{nullptr};

inline const TclApi* load_tcl_api() noexcept {
    Ref internal = Ref::steal(PyImport_ImportModule("brelt.tcl.internal"));
    Ref dll = internal ? Ref::steal(PyObject_GetAttrString(internal.get(), "TclDLL")) : Ref();
    Ref handle = dll ? Ref::steal(PyObject_GetAttrString(dll.get(), "_handle")) : Ref();
    if (!handle) return nullptr;
    void* h = PyLong_AsVoidPtr(handle.get());
    if (h == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "the Tcl library has no handle");
        return nullptr;
    }
    auto* api = new (std::nothrow) TclApi;
    if (api == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    using Version = void (*)(int*, int*, int*, int*);
    Version version = nullptr;
    int minor = 0, patch = 0, type = 0;
    bool ok = resolve(h, "Tcl_GetVersion", version);
    if (ok) version(&api->major, &minor, &patch, &type);
    ok = ok && resolve(h, "Tcl_GetReturnOptions", api->get_return_options) &&
         resolve(h, "Tcl_DictObjGet", api->dict_obj_get) && resolve(h, "Tcl_NewStringObj", api->new_string_obj) &&
         resolve(h, "Tcl_GetStringFromObj", api->get_string_from_obj) &&
         resolve(h, "Tcl_ListObjGetElements", api->list_obj_get_elements) &&
         resolve(h, "Tcl_NewListObj", api->new_list_obj) && resolve(h, "Tcl_DbIncrRefCount", api->incr_ref) &&
         resolve(h, "Tcl_DbDecrRefCount", api->decr_ref) && resolve(h, "Tcl_SetObjResult", api->set_obj_result) &&
         resolve(h, "Tcl_SetObjErrorCode", api->set_obj_error_code) && resolve(h, "Tcl_FindCommand", api->find_command);
    if (!ok) {
        delete api;
        return nullptr;
    }
    const TclApi* expected = nullptr;
    if (!published_api.compare_exchange_strong(expected, api)) {
        delete api;  // another thread published the same addresses first
        return expected;
    }
    return api;
}

}  // namespace detail

// The library's entry points; NULL with ImportError when they cannot be found.
inline const TclApi* tcl_api() noexcept {
    const TclApi* api = detail::published_api.load(std::memory_order_acquire);
    return api != nullptr ? api : detail::load_tcl_api();
}

// One reference to a Tcl object, held for a scope.
class TclRef {
public:
    TclRef(const TclApi& api, Tcl_Obj* obj) noexcept : api_(api), obj_(obj) {
        if (obj_ != nullptr) api_.incr_ref(obj_, __FILE__, __LINE__);
    }
    TclRef(const TclRef&) = delete;
    TclRef& operator=(const TclRef&) = delete;
    ~TclRef() {
        if (obj_ != nullptr) api_.decr_ref(obj_, __FILE__, __LINE__);
    }
    Tcl_Obj* get() const noexcept { return obj_; }

private:
    const TclApi& api_;
    Tcl_Obj* obj_;
};

// Text of a string that Tcl produced: UTF-8, but NUL written as C0 80 and
// (Tcl 8) characters beyond the BMP as surrogate pairs; any other stray
// byte is escaped, so reading never fails on what Tcl holds.
inline Ref decode_tcl(const char* s, Py_ssize_t n) noexcept {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(s, n, nullptr));
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, n));
    if (!bytes) return {};
    char* out = PyBytes_AS_STRING(bytes.get());
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] == '\xc0' && i + 1 < n && s[i + 1] == '\x80') {
            out[j++] = '\0';
            ++i;
        } else {
            out[j++] = s[i];
        }
    }
    Ref pairs = Ref::steal(PyUnicode_DecodeUTF8(out, j, "surrogatepass"));
    if (!pairs) {
        PyErr_Clear();
        return Ref::steal(PyUnicode_DecodeUTF8(out, j, "surrogateescape"));
    }
    // Surrogate pairs become the characters they stand for.
    Ref utf16 = Ref::steal(PyUnicode_AsEncodedString(pairs.get(), "utf-16-le", "surrogatepass"));
    if (!utf16) return {};
    return Ref::steal(
        PyUnicode_DecodeUTF16(PyBytes_AS_STRING(utf16.get()), PyBytes_GET_SIZE(utf16.get()), "surrogatepass", nullptr));
}

inline Ref text_of(const TclApi& api, Tcl_Obj* obj) noexcept {
    Py_ssize_t n = 0;
    const char* s = api.string_of(obj, &n);
    return decode_tcl(s, n);
}

}  // namespace host
