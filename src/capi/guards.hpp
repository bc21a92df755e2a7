// Scoped guard of recursion depth.
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

}  // namespace capi
