// The entry point, the module body of `lumora` and its submodules `geometry`
// and `cloud`.

#include "lumora.hpp"

#include "bind/members.hpp"
#include "bind/pickle.hpp"
#include "classes.hpp"
#include "cloud/functions.hpp"
#include "geometry/functions.hpp"

#include <atomic>
#include <cstdint>
#include <vector>

namespace {

int lumora_exec(PyObject* module);
int geometry_exec(PyObject* module);
int cloud_exec(PyObject* module);

PyModuleDef lumora_def = bind::module_def<&lumora_exec>("lumora");
PyModuleDef geometry_def = bind::module_def<&geometry_exec>("lumora.geometry");
PyModuleDef cloud_def = bind::module_def<&cloud_exec>("lumora.cloud");

// The interpreter that first made a submodule; one per process, since the
// type objects and the submodules are shared process-wide.
std::atomic<std::int64_t> submodule_owner{-1};

PyObject* make_submodule(PyModuleDef& def) {
    static bind::Once<PyObject> namespace_type;
    PyObject* simple_namespace = namespace_type.get([]() -> PyObject* {
        PyObject* types = PyImport_ImportModule("types");
        if (!types) return nullptr;
        PyObject* cls = PyObject_GetAttrString(types, "SimpleNamespace");
        Py_DECREF(types);
        return cls;
    });
    if (!simple_namespace) return nullptr;
    PyObject* kwargs = Py_BuildValue("{ss}", "name", def.m_name);
    if (!kwargs) return nullptr;
    PyObject* no_args = PyTuple_New(0);
    PyObject* spec = no_args ? PyObject_Call(simple_namespace, no_args, kwargs) : nullptr;
    Py_XDECREF(no_args);
    Py_DECREF(kwargs);
    if (!spec) return nullptr;
    PyObject* module = PyModule_FromDefAndSpec(&def, spec);
    Py_DECREF(spec);
    if (module && PyModule_ExecDef(module, &def) < 0) Py_CLEAR(module);
    return module;
}

// A submodule, made once per process and then the same object every time.
template <PyModuleDef& Def>
PyObject* submodule() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!submodule_owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "lumora does not support sub-interpreters: it can be imported only in the interpreter that "
                        "first imported it");
        return nullptr;
    }
    static bind::Once<PyObject> made;
    return made.get([] { return make_submodule(Def); });
}

// Attached in this order; each name is appended to __all__.
const std::vector<bind::Member>& geometry_members() {
    static const std::vector<bind::Member> members = [] {
        std::vector<bind::Member> m{bind::class_member<drovak::geometry::Circle>()};
        for (PyMethodDef& function : intersection_functions())
            m.push_back(bind::function_member(function, geometry_def));
        m.push_back(bind::class_member<drovak::geometry::Plane>());
        return m;
    }();
    return members;
}

const std::vector<bind::Member>& cloud_members() {
    static const std::vector<bind::Member> members = [] {
        std::vector<bind::Member> m;
        for (PyMethodDef& function : cloud_functions())
            m.push_back(bind::function_member(function, cloud_def));
        for (PyMethodDef& function : icp_functions())
            m.push_back(bind::function_member(function, cloud_def));
        m.push_back(bind::class_member<lumora::IcpResult>());
        return m;
    }();
    return members;
}

const bind::ModuleBody geometry_body{geometry_def, &geometry_members, &submodule<geometry_def>};
const bind::ModuleBody cloud_body{cloud_def, &cloud_members, &submodule<cloud_def>};

const std::vector<bind::Member>& lumora_members() {
    static const std::vector<bind::Member> members{
        bind::class_member<drovak::AngleDegrees>(), bind::class_member<drovak::AngleRadians>(),
        bind::class_member<drovak::Quat>(),         bind::class_member<lumora::VecList>(),
        bind::class_member<drovak::Vec3d>(),        bind::submodule_member(geometry_body),
        bind::class_member<lumora::PointIndex>(),   bind::class_member<drovak::RigidTransform>(),
        bind::submodule_member(cloud_body),
    };
    return members;
}

const bind::ModuleBody lumora_body{lumora_def, &lumora_members};

// The reconstructor of every class, private: attached without entering
// __all__ or the interface records.
constexpr char restore_name[] = "_restore";

PyMethodDef private_functions[] = {
    bind::restore_function<restore_name, drovak::Vec3d, drovak::AngleRadians, drovak::AngleDegrees, drovak::Quat,
                           drovak::geometry::Plane, drovak::geometry::Circle, lumora::VecList, lumora::PointIndex,
                           drovak::RigidTransform, lumora::IcpResult>(),
    {nullptr, nullptr, 0, nullptr},
};

int lumora_exec(PyObject* module) {
    return bind::add_members(module, lumora_body) && PyModule_AddFunctions(module, private_functions) == 0 &&
                   PyModule_AddStringConstant(module, "__version__", bind::package_version) == 0
               ? 0
               : -1;
}

int geometry_exec(PyObject* module) { return bind::add_members(module, geometry_body) ? 0 : -1; }

int cloud_exec(PyObject* module) { return bind::add_members(module, cloud_body) ? 0 : -1; }

} // namespace

const bind::ModuleBody& root_module() { return lumora_body; }

PyObject* bind::restorer() {
    // Where pickle itself looks: the module as imported, else an import.
    PyObject* name = PyUnicode_FromString(lumora_def.m_name);
    if (!name) return nullptr;
    PyObject* module = PyImport_GetModule(name);
    Py_DECREF(name);
    if (!module && !PyErr_Occurred()) module = PyImport_ImportModule(lumora_def.m_name);
    if (!module) return nullptr;
    PyObject* fn = PyObject_GetAttrString(module, restore_name);
    Py_DECREF(module);
    return fn;
}

PyMODINIT_FUNC PyInit_lumora() { return PyModuleDef_Init(&lumora_def); }
