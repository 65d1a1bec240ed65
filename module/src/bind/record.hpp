#pragma once
// Descriptions of the Python interface, made by the table builders from the
// C++ types they bind (a type's annotation is part of its rule in
// convert.hpp), for the records the shared object exports. Only the record
// generator listens; in the module `sink` stays null and nothing is built.

#include <string>
#include <utility>
#include <vector>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace bind {

template <class T>
struct Class;

namespace record {

// An annotation or decorator expression.
struct Expr {
    enum class Kind { name, attribute, id, subscript, tuple, binop, constant };
    Kind kind;
    // name: the name; attribute: the attribute; constant: its source.
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
// A constant, as its Python source: "None", "False", "30".
inline Expr constant(std::string source) { return {Expr::Kind::constant, std::move(source), nullptr, {}}; }
inline Expr none() { return constant("None"); }
template <class T>
Expr class_id() {
    return {Expr::Kind::id, "", &Class<T>::spec, {}};
}

struct Param {
    std::string name;
    Expr annotation;
    bool keyword_only = false;
    // A keyword-only parameter's default, as Python source.
    std::string default_source = "None";
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

} // namespace record
} // namespace bind
