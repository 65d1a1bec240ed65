#pragma once
// Modules: their definitions, the __all__ add rule, and attaching classes,
// functions and submodules.

#include "bind/object.hpp"
#include "bind/reference.hpp"

#include <variant>
#include <vector>

namespace bind {

// Appends `name` to the module's __all__ (made if missing) and sets the
// attribute. Returns false with a Python error set.
bool add(PyObject* module, const char* name, PyObject* obj);

// Attaches a class under its name; a type that could not be created (null)
// is a RuntimeError caused by the underlying error.
bool add_type(PyObject* module, PyTypeObject* type, const char* name);

// Attaches a built-in function bound to the module (its __self__ is the
// module, its __module__ the module's name).
bool add_function(PyObject* module, PyMethodDef& def);

// One thing a module attaches: a class, a function or a submodule. A
// module's body is the table of its members, in the order of its __all__.
struct ModuleBody;
struct ClassMember {
    // Made on first use; nullptr with the error set when that fails.
    PyTypeObject* (*type)();
    PyType_Spec& (*spec)();
};
using Member = std::variant<ClassMember, PyMethodDef*, const ModuleBody*>;

struct ModuleBody {
    PyModuleDef& def;
    const std::vector<Member>& (*members)();
    // A submodule's object, made once per process and then shared.
    PyObject* (*object)() = nullptr;
};

template <class T>
Member class_member() {
    return ClassMember{&Class<T>::get_or_create, &Class<T>::spec};
}
// A function of `module`, whose docstring gets the reference text of
// "<module>.<name>" after its text signature.
Member function_member(PyMethodDef& def, const PyModuleDef& module);
inline Member submodule_member(const ModuleBody& body) { return &body; }

// One callable made of several lambdas, for visiting a Member.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang 14, the
// fuzzing build's).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// The definition of a module whose body `Exec` attaches, declaring that the
// module does not need the global interpreter lock; its docstring is the
// module's reference text.
template <int (*Exec)(PyObject*)>
PyModuleDef module_def(const char* name) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(Exec)},
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
        {0, nullptr},
    };
    return {PyModuleDef_HEAD_INIT, name, documented("", name), 0, nullptr, slots, nullptr, nullptr, nullptr};
}

// Attaches the members of `body` in order. A submodule is also entered in
// sys.modules under its full name, so that `import <parent>.<sub>` finds it.
// Returns false with a Python error set.
bool add_members(PyObject* module, const ModuleBody& body);

} // namespace bind
