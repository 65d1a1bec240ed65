#pragma once
// Descriptions of the Python interface, made by the table builders from the
// C++ types they bind, for the records the shared object exports. Only the
// record generator listens; in the module `sink` stays null and nothing is
// built.

#include "array.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace bind {

template <class T>
struct Class;
template <class T>
struct SequenceOf;
template <class T, class F>
struct ListOf;
struct Joined;

namespace record {

// An annotation or decorator expression.
struct Expr {
    enum class Kind { name, attribute, id, subscript, tuple, binop, constant };
    Kind kind;
    // name: the name; attribute: the attribute.
    std::string text;
    // id: the class.
    PyType_Spec& (*cls)() = nullptr;
    // attribute: the value; subscript: value and slice; tuple: the elements;
    // binop: left and right.
    std::vector<Expr> items;
};

inline Expr name(std::string id) { return {Expr::Kind::name, std::move(id), nullptr, {}}; }
inline Expr attribute(Expr value, std::string attr) {
    return {Expr::Kind::attribute, std::move(attr), nullptr, {value}};
}
inline Expr builtin(const char* type) { return attribute(name("builtins"), type); }
inline Expr subscript(Expr value, Expr slice) { return {Expr::Kind::subscript, "", nullptr, {value, slice}}; }
inline Expr tuple(std::vector<Expr> elts) { return {Expr::Kind::tuple, "", nullptr, std::move(elts)}; }
inline Expr bitor_(Expr left, Expr right) { return {Expr::Kind::binop, "bitor", nullptr, {left, right}}; }
inline Expr none() { return {Expr::Kind::constant, "none", nullptr, {}}; }
template <class T>
Expr class_id() {
    return {Expr::Kind::id, "", &Class<T>::spec, {}};
}

// The annotation of a C++ parameter or result type; any type without its
// own rule is a bound class.
template <class T>
struct Annotation {
    static Expr get() { return class_id<T>(); }
};

template <class T>
Expr annotation() {
    return Annotation<std::remove_cvref_t<T>>::get();
}

template <>
struct Annotation<double> {
    static Expr get() { return builtin("float"); }
};
template <>
struct Annotation<std::uint64_t> {
    static Expr get() { return builtin("int"); }
};
template <>
struct Annotation<bool> {
    static Expr get() { return builtin("bool"); }
};
template <>
struct Annotation<std::string> {
    static Expr get() { return builtin("str"); }
};
template <>
struct Annotation<Joined> : Annotation<std::string> {};
template <>
struct Annotation<void> {
    static Expr get() { return name("None"); }
};
template <class T>
struct Annotation<lumora::Array<T>> {
    static Expr get() { return subscript(builtin("list"), annotation<T>()); }
};
template <class T, std::size_t N>
struct Annotation<std::array<T, N>> {
    static Expr get() { return subscript(builtin("list"), annotation<T>()); }
};
template <class T, class F>
struct Annotation<ListOf<T, F>> {
    static Expr get() { return subscript(builtin("list"), annotation<std::invoke_result_t<const F&, const T&>>()); }
};
template <class... T>
struct Annotation<std::tuple<T...>> {
    static Expr get() { return subscript(builtin("tuple"), tuple({annotation<T>()...})); }
};
template <class A, class B>
struct Annotation<std::pair<A, B>> : Annotation<std::tuple<A, B>> {};
template <class T>
struct Annotation<SequenceOf<T>> {
    static Expr get() { return subscript(attribute(name("collections.abc"), "Sequence"), annotation<T>()); }
};
template <class T>
struct Annotation<std::optional<T>> {
    static Expr get() { return bitor_(annotation<T>(), none()); }
};

// A parameter type that is keyword-only and optional (defaulting to None)
// says so with a `keyword_only` member; such parameters come last.
template <class T>
constexpr bool is_keyword_only = requires { std::remove_cvref_t<T>::keyword_only; };

struct Param {
    std::string name;
    Expr annotation;
    bool keyword_only = false;
};

// One function record: a class member (`owner` set) or a module function.
struct Function {
    PyType_Spec& (*owner)() = nullptr;
    std::string name;
    // "self", "cls", or empty for static methods and module functions.
    std::string receiver;
    std::vector<Param> params;
    Expr returns;
    std::vector<Expr> decorators;
    // Tells apart records of one name (a property's getter and setter).
    std::string role;
};

// The generator's collection of descriptions; null in the module.
inline std::vector<Function>* sink = nullptr;

// Adds make()'s description when the generator is listening.
template <class Make>
void describe(Make&& make) {
    if (sink) sink->push_back(make());
}

// Parameter records from parallel lists of names and C++ types.
template <class... A, std::size_t... I>
std::vector<Param> params(const char* const* names, std::tuple<A...>*, std::index_sequence<I...>) {
    return {Param{names[I], annotation<A>(), is_keyword_only<A>}...};
}
template <class... A>
std::vector<Param> params(const char* const* names, std::tuple<A...>* types) {
    return params(names, types, std::index_sequence_for<A...>{});
}

} // namespace record
} // namespace bind
