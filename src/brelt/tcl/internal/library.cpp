// Reaching the Tcl library: interpreter pointers, error results, and the
// small pointer helpers that work on ctypes values.
#include <cstring>
#include <memory>
#include <string>

#include "internal.hpp"

namespace internal {

Ref decode_tcl_string(const char* s, Py_ssize_t n) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(s, n, nullptr));
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
    // Not plain UTF-8: read it as tkinter reads Tcl's strings. Tcl writes
    // the NUL character as C0 80 and (Tcl 8) a character beyond the BMP as
    // a surrogate pair, three bytes a surrogate; other stray bytes (a
    // message may quote list text cut inside a character) are escaped.
    std::string bytes;
    bytes.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] == '\xc0' && i + 1 < n && s[i + 1] == '\x80') {
            bytes.push_back('\0');
            ++i;
        } else {
            bytes.push_back(s[i]);
        }
    }
    Ref escaped =
        Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape"));
    if (!escaped || PyUnicode_KIND(escaped.get()) == PyUnicode_1BYTE_KIND) return escaped;
    // Each encoded surrogate starts with the byte ED, now escaped as U+DCED.
    const Py_ssize_t len = PyUnicode_GET_LENGTH(escaped.get());
    Py_ssize_t i = PyUnicode_FindChar(escaped.get(), 0xdcED, 0, len, 1);
    if (i == -2) return {};
    if (i == -1) return escaped;
    std::unique_ptr<Py_UCS4, decltype(&PyMem_Free)> u(PyUnicode_AsUCS4Copy(escaped.get()), PyMem_Free);
    if (!u) return {};
    Py_UCS4* c = u.get();
    auto at = [&](Py_ssize_t k) -> Py_UCS4 { return k < len ? c[k] : 0; };
    auto in = [](Py_UCS4 ch, Py_UCS4 lo, Py_UCS4 hi) { return lo <= ch && ch <= hi; };
    Py_ssize_t j = i;
    for (; i < len; ++i) {
        Py_UCS4 ch = c[i];
        // ED A0-AF 80-BF then ED B0-BF 80-BF: a high and a low surrogate.
        if (ch == 0xdcED && in(at(i + 1), 0xdcA0, 0xdcAF) && in(at(i + 2), 0xdc80, 0xdcBF) && at(i + 3) == 0xdcED &&
            in(at(i + 4), 0xdcB0, 0xdcBF) && in(at(i + 5), 0xdc80, 0xdcBF)) {
            Py_UCS4 high = 0xD000 | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F);
            Py_UCS4 low = 0xD000 | ((at(i + 4) & 0x3F) << 6) | (at(i + 5) & 0x3F);
            ch = 0x10000 + (((high & 0x03FF) << 10) | (low & 0x03FF));
            i += 5;
        }
        c[j++] = ch;
    }
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, c, j));
}

namespace {

// TclError(msg), or TclError() when msg is NULL.
std::nullptr_t raise_tcl_error(State& st, PyObject* msg) {
    if (msg == nullptr) {
        Ref exc = Ref::steal(PyObject_CallNoArgs(st.TclError.get()));
        if (exc) PyErr_SetObject(st.TclError.get(), exc.get());
        return nullptr;
    }
    return capi::raise_object(st.TclError.get(), msg);
}

}  // namespace

std::nullptr_t raise_from_interp(State& st, Tcl_Interp* interp, PyObject* default_msg) {
    Ref msg;
    if (interp != nullptr) {
        const char* result = st.get_string_result_proc(interp);
        if (result != nullptr) {
            msg = decode_tcl_string(result, static_cast<Py_ssize_t>(std::strlen(result)));
            if (!msg) return nullptr;
        }
    }
    if (!msg || PyUnicode_GET_LENGTH(msg.get()) == 0) msg = Ref::borrow(default_msg);
    return raise_tcl_error(st, msg.get());
}

namespace {

// The head of _tkinter's application object, unchanged since Python 2: the
// interpreter and the thread that created it (Tcl_GetCurrentThread() there).
struct TkappHead {
    PyObject_HEAD
    void* interp;
    int wantobjects;
    int threaded;
    void* thread_id;
};

// False with RuntimeError when `interp` (converted to `ip`) is a tkinter
// interpreter that another thread owns. A raw Tcl_Interp_p carries no owner:
// whoever made it vouches for it, as for any ctypes call.
bool owned_here(State& st, PyObject* interp, Tcl_Interp* ip) {
    if (ip == nullptr || st.get_current_thread == nullptr) return true;
    Ref app;
    if (PyObject_GetOptionalAttr(interp, st.s_tk.get(), app.out()) < 0) return false;
    if (!app || !Py_IS_TYPE(app.get(), st.TkappType.as<PyTypeObject>())) return true;
    const auto* head = reinterpret_cast<const TkappHead*>(app.get());
    // Only read the owner when the head is laid out as expected.
    if (head->interp != ip || head->thread_id == st.get_current_thread()) return true;
    PyErr_SetString(PyExc_RuntimeError, "Calling Tcl from different apartment");
    return false;
}

}  // namespace

bool interp_pointer(State& st, PyObject* interp, Tcl_Interp** out) {
    *out = nullptr;
    if (interp == Py_None) return true;
    // A ctypes function of our own, declared to take a Tcl_Interp_p, does
    // the conversion: the same from_param call, and the same error, as a
    // call into the library would give.
    Ref address = Ref::steal(PyObject_CallOneArg(st.interp_address.get(), interp));
    if (!address) return false;
    if (address.get() == Py_None) return true;
    void* p = PyLong_AsVoidPtr(address.get());
    if (p == nullptr && PyErr_Occurred()) return false;
    if (!owned_here(st, interp, static_cast<Tcl_Interp*>(p))) return false;
    *out = static_cast<Tcl_Interp*>(p);
    return true;
}

namespace {

// ctypes.cast(ptr, c_void_p).value
Ref address_of(State& st, PyObject* ptr) {
    PyObject* args[] = {ptr, st.c_void_p.get()};
    Ref v = Ref::steal(PyObject_Vectorcall(st.cast.get(), args, 2, nullptr));
    if (!v) return {};
    return Ref::steal(PyObject_GetAttr(v.get(), st.s_value.get()));
}

// ctypes.cast(c_void_p(value), type(ptr))
Ref pointer_like(State& st, PyObject* ptr, PyObject* value) {
    Ref raw = Ref::steal(PyObject_CallOneArg(st.c_void_p.get(), value));
    if (!raw) return {};
    PyObject* args[] = {raw.get(), reinterpret_cast<PyObject*>(Py_TYPE(ptr))};
    return Ref::steal(PyObject_Vectorcall(st.cast.get(), args, 2, nullptr));
}

PyObject* ptr_add(Function* self, PyObject* const* argv);
PyObject* ptr_sub(Function* self, PyObject* const* argv);
PyObject* ptr_diff(Function* self, PyObject* const* argv);
PyObject* tcl_error_from_interp(Function* self, PyObject* const* argv);
PyObject* from_param(Function* self, PyObject* const* argv);
PyObject* char_p_from_obj(Function* self, PyObject* const* argv);

}  // namespace

constexpr capi::FunctionDef kPtrAdd{"_ptr_add", ptr_add, R"(_ptr_add(ptr, count)
--

Return a pointer count bytes after ptr.

ptr is a ctypes pointer-like value (c_char_p, c_void_p, a POINTER type...);
the result is a new value of the same ctypes type.
)"};

constexpr capi::FunctionDef kPtrSub{"_ptr_sub", ptr_sub, R"(_ptr_sub(ptr, count)
--

Return a pointer count bytes before ptr.

ptr is a ctypes pointer-like value; the result is a new value of the same
ctypes type.
)"};

constexpr capi::FunctionDef kPtrDiff{"_ptr_diff", ptr_diff, R"(_ptr_diff(ptr1, ptr2)
--

Return the address of ptr1 minus the address of ptr2, in bytes.

Both are ctypes pointer-like values; a NULL pointer raises TypeError.
)"};

constexpr capi::FunctionDef kTclErrorFromInterp{"TclError_from_interp", tcl_error_from_interp,
                                                R"(TclError_from_interp(interp, default_msg=None)
--

Raise tkinter.TclError with the interpreter's current result.

interp is anything Tcl_Interp_p.from_param accepts (None, a Tcl_Interp_p,
a tkinter.Tk), or any false value for no interpreter. The message is the
interpreter's result string, which is read, not reset; when there is no
interpreter or its result is empty, it is default_msg. Without either the
TclError carries no arguments. A tkinter interpreter that another thread
owns is not read: RuntimeError.

Never returns.
)"};

constexpr capi::FunctionDef kFromParam{"from_param", from_param, R"(from_param(cls, interp)
--

Convert interp to a Tcl_Interp_p.

A Tcl_Interp_p is returned as it is, None gives the NULL interpreter
pointer, and a tkinter.Tk (or tkinter.Tcl()) instance the address of its
Tcl interpreter. Anything else raises ValueError. ctypes calls this for
every argument declared as Tcl_Interp_p.
)"};

constexpr capi::FunctionDef kCharPFromObj{"_c_char_p_from_obj", char_p_from_obj, R"(_c_char_p_from_obj(obj)
--

Similar to Tcl_GetStringFromObj, returns a ctypes.c_char_p byte array.
The length can be obtained with len(string.value).

The bytes are the UTF-8 form of str(obj); a str is used as it is and None
counts as the empty string.
)"};

namespace {

// _ptr_add and _ptr_sub, whose parameters are the same.
static_assert(kPtrAdd.slot("ptr") == kPtrSub.slot("ptr") && kPtrAdd.slot("count") == kPtrSub.slot("count"));

PyObject* ptr_move(Function* self, PyObject* const* argv, binaryfunc op) {
    State& st = state_of(self);
    PyObject* ptr = argv[kPtrAdd.slot("ptr")];
    Ref address = address_of(st, ptr);
    if (!address) return nullptr;
    Ref moved = Ref::steal(op(address.get(), argv[kPtrAdd.slot("count")]));
    if (!moved) return nullptr;
    return pointer_like(st, ptr, moved.get()).release();
}

PyObject* ptr_add(Function* self, PyObject* const* argv) { return ptr_move(self, argv, PyNumber_Add); }

PyObject* ptr_sub(Function* self, PyObject* const* argv) { return ptr_move(self, argv, PyNumber_Subtract); }

PyObject* ptr_diff(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    Ref a = address_of(st, argv[kPtrDiff.slot("ptr1")]);
    if (!a) return nullptr;
    Ref b = address_of(st, argv[kPtrDiff.slot("ptr2")]);
    if (!b) return nullptr;
    return PyNumber_Subtract(a.get(), b.get());
}

PyObject* tcl_error_from_interp(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* interp = argv[kTclErrorFromInterp.slot("interp")];
    PyObject* default_msg = argv[kTclErrorFromInterp.slot("default_msg")];
    if (default_msg == nullptr) default_msg = Py_None;
    int has_interp = PyObject_IsTrue(interp);
    if (has_interp < 0) return nullptr;
    Ref msg;
    if (has_interp) {
        // Converted as for any library call; refused for another thread's
        // interpreter, whose result this thread must not read.
        Tcl_Interp* ip = nullptr;
        if (!interp_pointer(st, interp, &ip)) return nullptr;
        const char* result = ip != nullptr ? st.get_string_result_proc(ip) : nullptr;
        if (result != nullptr) {
            msg = decode_tcl_string(result, static_cast<Py_ssize_t>(std::strlen(result)));
            if (!msg) return nullptr;
        }
    }
    int usable = msg ? PyObject_IsTrue(msg.get()) : 0;
    if (usable < 0) return nullptr;
    if (!usable) msg = Ref::borrow(default_msg);
    usable = PyObject_IsTrue(msg.get());
    if (usable < 0) return nullptr;
    return raise_tcl_error(st, usable ? msg.get() : nullptr);
}

PyObject* from_param(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* interp = argv[kFromParam.slot("interp")];
    int r = PyObject_IsInstance(interp, st.Tcl_Interp_p.get());
    if (r < 0) return nullptr;
    if (r) return Py_NewRef(interp);
    if (interp == Py_None) return PyObject_CallNoArgs(st.Tcl_Interp_p.get());
    r = PyObject_IsInstance(interp, st.Tk.get());
    if (r < 0) return nullptr;
    if (r) {
        Ref address = Ref::steal(capi::call_method(interp, st.s_interpaddr.get()));
        if (!address) return nullptr;
        return PyObject_CallOneArg(st.Tcl_Interp_p.get(), address.get());
    }
    return PyErr_Format(PyExc_ValueError, "Unrecognized Tcl interpreter object: %R", interp);
}

PyObject* char_p_from_obj(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* obj = argv[kCharPFromObj.slot("obj")];
    Ref text;
    if (obj == Py_None) {
        text = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    } else if (PyUnicode_Check(obj)) {
        text = Ref::borrow(obj);
    } else {
        text = Ref::steal(PyObject_Str(obj));
    }
    if (!text) return nullptr;
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!bytes) return nullptr;
    return PyObject_CallOneArg(st.c_char_p.get(), bytes.get());
}

}  // namespace

}  // namespace internal
