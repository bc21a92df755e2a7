// Reaching the Tcl library: interpreter pointers, error results, and the
// small pointer helpers that work on ctypes values.
#include <cstring>
#include <string>

#include "internal.hpp"

namespace internal {

PyObject* decode_tcl_string(const char* s, Py_ssize_t n) {
    PyObject* text = PyUnicode_DecodeUTF8(s, n, nullptr);
    if (text != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
    // Not plain UTF-8. Tcl writes the NUL character as C0 80 and, with its
    // 16-bit characters, anything beyond the BMP as a surrogate pair, three
    // bytes a surrogate; a message quoting list text may also stop inside a
    // character. Read it as tkinter reads Tcl strings, replacing what is
    // left over rather than failing on an error message.
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
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    Ref wide = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), size, "surrogatepass"));
    if (!wide) {
        PyErr_Clear();
        return PyUnicode_DecodeUTF8(bytes.data(), size, "replace");
    }
    // Pairs of surrogates become the characters they stand for.
    Ref utf16 = Ref::steal(PyUnicode_AsEncodedString(wide.get(), "utf-16-le", "surrogatepass"));
    if (!utf16) return nullptr;
    int byteorder = -1;
    return PyUnicode_DecodeUTF16(PyBytes_AS_STRING(utf16.get()), PyBytes_GET_SIZE(utf16.get()), "replace",
                                 &byteorder);
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
            msg = Ref::steal(decode_tcl_string(result, static_cast<Py_ssize_t>(std::strlen(result))));
            if (!msg) return nullptr;
        }
    }
    if (!msg || PyUnicode_GET_LENGTH(msg.get()) == 0) msg = Ref::borrow(default_msg);
    return raise_tcl_error(st, msg.get());
}

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
PyObject* pointer_like(State& st, PyObject* ptr, PyObject* value) {
    Ref raw = Ref::steal(PyObject_CallOneArg(st.c_void_p.get(), value));
    if (!raw) return nullptr;
    PyObject* args[] = {raw.get(), reinterpret_cast<PyObject*>(Py_TYPE(ptr))};
    return PyObject_Vectorcall(st.cast.get(), args, 2, nullptr);
}

PyObject* ptr_move(Function* self, PyObject* const* argv, binaryfunc op) {
    State& st = state_of(self);
    Ref address = address_of(st, argv[0]);
    if (!address) return nullptr;
    Ref moved = Ref::steal(op(address.get(), argv[1]));
    if (!moved) return nullptr;
    return pointer_like(st, argv[0], moved.get());
}

PyObject* ptr_add(Function* self, PyObject* const* argv) { return ptr_move(self, argv, PyNumber_Add); }

PyObject* ptr_sub(Function* self, PyObject* const* argv) { return ptr_move(self, argv, PyNumber_Subtract); }

PyObject* ptr_diff(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    Ref a = address_of(st, argv[0]);
    if (!a) return nullptr;
    Ref b = address_of(st, argv[1]);
    if (!b) return nullptr;
    return PyNumber_Subtract(a.get(), b.get());
}

PyObject* tcl_error_from_interp(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* interp = argv[0];
    PyObject* default_msg = argv[1] ? argv[1] : Py_None;
    int has_interp = PyObject_IsTrue(interp);
    if (has_interp < 0) return nullptr;
    Ref msg;
    if (has_interp) {
        // Through ctypes, so the interpreter is converted as for any call.
        Ref result = Ref::steal(PyObject_CallOneArg(st.get_string_result.get(), interp));
        if (!result) return nullptr;
        if (PyBytes_Check(result.get())) {
            msg = Ref::steal(decode_tcl_string(PyBytes_AS_STRING(result.get()), PyBytes_GET_SIZE(result.get())));
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
    PyObject* interp = argv[1];
    int r = PyObject_IsInstance(interp, st.Tcl_Interp_p.get());
    if (r < 0) return nullptr;
    if (r) return Py_NewRef(interp);
    if (interp == Py_None) return PyObject_CallNoArgs(st.Tcl_Interp_p.get());
    r = PyObject_IsInstance(interp, st.Tk.get());
    if (r < 0) return nullptr;
    if (r) {
        Ref address = Ref::steal(PyObject_CallMethodNoArgs(interp, st.s_interpaddr.get()));
        if (!address) return nullptr;
        return PyObject_CallOneArg(st.Tcl_Interp_p.get(), address.get());
    }
    return PyErr_Format(PyExc_ValueError, "Unrecognized Tcl interpreter object: %R", interp);
}

PyObject* char_p_from_obj(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* obj = argv[0];
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

const capi::FunctionDef kPtrAdd{"_ptr_add", ptr_add, R"(_ptr_add(ptr, count)
--

Return a pointer count bytes after ptr.

ptr is a ctypes pointer-like value (c_char_p, c_void_p, a POINTER type...);
the result is a new value of the same ctypes type.
)"};

const capi::FunctionDef kPtrSub{"_ptr_sub", ptr_sub, R"(_ptr_sub(ptr, count)
--

Return a pointer count bytes before ptr.

ptr is a ctypes pointer-like value; the result is a new value of the same
ctypes type.
)"};

const capi::FunctionDef kPtrDiff{"_ptr_diff", ptr_diff, R"(_ptr_diff(ptr1, ptr2)
--

Return the address of ptr1 minus the address of ptr2, in bytes.

Both are ctypes pointer-like values; a NULL pointer raises TypeError.
)"};

const capi::FunctionDef kTclErrorFromInterp{"TclError_from_interp", tcl_error_from_interp,
                                            R"(TclError_from_interp(interp, default_msg=None)
--

Raise tkinter.TclError with the interpreter's current result.

interp is anything Tcl_Interp_p.from_param accepts (None, a Tcl_Interp_p,
a tkinter.Tk), or any false value for no interpreter. The message is the
interpreter's result string, which is read, not reset; when there is no
interpreter or its result is empty, it is default_msg. Without either the
TclError carries no arguments.

Never returns.
)"};

const capi::FunctionDef kFromParam{"from_param", from_param, R"(from_param(cls, interp)
--

Convert interp to a Tcl_Interp_p.

A Tcl_Interp_p is returned as it is, None gives the NULL interpreter
pointer, and a tkinter.Tk (or tkinter.Tcl()) instance the address of its
Tcl interpreter. Anything else raises ValueError. ctypes calls this for
every argument declared as Tcl_Interp_p.
)"};

const capi::FunctionDef kCharPFromObj{"_c_char_p_from_obj", char_p_from_obj, R"(_c_char_p_from_obj(obj)
--

Similar to Tcl_GetStringFromObj, returns a ctypes.c_char_p byte array.
The length can be obtained with len(string.value).

The bytes are the UTF-8 form of str(obj); a str is used as it is and None
counts as the empty string.
)"};

}  // namespace internal
