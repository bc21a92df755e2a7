// Builds real Python classes from C++ functions.
//
// A class is created the way a `class` statement creates it: by calling
// type(name, bases, namespace), which hands over to the bases' metaclass
// (ABCMeta for the collections.abc classes) by itself. Everything that the
// metaclass computes once at creation, such as __abstractmethods__, therefore
// sees the complete namespace.
#pragma once

#include "function.hpp"

namespace capi {

class ClassBuilder {
public:
    // `qualname` defaults to `name`; nested classes pass "Outer.Inner".
    ClassBuilder(PyObject* module, const char* name, const char* doc, const char* qualname = nullptr)
        : module_(module), name_(name) {
        ns_ = Ref::steal(PyDict_New());
        qualname_ = Ref::steal(PyUnicode_FromString(qualname ? qualname : name));
        Ref modname = Ref::steal(PyModule_GetNameObject(module));
        if (!ns_ || !qualname_ || !modname) {
            failed_ = true;
            return;
        }
        set("__module__", modname.get());
        set("__qualname__", qualname_.get());
        if (doc != nullptr) {
            Ref d = Ref::steal(PyUnicode_FromString(doc));
            set("__doc__", d.get());
        }
    }

    // Bases in order; borrowed references.
    ClassBuilder& bases(std::initializer_list<PyObject*> list) {
        bases_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
        if (!bases_) {
            failed_ = true;
            return *this;
        }
        Py_ssize_t i = 0;
        for (PyObject* b : list) {
            if (b == nullptr) {
                failed_ = true;
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "missing base class");
                return *this;
            }
            PyTuple_SET_ITEM(bases_.get(), i++, Py_NewRef(b));
        }
        return *this;
    }

    ClassBuilder& method(const FunctionDef& def) { return add(def, Wrap::None); }
    ClassBuilder& static_method(const FunctionDef& def) { return add(def, Wrap::Static); }
    ClassBuilder& class_method(const FunctionDef& def) { return add(def, Wrap::Class); }

    // Binds `alias` to the very object already bound to `existing`.
    ClassBuilder& alias(const char* alias_name, const char* existing) {
        if (failed_) return *this;
        PyObject* obj = PyDict_GetItemString(ns_.get(), existing);
        if (obj == nullptr) {
            PyErr_Format(PyExc_SystemError, "alias of unknown attribute %s", existing);
            failed_ = true;
            return *this;
        }
        return set(alias_name, obj);
    }

    // A class attribute; `value` is borrowed.
    ClassBuilder& attr(const char* attr_name, PyObject* value) {
        if (value == nullptr) {
            failed_ = true;
            return *this;
        }
        return set(attr_name, value);
    }

    // The function object bound under `attr_name` (borrowed), for adding
    // attributes such as __signature__ before or after the class is built.
    PyObject* function(const char* attr_name) const {
        return ns_ ? PyDict_GetItemString(ns_.get(), attr_name) : nullptr;
    }

    // Creates the class; NULL with an exception set if any step failed.
    Ref build() {
        if (failed_) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "class construction failed");
            return {};
        }
        if (!bases_) bases_ = Ref::steal(PyTuple_New(0));
        Ref name = Ref::steal(PyUnicode_FromString(name_));
        if (!name || !bases_) return {};
        PyObject* args[] = {name.get(), bases_.get(), ns_.get()};
        return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
    }

private:
    enum class Wrap { None, Static, Class };

    ClassBuilder& set(const char* attr_name, PyObject* value) {
        if (!failed_ && PyDict_SetItemString(ns_.get(), attr_name, value) < 0) failed_ = true;
        return *this;
    }

    ClassBuilder& add(const FunctionDef& def, Wrap wrap) {
        if (failed_) return *this;
        Ref f = new_function(module_, def, qualname_.get());
        if (f && wrap == Wrap::Static) f = Ref::steal(PyStaticMethod_New(f.get()));
        if (f && wrap == Wrap::Class) f = Ref::steal(PyClassMethod_New(f.get()));
        if (!f) {
            failed_ = true;
            return *this;
        }
        return set(def.name, f.get());
    }

    PyObject* module_;
    const char* name_;
    Ref ns_;
    Ref qualname_;
    Ref bases_;
    bool failed_ = false;
};

// The rest of type.__call__(type, *args, **kwargs) once __new__ gave `obj`
// (a new reference): __init__ of obj's own class runs when obj is an
// instance of `type`; anything else is returned as it is. For the fast
// construction paths, which must not take a __new__ that returned a
// surprise for an instance of their own class.
inline PyObject* finish_type_call(PyTypeObject* type, PyObject* obj, PyObject* args, PyObject* kwargs) noexcept {
    if (obj == nullptr || !PyObject_TypeCheck(obj, type)) return obj;
    initproc init = Py_TYPE(obj)->tp_init;
    if (init != nullptr && init(obj, args, kwargs) < 0) {
        Py_DECREF(obj);
        return nullptr;
    }
    return obj;
}

}  // namespace capi
