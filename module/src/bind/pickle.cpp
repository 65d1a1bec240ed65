#include "bind/pickle.hpp"
#include "bind/define.hpp"

#include <tuple>
#include <utility>

namespace bind {

// Takes over `name` and `data`, either of which may be null after a failure.
PyObject* reduction(PyObject* name, PyObject* data) {
    PyObject* fn = name && data ? restorer() : nullptr;
    PyObject* result = fn ? Py_BuildValue("(N(NN))", fn, name, data) : nullptr;
    if (!fn) {
        Py_XDECREF(name);
        Py_XDECREF(data);
    }
    return result;
}

bool protocol_argument(const char* owner, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::uint64_t* protocol) {
    static const char* const names[] = {"protocol", nullptr};
    PyObject* slots[1];
    std::tuple<ArgFor<std::uint64_t>> arg;
    if (!bind_arguments(owner, "__reduce_ex__", names, 1, 1, args, nargs, kwnames, slots) ||
        !load_all<std::uint64_t>(arg, slots, names, std::index_sequence_for<std::uint64_t>{}))
        return false;
    *protocol = std::get<0>(arg).get();
    return true;
}

bool restore_arguments(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** name,
                       Buffer& data) {
    static const char* const names[] = {"name", "data", nullptr};
    PyObject* slots[2];
    if (!bind_arguments("", fn, names, 2, 2, args, nargs, kwnames, slots)) return false;
    if (!PyUnicode_Check(slots[0])) {
        raise_not_instance(slots[0], "str");
        prefix_argument_error("name");
        return false;
    }
    *name = slots[0];
    if (!data.get(slots[1], PyBUF_SIMPLE)) {
        prefix_argument_error("data");
        return false;
    }
    return true;
}

void raise_unknown_class(const char* fn, PyObject* name) {
    PyErr_Format(PyExc_ValueError, "%s(): no class named %R can be restored", fn, name);
}

} // namespace bind
