#pragma once
// Calling conventions: how an entry's C++ function is called from Python.
// Arguments are bound by name and position, the receiver is held, each
// argument converted by its declared type, and the result wrapped.

#include "bind/convert.hpp"
#include "bind/record.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>

namespace bind {

// A string usable as a template argument: entries name themselves at
// compile time.
template <std::size_t N>
struct Name {
    char s[N];
    constexpr Name(const char (&text)[N]) { std::copy_n(text, N, s); }
};

// The parameter names of an entry, closed by a null.
template <Name... Params>
inline constexpr const char* param_names[sizeof...(Params) + 1] = {Params.s..., nullptr};

// Binds the fast-call vector to `n` parameters, filling `slots` in parameter
// order, or raises the TypeError. The first `positional` are required and
// positional-or-keyword; the rest are optional and keyword-only, their slots
// left null when not given. `owner` is "<Class>." for methods and "" for
// module functions.
bool bind_arguments(const char* owner, const char* fn, const char* const* names, std::size_t n, std::size_t positional,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
// The same for a constructor's argument tuple and keyword dictionary.
bool bind_arguments(const char* owner, const char* fn, const char* const* names, std::size_t n, std::size_t positional,
                    PyObject* args, PyObject* kwargs, PyObject** slots);

// "fn($self, a, *, out=None)\n--\n\n": the text signature the interpreter
// reads from a docstring, with each keyword-only parameter's default.
std::string text_signature(const char* fn, bool with_self, const char* const* names, std::size_t n,
                           std::size_t positional, const char* const* defaults);

// Method tables hold every calling convention as a PyCFunction.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---------------------------------------------------------------- signatures

template <class F>
struct Signature;

template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
    using Self = void;
};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) const> {
    using Result = R;
    using Args = std::tuple<A...>;
    using Self = C;
};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) const noexcept> : Signature<R (C::*)(A...) const> {};
template <class R, class... A>
struct Signature<R (*)(A...) noexcept> : Signature<R (*)(A...)> {};
// Captureless lambdas: the receiver, if any, is named by the caller.
template <class L>
    requires requires { &L::operator(); }
struct Signature<L> : Signature<decltype(+std::declval<L>())> {};

template <auto F>
using ArgsOf = typename Signature<decltype(F)>::Args;
template <auto F>
using ResultOf = typename Signature<decltype(F)>::Result;

// The receiver type and the remaining parameters of F used as a method: a
// member function's class and parameters, or else (lambdas and plain
// functions) its first parameter and the rest.
template <class Self, class Args>
struct MethodParts {
    using Receiver = Self;
    using Params = Args;
};
template <class First, class... Rest>
struct MethodParts<void, std::tuple<First, Rest...>> {
    using Receiver = std::remove_cvref_t<First>;
    using Params = std::tuple<Rest...>;
};

template <auto F>
using SelfOf = typename MethodParts<typename Signature<decltype(F)>::Self, ArgsOf<F>>::Receiver;
template <auto F>
using ParamsOf = typename MethodParts<typename Signature<decltype(F)>::Self, ArgsOf<F>>::Params;

// How many of the parameter types come before the keyword-only ones.
template <class Types>
constexpr std::size_t positional_of = 0;
template <class... A>
constexpr std::size_t positional_of<std::tuple<A...>> = (std::size_t{0} + ... + !record::is_keyword_only<A>);

// ---------------------------------------------------------------- calls

// Calls F with converted arguments and wraps its result. `self` is the
// receiver's value, or nothing for static methods and functions.
template <auto F, class... Self, class... A>
PyObject* call_converted(std::tuple<A...>*, PyObject* const* objs, const char* const* names, Self&... self) {
    std::tuple<ArgFor<A>...> args;
    if (!load_all<A...>(args, objs, names, std::index_sequence_for<A...>{})) return nullptr;
    return std::apply(
        [&](auto&... arg) -> PyObject* {
            using R = decltype(std::invoke(F, self..., arg.get()...));
            if constexpr (std::is_void_v<R>) {
                std::invoke(F, self..., arg.get()...);
                Py_RETURN_NONE;
            } else {
                return to_python(std::invoke(F, self..., arg.get()...));
            }
        },
        args);
}

// The calling conventions of the entries of Owner, the bound core type of a
// class, or void for module functions.
template <class Owner>
struct Call {
    // "<Class>." for members, "" for module functions: how errors name them.
    static const char* owner_prefix() {
        if constexpr (std::is_void_v<Owner>) {
            return "";
        } else {
            static const std::string prefix = std::string(Class<Owner>::name()) + ".";
            return prefix.c_str();
        }
    }

    // Puts the fast-call vector in parameter order: `args` stays when it
    // holds exactly the parameters by position, else it becomes `slots` as
    // bound. The first `Positional` are the positional ones. False with the
    // TypeError set.
    template <Name Fn, std::size_t Positional, Name... Params>
    static bool bind_fast(PyObject* const*& args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
        constexpr std::size_t n = sizeof...(Params);
        if (n == 0 || (!kwnames && Positional == n && nargs == Py_ssize_t{n})) return true;
        if (!bind_arguments(owner_prefix(), Fn.s, param_names<Params...>, n, Positional, args, nargs, kwnames, slots))
            return false;
        args = slots;
        return true;
    }

    // Every entry with a receiver: the receiver is held by Hold (Receiver:
    // shared, MutableReceiver: exclusive) after binding and before any
    // argument is converted.
    template <auto F, Name Fn, template <class> class Hold, Name... Params>
    static PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* slots[sizeof...(Params) + 1];
            if (!bind_fast<Fn, positional_of<ParamsOf<F>>, Params...>(args, nargs, kwnames, slots)) return nullptr;
            Hold<SelfOf<F>> r;
            if (!r.take(self)) return nullptr;
            return call_converted<F>((ParamsOf<F>*)nullptr, args, param_names<Params...>, r.value());
        });
    }

    // The same for F(const Owner&) alone: getters and unary slots.
    template <auto F, Name Fn>
    static PyObject* receiver(PyObject* self) {
        return method<F, Fn, Receiver>(self, nullptr, 0, nullptr);
    }

    // Static methods and module functions: F(params...).
    template <auto F, Name Fn, Name... Params>
    static PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* slots[sizeof...(Params) + 1];
            if (!bind_fast<Fn, positional_of<ArgsOf<F>>, Params...>(args, nargs, kwnames, slots)) return nullptr;
            return call_converted<F>((ArgsOf<F>*)nullptr, args, param_names<Params...>);
        });
    }

    // __new__'s argument tuple and keyword dictionary.
    template <auto F, Name... Params>
    static PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return entry<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* slots[sizeof...(Params) + 1];
            if (!bind_arguments(owner_prefix(), "__new__", param_names<Params...>, sizeof...(Params),
                                positional_of<ArgsOf<F>>, args, kwargs, slots))
                return nullptr;
            return call_converted<F>((ArgsOf<F>*)nullptr, slots, param_names<Params...>);
        });
    }

    // One attempt at a binary operator F(const Owner&, other): nullptr when
    // the operands do not fit, with no error set.
    template <auto F>
    static PyObject* binary(PyObject* self, PyObject* other) {
        using Param = std::tuple_element_t<0, ParamsOf<F>>;
        Receiver<Owner> r;
        if (!r.try_take(self)) return nullptr;
        ArgFor<Param> arg;
        if (!arg.load(other)) {
            PyErr_Clear();
            return nullptr;
        }
        return to_python(std::invoke(F, r.value(), arg.get()));
    }
};

} // namespace bind
