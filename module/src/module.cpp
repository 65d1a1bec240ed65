// The entry point, the module body of `lumora` and the `geometry` submodule.

#include "bind/module.hpp"
#include "classes.hpp"
#include "geometry/intersection.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

int lumora_exec(PyObject* module);
int geometry_exec(PyObject* module);

PyModuleDef_Slot lumora_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&lumora_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef lumora_def = {
    PyModuleDef_HEAD_INIT, "lumora", "", 0, nullptr, lumora_slots, nullptr, nullptr, nullptr,
};

PyModuleDef_Slot geometry_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&geometry_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef geometry_def = {
    PyModuleDef_HEAD_INIT, "lumora.geometry", "", 0, nullptr, geometry_slots, nullptr, nullptr, nullptr,
};

// The interpreter that first made the submodule; one per process, since the
// type objects and the submodule are shared process-wide.
std::atomic<std::int64_t> geometry_owner{-1};

PyObject* make_geometry() {
    static bind::Once<PyObject> namespace_type;
    PyObject* simple_namespace = namespace_type.get([]() -> PyObject* {
        PyObject* types = PyImport_ImportModule("types");
        if (!types) return nullptr;
        PyObject* cls = PyObject_GetAttrString(types, "SimpleNamespace");
        Py_DECREF(types);
        return cls;
    });
    if (!simple_namespace) return nullptr;
    PyObject* kwargs = Py_BuildValue("{ss}", "name", geometry_def.m_name);
    if (!kwargs) return nullptr;
    PyObject* no_args = PyTuple_New(0);
    PyObject* spec = no_args ? PyObject_Call(simple_namespace, no_args, kwargs) : nullptr;
    Py_XDECREF(no_args);
    Py_DECREF(kwargs);
    if (!spec) return nullptr;
    PyObject* module = PyModule_FromDefAndSpec(&geometry_def, spec);
    Py_DECREF(spec);
    if (module && PyModule_ExecDef(module, &geometry_def) < 0) Py_CLEAR(module);
    return module;
}

// The submodule, made once per process and then the same object every time.
PyObject* geometry_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!geometry_owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "lumora does not support sub-interpreters: it can be imported only in the interpreter that "
                        "first imported it");
        return nullptr;
    }
    static bind::Once<PyObject> geometry;
    return geometry.get(make_geometry);
}

// The submodule is also entered in sys.modules under its full name, each time
// the parent's body runs, so that `import lumora.geometry` finds it.
bool add_submodule(PyObject* parent, PyObject* sub) {
    PyObject* full = PyModule_GetNameObject(sub);
    if (!full) return false;
    const char* name = PyUnicode_AsUTF8(full);
    bool ok = false;
    if (name) {
        const char* dot = std::strrchr(name, '.');
        ok = bind::add(parent, dot ? dot + 1 : name, sub) && PyObject_SetItem(PyImport_GetModuleDict(), full, sub) == 0;
    }
    Py_DECREF(full);
    return ok;
}

int lumora_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        bind::raise_not_instance(module, "module");
        return -1;
    }
    // Attached in this order; each name is appended to __all__.
    if (!bind::add_class<drovak::AngleDegrees>(module)) return -1;
    if (!bind::add_class<drovak::AngleRadians>(module)) return -1;
    if (!bind::add_class<drovak::Quat>(module)) return -1;
    if (!bind::add_class<lumora::VecList>(module)) return -1;
    if (!bind::add_class<drovak::Vec3d>(module)) return -1;
    PyObject* geometry = geometry_module();
    if (!geometry || !add_submodule(module, geometry)) return -1;
    return 0;
}

int geometry_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        bind::raise_not_instance(module, "module");
        return -1;
    }
    // Attached in this order; each name is appended to __all__.
    if (!bind::add_class<drovak::geometry::Circle>(module)) return -1;
    if (!add_intersection_functions(module)) return -1;
    if (!bind::add_class<drovak::geometry::Plane>(module)) return -1;
    return 0;
}

} // namespace

PyMODINIT_FUNC PyInit_lumora() { return PyModuleDef_Init(&lumora_def); }
