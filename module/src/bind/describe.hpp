#pragma once
// Record describers: what each kind of entry tells the record generator
// about itself, from the C++ types it binds. Nothing is built unless the
// generator listens.

#include "bind/call.hpp"
#include "bind/record.hpp"

#include <cstddef>
#include <tuple>
#include <utility>
#include <vector>

namespace bind {

// An operand that is a number is named for its side of the operator; any
// other operand is `other`.
template <class T>
constexpr const char* operand_name(bool reflected) {
    if (!std::is_arithmetic_v<std::remove_cvref_t<T>>) return "other";
    return reflected ? "lhs" : "rhs";
}

// The describers of the entries of Owner, the bound core type of a class,
// or void for module functions.
template <class Owner>
struct Describe {
    static record::Function function(const char* name, const char* receiver, std::vector<record::Param> params,
                                     record::Expr returns, std::vector<record::Expr> decorators = {},
                                     const char* role = "") {
        record::Function f{nullptr, name, receiver, std::move(params), std::move(returns), std::move(decorators), role};
        if constexpr (!std::is_void_v<Owner>) f.owner = &Class<Owner>::spec;
        return f;
    }

    template <class Types, Name... Params>
    static std::vector<record::Param> params() {
        static_assert(sizeof...(Params) == std::tuple_size_v<Types>, "one name per parameter");
        return record::params(param_names<Params...>, (Types*)nullptr);
    }

    // A method F(const Owner&, params...) called `name`.
    template <auto F, Name... Params>
    static void method(const char* name) {
        record::describe([&] {
            return function(name, "self", params<ParamsOf<F>, Params...>(), record::annotation<ResultOf<F>>());
        });
    }

    // A static method (with Owner void, a module function) F(params...).
    template <auto F, Name... Params>
    static void static_function(const char* name) {
        record::describe([&] {
            std::vector<record::Expr> decorators;
            if constexpr (!std::is_void_v<Owner>) decorators.push_back(record::name("staticmethod"));
            return function(name, "", params<ArgsOf<F>, Params...>(), record::annotation<ResultOf<F>>(),
                            std::move(decorators));
        });
    }

    // __new__ from F(params...).
    template <auto F, Name... Params>
    static void constructor() {
        record::describe([] {
            return function("__new__", "cls", params<ArgsOf<F>, Params...>(), record::annotation<ResultOf<F>>());
        });
    }

    // A read-only property, or the getter of a read-write one.
    template <class Result>
    static void getter(const char* prop) {
        record::describe(
            [&] { return function(prop, "self", {}, record::annotation<Result>(), {record::name("property")}); });
    }

    // The setter of a read-write property.
    template <class Value>
    static void setter(const char* prop) {
        record::describe([&] {
            auto setter = record::attribute(record::attribute(record::class_id<Owner>(), prop), "setter");
            return function(prop, "self", {{"value", record::annotation<Value>()}}, record::name("None"), {setter},
                            "setter");
        });
    }

    // A method of the receiver alone.
    template <class Result>
    static void unary(const char* name) {
        record::describe([&] { return function(name, "self", {}, record::annotation<Result>()); });
    }

    // One side of a binary operator F(const Owner&, operand).
    template <auto F>
    static void operand(const char* name, bool reflected) {
        using Operand = std::tuple_element_t<0, ParamsOf<F>>;
        record::describe([&] {
            return function(name, "self", {{operand_name<Operand>(reflected), record::annotation<Operand>()}},
                            record::annotation<ResultOf<F>>());
        });
    }

    // A comparison with another instance.
    static void comparison(const char* name) {
        record::describe(
            [&] { return function(name, "self", {{"other", record::class_id<Owner>()}}, record::annotation<bool>()); });
    }
};

} // namespace bind
