// The module brelt.tcl.history: imports, logger, classes.
#include "history.hpp"

namespace history {
namespace {

// `from <module> import <name>` into the module's namespace; `r` keeps it too.
bool import_into(PyObject* module, const char* from, const char* name, Ref* r = nullptr) {
    Ref value;
    if (!capi::import_attr(value, from, name) || !capi::add_object(module, name, value.get())) return false;
    if (r != nullptr) *r = std::move(value);
    return true;
}

bool import_module(PyObject* module, const char* name, Ref& r) {
    r = Ref::steal(PyImport_ImportModule(name));
    return r && capi::add_object(module, name, r.get());
}

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr) return -1;
        st->memo.setup();

        // import re, logging; from collections import deque;
        // from brelt.utils.utils import get_time
        Ref re, logging;
        if (!import_module(module, "re", re) || !import_module(module, "logging", logging) ||
            !import_into(module, "collections", "deque", &st->deque_type) ||
            !import_into(module, "brelt.utils.utils", "get_time", &st->get_time)) {
            return -1;
        }
        if (!st->clock.init(st->get_time.get())) return -1;
        if (!PyType_Check(st->deque_type.get())) {
            PyErr_SetString(PyExc_ImportError, "collections.deque is not a type");
            return -1;
        }
        st->deque_append = capi::type_lookup(st->deque_type.as<PyTypeObject>(), st->s_append.get());
        if (!st->deque_append) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "collections.deque has no append");
            return -1;
        }
        st->Logger = Ref::steal(PyObject_GetAttrString(logging.get(), "Logger"));
        st->debug_level = Ref::steal(PyObject_GetAttrString(logging.get(), "DEBUG"));
        st->is_enabled_for =
            Ref::steal(st->Logger ? PyObject_GetAttrString(st->Logger.get(), "isEnabledFor") : nullptr);
        if (!st->Logger || !st->debug_level || !st->is_enabled_for || !PyType_Check(st->Logger.get())) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "logging.Logger is not a type");
            return -1;
        }
        // log = logging.getLogger('brelt.tcl')
        Ref log_name = Ref::steal(PyUnicode_FromString("brelt.tcl"));
        Ref get_logger = Ref::steal(PyUnicode_InternFromString("getLogger"));
        Ref log = Ref::steal(log_name && get_logger ? capi::call_method(logging.get(), get_logger.get(), log_name.get())
                                                    : nullptr);
        if (!capi::add_object(module, "log", log.get())) return -1;

        st->max_history = Ref::steal(PyLong_FromLong(9999));
        st->empty_tuple = Ref::steal(PyTuple_New(0));
        if (!st->max_history || !st->empty_tuple) return -1;

        st->Entry = build_entry_class(module, *st);
        if (!capi::add_object(module, "Entry", st->Entry.get())) return -1;
        st->History = build_history_class(module, *st);
        if (!capi::add_object(module, "History", st->History.get())) return -1;
        return 0;
    });
}

constexpr const char* kModuleDoc = R"(Implements:
    brelt.tcl.History

Description:
    This file implements the Tcl history mechanism (tcl.History): a
    bounded, time-stamped record of the Tcl commands sent through an
    interpreter's quick-call proxy, which can be switched on and off and
    holds named markers, sub-histories recorded while they are active.
    Every command is also logged at debug level on the logger "brelt.tcl".
)";

PyModuleDef module_def =
    capi::make_module_def<State>("brelt.tcl.history", kModuleDoc, capi::module_slots<exec_module, capi::Gil::NotUsed>);

}  // namespace
}  // namespace history

PyMODINIT_FUNC PyInit_history() { return PyModuleDef_Init(&history::module_def); }
