#pragma once
// Argument conversion by declared C++ parameter type, and result wrapping by
// C++ return type.

#include "bind/object.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

namespace bind {

// Arg<T>::load(obj) converts one argument and returns false with the Python
// error set (before any "argument '<name>'" prefix) when it cannot.
template <class T>
struct Arg;

// The float rule: a float directly, anything else through __float__ or
// __index__.
template <>
struct Arg<double> {
    double value;
    bool load(PyObject* obj) {
        if (PyFloat_CheckExact(obj)) {
            value = PyFloat_AS_DOUBLE(obj);
            return true;
        }
        value = PyFloat_AsDouble(obj);
        return !(value == -1.0 && PyErr_Occurred());
    }
    double get() const { return value; }
};

// The unsigned rule: an int directly, anything else through __index__; the
// whole range 0 to 2^64 - 1, OverflowError outside it.
template <>
struct Arg<std::uint64_t> {
    std::uint64_t value;
    bool load(PyObject* obj);
    std::uint64_t get() const { return value; }
};

// The bool rule: exactly True or False, or numpy's bool scalar.
template <>
struct Arg<bool> {
    bool value;
    bool load(PyObject* obj);
    bool get() const { return value; }
};

// The class-argument rule: an instance of the class (or a subclass), read
// under a shared hold that lasts as long as the argument.
template <class T>
struct Arg {
    Receiver<T> receiver;
    bool load(PyObject* obj) { return receiver.take(obj); }
    const T& get() const { return receiver.value(); }
};

template <class T>
using ArgFor = Arg<std::remove_cvref_t<T>>;

// Converts `objs` into `args` in order, stopping at the first failure, whose
// error then names its parameter.
template <class... A, std::size_t... I>
bool load_all(std::tuple<ArgFor<A>...>& args, PyObject* const* objs, const char* const* names,
              std::index_sequence<I...>) {
    return ((std::get<I>(args).load(objs[I]) || (prefix_argument_error(names[I]), false)) && ...);
}

// ---------------------------------------------------------------- results

inline PyObject* checked(PyObject* obj) {
    if (!obj) throw PythonError{};
    return obj;
}

inline PyObject* to_python(double v) { return checked(PyFloat_FromDouble(v)); }
inline PyObject* to_python(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
inline PyObject* to_python(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
inline PyObject* to_python(const std::string& s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
template <class T>
PyObject* to_python(const T& v)
    requires requires { Class<T>::wrap(v); }
{
    return Class<T>::wrap(v);
}

// Owns a new reference until released, so that a failure half-way through
// building a container frees what was built.
class Ref {
  public:
    explicit Ref(PyObject* obj) : obj_(checked(obj)) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }
    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }

  private:
    PyObject* obj_;
};

// Arrays become lists.
template <class T, std::size_t N>
PyObject* to_python(const std::array<T, N>& items) {
    Ref list(PyList_New(N));
    for (std::size_t n = 0; n < N; ++n)
        PyList_SET_ITEM(list.get(), n, to_python(items[n]));
    return list.release();
}

// Pairs and tuples become tuples.
template <class... T>
PyObject* to_python(const std::tuple<T...>& items) {
    Ref tuple(PyTuple_New(sizeof...(T)));
    std::apply(
        [&](const auto&... item) {
            Py_ssize_t n = 0;
            (PyTuple_SET_ITEM(tuple.get(), n++, to_python(item)), ...);
        },
        items);
    return tuple.release();
}
template <class A, class B>
PyObject* to_python(const std::pair<A, B>& items) {
    return to_python(std::tuple<const A&, const B&>(items.first, items.second));
}

} // namespace bind
