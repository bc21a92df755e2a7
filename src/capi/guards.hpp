// Scoped guards: recursion depth and string building.
#pragma once

#include "compat.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace capi {

// Nesting depth that a recursive walk never exceeds, whatever
// sys.setrecursionlimit() says: on 3.11 a raised limit would otherwise let a
// deep walk overflow the C stack.
inline constexpr int kMaxWalkDepth = 2000;

// One level of a recursive walk. Leaves Python's recursion counter only if it
// entered it.
class RecursionGuard {
public:
    RecursionGuard() = default;
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }

    // `depth` is the walk's own nesting level; `where` completes the message
    // "maximum recursion depth exceeded" (e.g. " while converting to Tcl").
    [[nodiscard]] bool enter(int depth, const char* where) noexcept {
        if (depth > kMaxWalkDepth) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        if (Py_EnterRecursiveCall(where) != 0) return false;
        entered_ = true;
        return true;
    }

private:
    bool entered_ = false;
};

// A PyUnicodeWriter that is discarded unless finished.
class UnicodeWriter {
public:
    explicit UnicodeWriter(Py_ssize_t size_hint = 0) noexcept : w_(PyUnicodeWriter_Create(size_hint)) {}
    UnicodeWriter(const UnicodeWriter&) = delete;
    UnicodeWriter& operator=(const UnicodeWriter&) = delete;
    ~UnicodeWriter() {
        if (w_ != nullptr) PyUnicodeWriter_Discard(w_);
    }

    explicit operator bool() const noexcept { return w_ != nullptr; }
    bool put(Py_UCS4 ch) noexcept { return PyUnicodeWriter_WriteChar(w_, ch) == 0; }
    bool put(PyObject* str) noexcept { return PyUnicodeWriter_WriteStr(w_, str) == 0; }
    bool put(PyObject* str, Py_ssize_t start, Py_ssize_t end) noexcept {
        return PyUnicodeWriter_WriteSubstring(w_, str, start, end) == 0;
    }
    bool put_ascii(const char* s, Py_ssize_t n = -1) noexcept { return PyUnicodeWriter_WriteUTF8(w_, s, n) == 0; }

    Ref finish() noexcept {
        PyUnicodeWriter* w = w_;
        w_ = nullptr;
        return Ref::steal(PyUnicodeWriter_Finish(w));
    }

private:
    PyUnicodeWriter* w_;
};

}  // namespace capi
