// Scoped guard of recursion depth.
#pragma once

#include <atomic>

#include "compat.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace capi {

// Nesting depth that the recursive walks of one thread never exceed together,
// whatever sys.setrecursionlimit() says: on 3.11 a raised limit would
// otherwise let a deep walk overflow the C stack.
inline constexpr int kMaxWalkDepth = 2000;

// The walks of all modules count on one counter per thread, so a walk that
// re-enters another through a hook (a NestMap's __tclobj__ inside a dict
// inside a NestMap...) does not start again from zero. Each extension module
// is its own shared object with hidden symbols, so an inline thread_local
// here exists once per module: the first module to share its counter leaves
// the function that reaches it in the interpreter's dict for extensions, and
// every module that walks counts through that one.
namespace detail {
using DepthCounter = int* (*)() noexcept;
// Initial-exec: read straight off the thread pointer, without a call into
// the dynamic linker at every level; one int fits the static TLS that
// glibc keeps for libraries loaded later.
#if defined(__GNUC__) && defined(__ELF__)
inline thread_local int walk_depth __attribute__((tls_model("initial-exec"))) = 0;
#else
inline thread_local int walk_depth = 0;
#endif
inline int* own_walk_depth() noexcept { return &walk_depth; }
// Set by share_walk_depth(); until then a module counts on its own. Atomic:
// a module executed again (in a subinterpreter) stores it while other
// threads walk; every store is the same function of the first module.
inline std::atomic<DepthCounter> shared_walk_depth{nullptr};
inline constexpr const char* kWalkDepthKey = "brelt.tcl.walk_depth";
}  // namespace detail

// This thread's walk depth.
inline int& walk_depth() noexcept {
    detail::DepthCounter shared = detail::shared_walk_depth.load(std::memory_order_relaxed);
    return shared != nullptr ? *shared() : detail::walk_depth;
}

// Called at module execution by every module that walks.
inline bool share_walk_depth() noexcept {
    PyObject* extensions = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed, lives as long
    if (extensions == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no interpreter dict for extensions");
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromString(detail::kWalkDepthKey));
    Ref mine =
        Ref::steal(PyCapsule_New(reinterpret_cast<void*>(detail::own_walk_depth), detail::kWalkDepthKey, nullptr));
    if (!key || !mine) return false;
    // Borrowed from the interpreter's dict, which keeps the capsule for its
    // lifetime: nothing ever removes the key.
    PyObject* shared = PyDict_SetDefault(extensions, key.get(), mine.get());
    void* fn = shared != nullptr ? PyCapsule_GetPointer(shared, detail::kWalkDepthKey) : nullptr;
    if (fn == nullptr) return false;
    detail::shared_walk_depth.store(reinterpret_cast<detail::DepthCounter>(fn), std::memory_order_relaxed);
    return true;
}

// One level of a recursive walk: counts on the thread's walk depth and on
// Python's recursion counter, and leaves both only if it entered them.
class RecursionGuard {
public:
    RecursionGuard() = default;
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (depth_ != nullptr) {
            --*depth_;
            Py_LeaveRecursiveCall();
        }
    }

    // `where` completes the message "maximum recursion depth exceeded"
    // (e.g. " while converting to Tcl").
    [[nodiscard]] bool enter(const char* where) noexcept {
        int& depth = walk_depth();
        if (depth >= kMaxWalkDepth) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        if (Py_EnterRecursiveCall(where) != 0) return false;
        ++depth;
        depth_ = &depth;
        return true;
    }

private:
    int* depth_ = nullptr;
};

}  // namespace capi
