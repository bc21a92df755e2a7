// TclNamespace: the namespace-name functions (pure string operations).
#include "names.hpp"

namespace tclns {

namespace {

constexpr const char* kNamespaceDoc = R"doc(Tcl namespaces, and the "::"-separated names of namespaces, variables
and commands.

The static functions qualifiers(), tail(), split(), normalize() and
join() take names apart and put them together as pure string operations,
without asking an interpreter; every argument goes through quotify()
first. A name is absolute when it starts with "::".

    >>> TclNamespace.join('::app', 'sub', 'x')
    '::app::sub::x'
    >>> TclNamespace.split('::app::x'), TclNamespace.tail('::app::x')
    (['', 'app', 'x'], 'x')
)doc";

}  // namespace

bool build_tcl_namespace(PyObject* module, State& st) {
    capi::ClassBuilder cls(module, "TclNamespace", kNamespaceDoc);
    add_name_functions(cls);
    st.TclNamespace = cls.build();
    return static_cast<bool>(st.TclNamespace);
}

}  // namespace tclns
