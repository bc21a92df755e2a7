// The module brelt.tcl.nestmap: the NestMap class, its docstrings and bindings.
#include "nestmap.hpp"

namespace nestmap {
namespace {

using capi::Function;

State& state_of(Function* self) noexcept { return self->state<State>(); }

// The method's own object check: called through the class, a method may be
// handed anything as `self`.
bool check_self(State& st, Function* f, PyObject* self) {
    if (st.is_nestmap(self)) return true;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for 'NestMap' objects doesn't apply to a '%.100s' object",
                 f->def->name, Py_TYPE(self)->tp_name);
    return false;
}

PyObject* none_or_null(int status) { return status < 0 ? nullptr : Py_NewRef(Py_None); }

// ---------------------------------------------------------------------------
// Definitions and docstrings of the methods

PyObject* nm_init(Function* f, PyObject* const* argv);
PyObject* nm_getitem(Function* f, PyObject* const* argv);
PyObject* nm_setitem(Function* f, PyObject* const* argv);
PyObject* nm_delitem(Function* f, PyObject* const* argv);
PyObject* nm_contains(Function* f, PyObject* const* argv);
PyObject* nm_update(Function* f, PyObject* const* argv);
PyObject* nm_all_keys(Function* f, PyObject* const* argv);
PyObject* nm_all_items(Function* f, PyObject* const* argv);
PyObject* nm_tclobj(Function* f, PyObject* const* argv);
PyObject* nm_from_tcl(Function* f, PyObject* const* argv);

constexpr capi::FunctionDef kInit{"__init__", nm_init, R"(__init__(self, /, *args, **kwargs)
--

Build a keyed list from what dict(*args, **kwargs) accepts.

Values that dict() accepts become NestMap sub-lists, recursively; dotted
keys build sub-lists. Keywords override equal keys of the positional
argument.
)"};

constexpr capi::FunctionDef kGetItem{"__getitem__", nm_getitem, R"(__getitem__(self, key, /)
--

Return self[key]; a dotted key reads through sub-lists.

kl['a.b'] is kl['a']['b']. A missing key, or the first missing part of
a dotted key, raises KeyError.
)"};

constexpr capi::FunctionDef kSetItem{"__setitem__", nm_setitem, R"(__setitem__(self, key, value, /)
--

Set self[key] to value; a dotted key creates missing sub-lists.

The value is stored as it is, replacing whatever the key held, except
that a NestMap may not replace a leaf and a path may not go through
one: both raise KeyError('target key "..." is a value, cannot update
value against another keyed list') and change nothing. A TclX keyed-list
Tcl_Obj is stored as the NestMap that from_tcl() makes of it.
)"};

constexpr capi::FunctionDef kDelItem{"__delitem__", nm_delitem, R"(__delitem__(self, key, /)
--

Delete self[key]; a dotted key deletes in the sub-list.

Sub-lists that the deletion leaves empty are removed too, up to the top.
A missing key raises KeyError.
)"};

constexpr capi::FunctionDef kContains{"__contains__", nm_contains, R"(__contains__(self, key, /)
--

Return True if key (which may be dotted) is in the keyed list.

A dotted key whose path goes through a missing key, or through a leaf
that is not a mapping, is not in the keyed list. Also has_key(key).
)"};

constexpr capi::FunctionDef kUpdate{"update", nm_update, R"(update(self, /, *args, **kwargs)
--

Merge at most one mapping or iterable of pairs, then keywords.

A NestMap argument is merged leaf by leaf (its leaves overwrite, all
else stays). Another mapping or iterable of pairs assigns self[key] =
value for each pair, so a sub-list given this way replaces the existing
one. A keyword whose value is a NestMap is merged into the sub-list of
that name (created if missing); other keywords are assigned.
Returns None.
)"};

constexpr capi::FunctionDef kAllKeys{"all_keys", nm_all_keys, R"(all_keys(self)
--

Return the list of the full dotted keys of all leaves, depth first.

Empty sub-lists contribute nothing.
)"};

constexpr capi::FunctionDef kAllItems{"all_items", nm_all_items, R"(all_items(self)
--

Return the list of (full dotted key, value) of all leaves, depth first.

Empty sub-lists contribute nothing.
)"};

constexpr capi::FunctionDef kTclobj{"__tclobj__", nm_tclobj, R"(__tclobj__(self)
--

Return the Tcl form: a tuple of (key, value) tuples, in order.

Values go through tclobj(), sub-lists becoming nested keyed lists, so
Tcl (and quotify()) sees a TclX keyed list: {name {{first a} {last b}}}.
)"};

constexpr capi::FunctionDef kFromTcl{"from_tcl", nm_from_tcl, R"(from_tcl(string)
--

Return a new NestMap parsed from a TclX keyed list (str or Tcl_Obj).

Every element must be a {key value} pair (ValueError otherwise;
malformed Tcl list text raises TclError). A value becomes a sub-list
when each of its elements is itself a two-element list, an empty value
an empty sub-list; other values stay leaves, as the strings Tcl reads.
Uses brelt.tcl.cast_list.

Example:
    >>> NestMap.from_tcl('{a 1} {b {{c 2}}}')
    NestMap({'a': '1', 'b': NestMap({'c': '2'})})
)"};

// ---------------------------------------------------------------------------
// Methods

PyObject* nm_init(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kInit.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    if (!st.own(self) || !st.base_init_is_dicts) {
        // super().__init__(), so cooperative bases of a subclass are called.
        PyObject* super_args[] = {st.NestMap.get(), self};
        Ref sup = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
        Ref done = sup ? Ref::steal(capi::call_method(sup.get(), st.s_init.get())) : Ref();
        if (!done) return nullptr;
    }
    PyObject* kwargs = argv[kInit.slot("kwargs")];
    Ref dsc = Ref::steal(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), argv[kInit.slot("args")],
                                       PyDict_GET_SIZE(kwargs) ? kwargs : nullptr));
    if (!dsc) return nullptr;
    return none_or_null(init_from_dict(st, self, dsc.get()));
}

PyObject* nm_getitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kGetItem.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    return get_item(st, self, argv[kGetItem.slot("key")]).release();
}

PyObject* nm_setitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kSetItem.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    return none_or_null(set_item(st, self, argv[kSetItem.slot("key")], argv[kSetItem.slot("value")]));
}

PyObject* nm_delitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kDelItem.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    return none_or_null(del_item(st, self, argv[kDelItem.slot("key")]));
}

PyObject* nm_contains(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kContains.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    int found = contains(st, self, argv[kContains.slot("key")]);
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

PyObject* nm_update(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kUpdate.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    return none_or_null(update(st, self, argv[kUpdate.slot("args")], argv[kUpdate.slot("kwargs")]));
}

PyObject* nm_all_keys(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kAllKeys.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    return all_entries(st, self, false).release();
}

PyObject* nm_all_items(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kAllItems.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    return all_entries(st, self, true).release();
}

PyObject* nm_tclobj(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kTclobj.slot("self")];
    if (!check_self(st, f, self)) return nullptr;
    return to_tcl(st, self);
}

PyObject* nm_from_tcl(Function* f, PyObject* const* argv) {
    return from_tcl(state_of(f), argv[kFromTcl.slot("string")]).release();
}

// ---------------------------------------------------------------------------
// The class

constexpr const char* kClassDoc = R"(NestMap Class (AttrDict)

A Python mapping that behaves like a Tcl keyed list (TclX).

Keyed lists are made of key-value pairs, like a dictionary. A key may have
sub-keys, whose values are plain values or further keyed lists, to any
depth. Keys and sub-keys are written as one string separated by ".":
kl['name.first'] is the sub-key "first" of the key "name". Sub-lists are
NestMap objects too, so access from the top level is recursive: reading,
writing (missing levels are created), membership, deletion (sub-lists
left empty are removed) and get(), pop() and setdefault() all follow
dotted keys. Keys are also attributes: kl.name.first.

NestMap(*args, **kwargs) takes what dict() takes. Among the values, those
that dict() accepts (mappings, iterables of pairs, empty strings and
lists) become sub-lists, recursively, and dotted keys build sub-lists;
other values are leaves. Assigning a Tcl keyed-list object (a
_tkinter.Tcl_Obj of TclX's type) stores it as a sub-list.

keys(), values(), items(), len(), iteration, equality and copy() are the
dictionary's own and see only the top level; all_keys() and all_items()
list every leaf with its full dotted key.

The Tcl form, which quotify() and tclobj() use through __tclobj__(), is
the TclX keyed list: a list of {key value} pairs, a sub-list as the value
of its key. NestMap.from_tcl() reads it back.

Example:
    >>> from brelt.tcl import NestMap, quotify
    >>> kl = NestMap()
    >>> kl['size.width'] = 4
    >>> kl['size.height'] = 3
    >>> kl['size.width'], kl.size.height
    (4, 3)
    >>> kl.all_keys()
    ['size.width', 'size.height']
    >>> quotify(kl)
    '{size {{width 4} {height 3}}}'
)";

// ---------------------------------------------------------------------------
// Module

bool build_class(PyObject* module, State& st) {
    Ref get = Ref::steal(PyObject_GetAttrString(st.MutableMapping.get(), "get"));
    Ref pop = Ref::steal(PyObject_GetAttrString(st.MutableMapping.get(), "pop"));
    Ref setdefault = Ref::steal(PyObject_GetAttrString(st.MutableMapping.get(), "setdefault"));
    if (!get || !pop || !setdefault) return false;
    capi::ClassBuilder builder(module, "NestMap", kClassDoc);
    builder.bases({st.AttrDict.get(), st.MutableMapping.get()})
        .method(kInit)
        .method(kGetItem)
        .method(kSetItem)
        .method(kDelItem)
        .method(kContains)
        .alias("has_key", "__contains__")
        .attr("get", get.get())
        .attr("pop", pop.get())
        .attr("setdefault", setdefault.get())
        .method(kUpdate)
        .method(kAllKeys)
        .method(kAllItems)
        .method(kTclobj)
        .static_method(kFromTcl);
    st.NestMap = builder.build();
    if (!st.NestMap) return false;
    if (!PyType_Check(st.NestMap.get()) || !PyType_IsSubtype(st.NestMap.as<PyTypeObject>(), &PyDict_Type)) {
        PyErr_SetString(PyExc_ImportError, "brelt.datastructures.AttrDict is not a dict subclass");
        return false;
    }
    return st.methods.setup(st.NestMap.get()) && capi::add_object(module, "NestMap", st.NestMap.get());
}

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr || !capi::share_walk_depth()) return -1;
        using capi::add_object;
        using capi::import_attr;

        // The module's imports, in their order, kept as module attributes.
        if (!import_attr(st->AttrDict, "brelt.datastructures", "AttrDict") ||
            !add_object(module, "AttrDict", st->AttrDict.get()) ||
            !import_attr(st->MutableMapping, "collections.abc", "MutableMapping") ||
            !add_object(module, "MutableMapping", st->MutableMapping.get()) ||
            !import_attr(st->TclObj, "_tkinter", "Tcl_Obj") || !add_object(module, "Tcl_Obj", st->TclObj.get()) ||
            !import_attr(st->tclobj, "brelt.tcl.quotify", "tclobj") ||
            !add_object(module, "tclobj", st->tclobj.get())) {
            return -1;
        }
        if (!PyType_Check(st->TclObj.get())) {
            PyErr_SetString(PyExc_ImportError, "_tkinter.Tcl_Obj is not a type");
            return -1;
        }
        if (!import_attr(st->Mapping, "collections.abc", "Mapping") ||
            !import_attr(st->TclError, "_tkinter", "TclError")) {
            return -1;
        }
        st->mm_update = Ref::steal(PyObject_GetAttrString(st->MutableMapping.get(), "update"));
        if (!st->mm_update) return -1;

        Ref base_init = Ref::steal(PyObject_GetAttr(st->AttrDict.get(), st->s_init.get()));
        Ref dict_init = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyDict_Type), st->s_init.get()));
        if (!base_init || !dict_init) return -1;
        st->base_init_is_dicts = base_init.get() == dict_init.get();

        return build_class(module, *st) ? 0 : -1;
    });
}

constexpr const char* kModuleDoc = R"(Implements:
    brelt.tcl.NestMap

Description:
    This file implements the keyed list class NestMap: a mapping with
    dotted sub-keys that converts to and from the TclX keyed-list form.
)";

PyModuleDef module_def =
    capi::make_module_def<State>("brelt.tcl.nestmap", kModuleDoc, capi::module_slots<exec_module, capi::Gil::NotUsed>);

}  // namespace
}  // namespace nestmap

PyMODINIT_FUNC PyInit_nestmap() { return PyModuleDef_Init(&nestmap::module_def); }
