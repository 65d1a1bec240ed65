#pragma once
// One rule per C++ type that crosses the border, Type<T>: how an argument
// of that type is read, how the records annotate it, and how a result of it
// becomes a Python object. The access points below only dispatch onto it,
// so a new type is one specialisation, kept beside the type.

#include "array.hpp"
#include "bind/object.hpp"
#include "bind/record.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace bind {

// The rule of T, with whichever of these members the type has:
// - as an argument, the rule is the argument itself: load(obj) converts one
//   argument and returns false with the Python error set (before any
//   "argument '<name>'" prefix) when it cannot, load(obj, name) where its
//   errors name the argument, and get() gives the value;
// - static annotation(): the type's annotation in the records;
// - static wrap(v): a new reference to a result's Python object, throwing
//   PythonError when it cannot be made;
// - static keyword_only: the parameter is keyword-only and optional
//   (defaulting to None, or to default_source(), the default's Python
//   text, where the rule has one); such parameters come last.
// Any type without a rule of its own is a bound class (below).
template <class T>
struct Type;

// ---------------------------------------------------------------- access points

template <class T>
using ArgFor = Type<std::remove_cvref_t<T>>;

template <class V>
PyObject* to_python(V&& v) {
    return Type<std::remove_cvref_t<V>>::wrap(std::forward<V>(v));
}

namespace record {

template <class T>
Expr annotation() {
    return Type<std::remove_cvref_t<T>>::annotation();
}

template <class T>
constexpr bool is_keyword_only = requires { Type<std::remove_cvref_t<T>>::keyword_only; };

// The Python text of a keyword-only parameter's default.
template <class T>
const char* default_source() {
    if constexpr (requires { Type<std::remove_cvref_t<T>>::default_source(); }) {
        return Type<std::remove_cvref_t<T>>::default_source();
    } else {
        return "None";
    }
}

// The defaults of a parameter list, one per parameter, closed by a null.
template <class Types>
struct Defaults;
template <class... A>
struct Defaults<std::tuple<A...>> {
    static const char* const* get() {
        static const char* const texts[] = {default_source<A>()..., nullptr};
        return texts;
    }
};

// Parameter records from parallel lists of names and C++ types.
template <class... A, std::size_t... I>
std::vector<Param> params(const char* const* names, std::tuple<A...>*, std::index_sequence<I...>) {
    return {Param{names[I], annotation<A>(), is_keyword_only<A>, default_source<A>()}...};
}
template <class... A>
std::vector<Param> params(const char* const* names, std::tuple<A...>* types) {
    return params(names, types, std::index_sequence_for<A...>{});
}

} // namespace record

// Converts one argument; a conversion that names the argument in errors of
// its own (beyond the TypeError prefix) is told the name.
template <class A>
[[gnu::always_inline]] inline bool load_one(A& arg, PyObject* obj, const char* name) {
    if constexpr (requires { arg.load(obj, name); }) {
        return arg.load(obj, name);
    } else {
        return arg.load(obj);
    }
}

// Converts `objs` into `args` in order, stopping at the first failure, whose
// error then names its parameter.
template <class... A, std::size_t... I>
bool load_all(std::tuple<ArgFor<A>...>& args, PyObject* const* objs, const char* const* names,
              std::index_sequence<I...>) {
    return ((load_one(std::get<I>(args), objs[I], names[I]) || (prefix_argument_error(names[I]), false)) && ...);
}

inline PyObject* checked(PyObject* obj) {
    if (!obj) throw PythonError{};
    return obj;
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

// ---------------------------------------------------------------- classes

// The class rule: an argument is an instance of the class (or a subclass),
// read under a shared hold that lasts as long as the argument; a result
// becomes a new instance of the class, taking the value over.
template <class T>
struct Type {
    static record::Expr annotation() { return record::class_id<T>(); }

    Receiver<T> receiver;
    [[gnu::always_inline]] bool load(PyObject* obj) { return receiver.take(obj); }
    const T& get() const { return receiver.value(); }

    template <class V>
    static PyObject* wrap(V&& v) {
        return Class<T>::wrap(std::forward<V>(v));
    }
};

// ---------------------------------------------------------------- scalars

// The float rule: a float directly, anything else through __float__ or
// __index__.
template <>
struct Type<double> {
    static record::Expr annotation() { return record::builtin("float"); }

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

    static PyObject* wrap(double v) { return checked(PyFloat_FromDouble(v)); }
};

// The unsigned rule: an int directly, anything else through __index__; the
// whole range 0 to 2^64 - 1, OverflowError outside it.
template <>
struct Type<std::uint64_t> {
    static record::Expr annotation() { return record::builtin("int"); }

    std::uint64_t value;
    bool load(PyObject* obj);
    std::uint64_t get() const { return value; }

    static PyObject* wrap(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
};

// Signed integers are results only: positions written into a caller's
// buffer of 64-bit integers, and the same positions as a list.
template <>
struct Type<std::int64_t> {
    static record::Expr annotation() { return record::builtin("int"); }
    static PyObject* wrap(std::int64_t v) { return checked(PyLong_FromLongLong(v)); }
};

// The bool rule: exactly True or False, or numpy's bool scalar.
template <>
struct Type<bool> {
    static record::Expr annotation() { return record::builtin("bool"); }

    bool value;
    bool load(PyObject* obj);
    bool get() const { return value; }

    static PyObject* wrap(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};

template <>
struct Type<std::string> {
    static record::Expr annotation() { return record::builtin("str"); }
    static PyObject* wrap(const std::string& s) {
        return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    }
};

// An ASCII text made of parts: prefix, the parts with a separator between
// neighbours, suffix. It becomes a str in one allocation and one copy.
struct Joined {
    std::string_view prefix;
    std::vector<lumora::Array<char>> parts;
    std::string_view separator;
    std::string_view suffix;
};

template <>
struct Type<Joined> {
    static record::Expr annotation() { return Type<std::string>::annotation(); }
    static PyObject* wrap(const Joined& text);
};

// Annotated only: a call without a result returns None by itself.
template <>
struct Type<void> {
    static record::Expr annotation() { return record::name("None"); }
};

// A value or nothing. As a parameter it is keyword-only, None when absent,
// else read by T's rule, whose hold or buffer lasts as long as the
// argument. As a result it is annotated only: its one user, an iterator's
// __next__, wraps the value itself.
template <class T>
struct Type<std::optional<T>> {
    static constexpr bool keyword_only = true;
    static record::Expr annotation() { return record::bitor_(record::annotation<T>(), record::none()); }

    Type<T> arg;
    bool given = false;
    bool load(PyObject* obj, const char* name) {
        if (!obj || obj == Py_None) return true;
        given = true;
        return load_one(arg, obj, name);
    }
    std::optional<T> get() const { return given ? std::optional<T>(arg.get()) : std::nullopt; }
};

// A default as Python writes it.
inline std::string python_text(bool v) { return v ? "True" : "False"; }
inline std::string python_text(std::uint64_t v) { return std::to_string(v); }
std::string python_text(double v);

// A keyword-only parameter that takes Default when absent; given, it is
// read by T's rule (None included: None is not the default here). Default
// is the value, or, for a float (which not every compiler takes as a
// template argument), the address of a constant holding it.
template <class T, auto Default>
struct Keyword {
    T value;
    operator T() const { return value; }

    static T fallback() {
        if constexpr (std::is_pointer_v<decltype(Default)>) {
            return *Default;
        } else {
            return T(Default);
        }
    }
};

template <class T, auto Default>
struct Type<Keyword<T, Default>> {
    static constexpr bool keyword_only = true;
    static record::Expr annotation() { return record::annotation<T>(); }
    static const char* default_source() {
        static const std::string text = python_text(Keyword<T, Default>::fallback());
        return text.c_str();
    }

    Type<T> arg;
    bool given = false;
    bool load(PyObject* obj, const char* name) {
        if (!obj) return true;
        given = true;
        return load_one(arg, obj, name);
    }
    Keyword<T, Default> get() const { return {given ? arg.get() : Keyword<T, Default>::fallback()}; }
};

// ---------------------------------------------------------------- lists and tuples

// Arrays become lists.
template <class T, std::size_t N>
struct Type<std::array<T, N>> {
    static record::Expr annotation() { return record::subscript(record::builtin("list"), record::annotation<T>()); }
    static PyObject* wrap(const std::array<T, N>& items) {
        Ref list(PyList_New(N));
        for (std::size_t n = 0; n < N; ++n)
            PyList_SET_ITEM(list.get(), n, to_python(items[n]));
        return list.release();
    }
};

template <class T>
struct Type<lumora::Array<T>> {
    static record::Expr annotation() { return record::subscript(record::builtin("list"), record::annotation<T>()); }
    static PyObject* wrap(const lumora::Array<T>& items) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
        for (std::size_t n = 0; n < items.size(); ++n)
            PyList_SET_ITEM(list.get(), n, to_python(items[n]));
        return list.release();
    }
};

// A list made straight from an array that stays held during the call, item
// i being f(items[i]): no intermediate copy of the elements.
template <class T, class F>
struct ListOf {
    const lumora::Array<T>& items;
    F f;
};
template <class T, class F>
ListOf(const lumora::Array<T>&, F) -> ListOf<T, F>;

template <class T, class F>
struct Type<ListOf<T, F>> {
    static record::Expr annotation() {
        return record::subscript(record::builtin("list"),
                                 record::annotation<std::invoke_result_t<const F&, const T&>>());
    }
    static PyObject* wrap(const ListOf<T, F>& view) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(view.items.size())));
        for (std::size_t n = 0; n < view.items.size(); ++n)
            PyList_SET_ITEM(list.get(), n, to_python(view.f(view.items[n])));
        return list.release();
    }
};

// Rows of different lengths become a list of lists: row i holds the next
// lengths[i] items, the items of all rows following each other through
// `parts` (made piece by piece on the pool; no row spans two parts).
template <class T>
struct Ragged {
    std::vector<lumora::Array<T>> parts;
    lumora::Array<std::size_t> lengths;
};

template <class T>
struct Type<Ragged<T>> {
    static record::Expr annotation() {
        return record::subscript(record::builtin("list"), Type<lumora::Array<T>>::annotation());
    }
    static PyObject* wrap(const Ragged<T>& r) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(r.lengths.size())));
        std::size_t part = 0, at = 0;
        for (std::size_t i = 0; i < r.lengths.size(); ++i) {
            PyObject* row = checked(PyList_New(static_cast<Py_ssize_t>(r.lengths[i])));
            PyList_SET_ITEM(list.get(), i, row);
            for (std::size_t j = 0; j < r.lengths[i]; ++j, ++at) {
                while (at == r.parts[part].size()) {
                    ++part;
                    at = 0;
                }
                PyList_SET_ITEM(row, j, to_python(r.parts[part][at]));
            }
        }
        return list.release();
    }
};

// Pairs and tuples become tuples.
template <class... T>
struct Type<std::tuple<T...>> {
    static record::Expr annotation() {
        return record::subscript(record::builtin("tuple"), record::tuple({record::annotation<T>()...}));
    }
    static PyObject* wrap(const std::tuple<T...>& items) {
        Ref tuple(PyTuple_New(sizeof...(T)));
        std::apply(
            [&](const auto&... item) {
                Py_ssize_t n = 0;
                (PyTuple_SET_ITEM(tuple.get(), n++, to_python(item)), ...);
            },
            items);
        return tuple.release();
    }
};

template <class A, class B>
struct Type<std::pair<A, B>> {
    static record::Expr annotation() { return Type<std::tuple<A, B>>::annotation(); }
    static PyObject* wrap(const std::pair<A, B>& items) {
        return to_python(std::tuple<const A&, const B&>(items.first, items.second));
    }
};

// ---------------------------------------------------------------- sequences

// A sequence of instances of a class, each read under its own shared hold
// while its value is copied out.
template <class T>
struct SequenceOf {
    lumora::Array<T> items;
};

// The first checks of a sequence argument: not a str, and a sequence by the
// interpreter's check. Sets the error and returns false otherwise.
bool check_sequence(PyObject* obj);

// The sequence's length, only as a hint: nothing when asking fails.
std::size_t length_hint(PyObject* obj);

template <class T>
struct Type<SequenceOf<T>> {
    static record::Expr annotation() {
        return record::subscript(record::attribute(record::name("collections.abc"), "Sequence"),
                                 record::annotation<T>());
    }

    SequenceOf<T> value;

    bool load(PyObject* obj) {
        if (!check_sequence(obj)) return false;
        // Looked up first: the lookup may throw, and a list is read in a
        // critical section that no exception may leave.
        PyTypeObject* type = Class<T>::type();
        lumora::Array<T>& items = value.items;
        // A length is only a hint: a lying one must not make construction
        // fail, so an impossible reservation is simply skipped.
        (void)items.try_reserve(length_hint(obj));
        bool ok = true;
        if (PyTuple_CheckExact(obj)) {
            for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(obj); ++i)
                ok = add(PyTuple_GET_ITEM(obj, i), type);
        } else if (PyList_CheckExact(obj)) {
            // Reading a list item by item is its iteration; the list cannot
            // change meanwhile, and no Python code runs.
            Py_BEGIN_CRITICAL_SECTION(obj);
            for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(obj); ++i)
                ok = add(PyList_GET_ITEM(obj, i), type);
            Py_END_CRITICAL_SECTION();
        } else {
            PyObject* iter = PyObject_GetIter(obj);
            if (!iter) return false;
            while (PyObject* item = PyIter_Next(iter)) {
                ok = add(item, type);
                Py_DECREF(item);
                if (!ok) break;
            }
            Py_DECREF(iter);
            ok = ok && !PyErr_Occurred();
        }
        if (ok) items.shrink_to_fit();
        return ok;
    }
    SequenceOf<T>&& get() { return std::move(value); }

  private:
    // Copies the item's value out under a shared hold. Nothing here throws:
    // a critical section may be open.
    bool add(PyObject* item, PyTypeObject* type) noexcept {
        Receiver<T> r;
        if (!r.take(item, type)) return false;
        if (!value.items.try_push_back(r.value())) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
};

} // namespace bind
