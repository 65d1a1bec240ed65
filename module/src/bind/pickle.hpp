#pragma once
// Pickling and copying. Every class reduces to one private module-level
// reconstructor called with the class's name and the value's bytes, so
// pickle finds it by import although the classes live in `builtins`; bytes
// keep every bit of every double under every protocol. A class whose value
// is a block of elements can hand the block out of band (protocol 5).

#include "bind/buffer.hpp"
#include "bind/record.hpp"

#include <bit>
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>

namespace bind {

static_assert(std::endian::native == std::endian::little, "pickled values are little-endian bytes");

// How a value is pickled: by default its own bytes, one value exactly.
template <class T>
struct Pickled {
    static_assert(std::is_trivially_copyable_v<T>);
    static std::span<const std::byte> bytes(const T& v) { return std::as_bytes(std::span(&v, 1)); }
    // ValueError (naming `name`) unless `data` is exactly one value.
    static T restore(std::span<const std::byte> data, const char* name) {
        if (data.size() != sizeof(T)) {
            throw Error{PyExc_ValueError, std::string("argument '") + name + "': a " + Class<T>::name() + " is " +
                                              std::to_string(sizeof(T)) + " bytes, not " + std::to_string(data.size())};
        }
        T v;
        std::memcpy(&v, data.data(), sizeof(T));
        return v;
    }
};

// A class that does not keep its block the way it pickles (a tree keeps
// its points in its own order) makes the block when asked:
// Pickled<T>::block(v) returns a new object whose buffer is the bytes, or
// null with the error set; it throws nothing.
template <class T>
concept MadeBlock = requires(const T& v) { Pickled<T>::block(v); };

// The reconstructor, found as pickle will find it; the module that attaches
// it defines this. A new reference, or null with the error set.
PyObject* restorer();

PyObject* reduction(PyObject* name, PyObject* data);

template <class T>
PyObject* value_bytes(const T& v) {
    if constexpr (MadeBlock<T>) {
        PyObject* block = Pickled<T>::block(v);
        PyObject* bytes = block ? PyBytes_FromObject(block) : nullptr;
        Py_XDECREF(block);
        return bytes;
    } else {
        const std::span<const std::byte> b = Pickled<T>::bytes(v);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
    }
}

template <class T>
PyObject* reduce_to_bytes(PyObject* self) {
    Receiver<T> r;
    if (!r.take(self)) return nullptr;
    PyObject* name = PyUnicode_FromString(Class<T>::name());
    return reduction(name, name ? value_bytes(r.value()) : nullptr);
}

inline record::Expr reduction_annotation() {
    using namespace record;
    return subscript(builtin("tuple"), tuple({builtin("object"),
                                              subscript(builtin("tuple"), tuple({builtin("str"), builtin("bytes")}))}));
}

// __reduce__: (reconstructor, (class name, the value's bytes)).
template <class T>
PyMethodDef reduce() {
    record::describe([] { return Describe<T>::function("__reduce__", "self", {}, reduction_annotation()); });
    return {"__reduce__",
            +[](PyObject* self, PyObject*) -> PyObject* {
                return entry<PyObject*>(nullptr, [&] { return reduce_to_bytes<T>(self); });
            },
            METH_NOARGS, "__reduce__($self)\n--\n\n"};
}

// __reduce__ of a class whose objects cannot be pickled (an iterator over a
// snapshot): the interpreter's TypeError for such objects.
template <class T>
PyMethodDef unpicklable() {
    record::describe([] {
        return Describe<T>::function("__reduce__", "self", {}, record::attribute(record::name("typing"), "NoReturn"));
    });
    return {"__reduce__",
            +[](PyObject*, PyObject*) -> PyObject* {
                PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Class<T>::name());
                return nullptr;
            },
            METH_NOARGS, "__reduce__($self)\n--\n\n"};
}

// Binds __reduce_ex__'s one argument, converted by the unsigned rule.
bool protocol_argument(const char* owner, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::uint64_t* protocol);

// The object that exports a value's block: the made one, else the object
// itself. A new reference, or null with the error set.
template <class T>
PyObject* block_of(PyObject* self, const T& v) {
    if constexpr (MadeBlock<T>) {
        return Pickled<T>::block(v);
    } else {
        return Py_NewRef(self);
    }
}

// __reduce_ex__(protocol): from protocol 5 on, the block goes as a
// pickle.PickleBuffer over the object's own read-only export, so that a
// buffer_callback receives it without a copy; before, as bytes.
template <class T>
PyMethodDef reduce_ex() {
    record::describe([] {
        return Describe<T>::function("__reduce_ex__", "self",
                                     {{"protocol", record::attribute(record::name("typing"), "SupportsIndex")}},
                                     reduction_annotation());
    });
    return {"__reduce_ex__",
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                +[](PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
                        static const std::string owner = std::string(Class<T>::name()) + ".";
                        std::uint64_t protocol;
                        if (!protocol_argument(owner.c_str(), args, nargs, kwnames, &protocol)) return nullptr;
                        if (protocol < 5) return reduce_to_bytes<T>(self);
                        Receiver<T> r;
                        if (!r.take(self)) return nullptr;
                        PyObject* block = block_of(self, r.value());
                        PyObject* name = block ? PyUnicode_FromString(Class<T>::name()) : nullptr;
                        PyObject* buffer = name ? PyPickleBuffer_FromObject(block) : nullptr;
                        Py_XDECREF(block);
                        return reduction(name, buffer);
                    });
                })),
            METH_FASTCALL | METH_KEYWORDS, "__reduce_ex__($self, protocol)\n--\n\n"};
}

// ---------------------------------------------------------------- restoring

// The reconstructor's two arguments: the class name and a contiguous
// buffer of the value's bytes. Returns false with the error set.
bool restore_arguments(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** name,
                       Buffer& data);
void raise_unknown_class(const char* fn, PyObject* name);

template <class T>
bool restore_as(PyObject* name, std::span<const std::byte> data, PyObject** made) {
    if (!PyUnicode_EqualToUTF8(name, Class<T>::name())) return false;
    *made = to_python(Pickled<T>::restore(data, "data"));
    return true;
}

// The reconstructor of the classes T...: a module function `fn`, meant to
// be attached without entering __all__.
template <const char* Fn, class... T>
PyMethodDef restore_function() {
    return {Fn,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                +[](PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
                        PyObject* name;
                        Buffer data;
                        if (!restore_arguments(Fn, args, nargs, kwnames, &name, data)) return nullptr;
                        const std::span<const std::byte> bytes(static_cast<const std::byte*>(data.view().buf),
                                                               static_cast<std::size_t>(data.view().len));
                        PyObject* made = nullptr;
                        if ((restore_as<T>(name, bytes, &made) || ...)) return made;
                        raise_unknown_class(Fn, name);
                        return nullptr;
                    });
                })),
            METH_FASTCALL | METH_KEYWORDS, nullptr};
}

} // namespace bind
