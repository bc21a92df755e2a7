// The command line of a TclCommand: what its constructor makes of the
// command, bound arguments and options it is given, and the line a call
// sends (the name, the bound arguments, the call's arguments, then the
// options as "-name value" words).
#pragma once

#include "fastpath.hpp"

namespace tclns {

// The words of a command line, each held.
using Words = capi::SmallVector<Ref, 16>;

// The command line of handle `self` with the call's arguments: `call` holds
// `ncall` positional arguments, then the values of the keywords in kwnames.
// `attrs` reads the handle's cmd_name, args and keywords.
PyObject* build_line(State& st, AttrReader& attrs, PyObject* const* call, Py_ssize_t ncall, PyObject* kwnames) noexcept;
PyObject* build_line(State& st, PyObject* self, PyObject* const* call, Py_ssize_t ncall, PyObject* kwnames) noexcept;
// The same line as words appended to `out`; and a tuple of such words,
// taken over.
bool build_words(State& st, AttrReader& attrs, PyObject* const* call, Py_ssize_t ncall, PyObject* kwnames,
                 Words& out) noexcept;
PyObject* words_tuple(Words& words) noexcept;

// self.build_tclcmd(*call, **kw): the direct build for the module's own
// classes, the method for a subclass. `args` starts with self.
PyObject* line_of(State& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// self.build_tclcmd()
PyObject* line_of(State& st, PyObject* self) noexcept;

// The words ("-name", value, ...) of options named by `kwnames` whose
// values are `values`, taken as they are.
PyObject* dashed_words(State& st, PyObject* const* values, PyObject* kwnames) noexcept;

// What TclCommand's constructor makes of its `cmd` and `args` arguments
// (`args` NULL or None when not given): the command (its first word, which
// becomes quotify()'d its name) and the rest of the line (which becomes
// tclobj()'d the bound arguments).
bool split_command(State& st, PyObject* cmd, PyObject* args, Ref& head, Ref& rest) noexcept;
// The bound options of a new handle from its `keywords` argument (NULL
// when not given): a new dict of tclobj() of each value.
PyObject* bound_options(State& st, PyObject* keywords) noexcept;

}  // namespace tclns
