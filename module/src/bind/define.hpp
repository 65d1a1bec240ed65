#pragma once
// Table builders: every method, function, property and slot of a class is one
// entry naming a plain C++ function and its parameter names. Binding,
// conversion, holds, result wrapping and error mapping live here, once.

#include "bind/convert.hpp"
#include "bind/record.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <span>
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

template <auto F>
using ArgsOf = typename Signature<decltype(F)>::Args;

// How many of the parameter types come before the keyword-only ones.
template <class Types>
constexpr std::size_t positional_of = 0;
template <class... A>
constexpr std::size_t positional_of<std::tuple<A...>> = (std::size_t{0} + ... + !record::is_keyword_only<A>);
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

// Method tables hold every calling convention as a PyCFunction.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

std::string text_signature(const char* fn, bool with_self, const char* const* names, std::size_t n,
                           std::size_t positional);

// ---------------------------------------------------------------- tables

// The method names of a binary number slot, forward and reflected.
struct OperatorNames {
    const char* forward;
    const char* reflected;
};
constexpr OperatorNames operator_names(int slot) {
    switch (slot) {
    case Py_nb_add:
        return {"__add__", "__radd__"};
    case Py_nb_subtract:
        return {"__sub__", "__rsub__"};
    case Py_nb_multiply:
        return {"__mul__", "__rmul__"};
    case Py_nb_true_divide:
        return {"__truediv__", "__rtruediv__"};
    default:
        return {nullptr, nullptr};
    }
}

// An operand that is a number is named for its side of the operator; any
// other operand is `other`.
template <class T>
constexpr const char* operand_name(bool reflected) {
    if (!std::is_arithmetic_v<std::remove_cvref_t<T>>) return "other";
    return reflected ? "lhs" : "rhs";
}

enum class Compare {
    // == and != computed directly.
    equality,
    // == only; != negates the interpreter's full ==.
    equality_only,
    // <, <=, ==, >, >=; != negates the interpreter's full ==.
    ordered,
};

// Owner is the bound core type of a class, or void for module functions.
template <class Owner>
struct Def {
    static const char* owner_prefix() {
        if constexpr (std::is_void_v<Owner>) {
            return "";
        } else {
            static const std::string prefix = std::string(Class<Owner>::name()) + ".";
            return prefix.c_str();
        }
    }

    // An instance method: F(const Owner&, params...).
    template <auto F, Name Fn, Name... Params>
    static PyMethodDef method() {
        record::describe([] {
            return described(Fn.s, "self", described_params<ParamsOf<F>, Params...>(),
                             record::annotation<ResultOf<F>>());
        });
        static const std::string doc =
            text_signature(Fn.s, true, names<Params...>, sizeof...(Params), positional_of<ParamsOf<F>>);
        if constexpr (sizeof...(Params) == 0) {
            return {Fn.s, as_cfunction(+[](PyObject* self, PyObject*) { return call_receiver<F, Fn>(self); }),
                    METH_NOARGS, doc.c_str()};
        } else {
            return {Fn.s, as_cfunction(&call_method<F, Fn, Receiver, Params...>), METH_FASTCALL | METH_KEYWORDS,
                    doc.c_str()};
        }
    }

    // An instance method that changes its receiver: F(Owner&, params...).
    // The receiver is held exclusively before any argument is converted.
    template <auto F, Name Fn, Name... Params>
    static PyMethodDef mutator() {
        record::describe([] {
            return described(Fn.s, "self", described_params<ParamsOf<F>, Params...>(),
                             record::annotation<ResultOf<F>>());
        });
        static const std::string doc =
            text_signature(Fn.s, true, names<Params...>, sizeof...(Params), positional_of<ParamsOf<F>>);
        return {Fn.s, as_cfunction(&call_method<F, Fn, MutableReceiver, Params...>), METH_FASTCALL | METH_KEYWORDS,
                doc.c_str()};
    }

    // A static method (or, with Owner = void, a module function): F(params...).
    template <auto F, Name Fn, Name... Params>
    static PyMethodDef function() {
        record::describe([] {
            std::vector<record::Expr> decorators;
            if constexpr (!std::is_void_v<Owner>) decorators.push_back(record::name("staticmethod"));
            return described(Fn.s, "", described_params<ArgsOf<F>, Params...>(), record::annotation<ResultOf<F>>(),
                             std::move(decorators));
        });
        static const std::string doc =
            text_signature(Fn.s, false, names<Params...>, sizeof...(Params), positional_of<ArgsOf<F>>);
        const int stat = std::is_void_v<Owner> ? 0 : METH_STATIC;
        if constexpr (sizeof...(Params) == 0) {
            return {Fn.s, as_cfunction(+[](PyObject*, PyObject*) {
                        return call_function<F, Fn>(nullptr, nullptr, 0, nullptr);
                    }),
                    METH_NOARGS | stat, doc.c_str()};
        } else {
            return {Fn.s, as_cfunction(&call_function<F, Fn, Params...>), METH_FASTCALL | METH_KEYWORDS | stat,
                    doc.c_str()};
        }
    }

    // A read-write property over a field of the core value. The setter
    // converts its value before it takes the exclusive hold.
    template <auto Field, Name Prop>
    static PyGetSetDef property() {
        using FieldType = std::remove_cvref_t<decltype(std::declval<Owner&>().*Field)>;
        describe_getter<FieldType>(Prop.s);
        record::describe([] {
            auto setter = record::attribute(record::attribute(record::class_id<Owner>(), Prop.s), "setter");
            return described(Prop.s, "self", {{"value", record::annotation<FieldType>()}}, record::name("None"),
                             {setter}, "setter");
        });
        return {Prop.s, &get_field<Field>, &set_field<Field>, "", nullptr};
    }

    // A read-only property computed by F(const Owner&).
    template <auto F, Name Prop>
    static PyGetSetDef getter() {
        describe_getter<ResultOf<F>>(Prop.s);
        return {Prop.s, +[](PyObject* self, void*) { return call_receiver<F, Prop>(self); }, nullptr, "", nullptr};
    }

    // __new__: F(params...) makes the value.
    template <auto F, Name... Params>
    static PyType_Slot constructor() {
        record::describe([] {
            return described("__new__", "cls", described_params<ArgsOf<F>, Params...>(),
                             record::annotation<ResultOf<F>>());
        });
        return {Py_tp_new, reinterpret_cast<void*>(+[](PyTypeObject*, PyObject* args, PyObject* kwargs) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
                        PyObject* slots[sizeof...(Params) + 1];
                        if (!bind_arguments(owner_prefix(), "__new__", names<Params...>, sizeof...(Params),
                                            positional_of<ArgsOf<F>>, args, kwargs, slots))
                            return nullptr;
                        return call_converted<F>((ArgsOf<F>*)nullptr, slots, names<Params...>);
                    });
                })};
    }

    // The spec of a class: a heap type named "builtins.<Name>", with the
    // default flags only, so it is final, not collected, and has no __dict__
    // or weak references. `instantiable` false also refuses calls to the
    // class (a class without a constructor).
    static PyType_Spec type_spec(const char* name, PyType_Slot* slots, bool instantiable = true) {
        const unsigned int flags = Py_TPFLAGS_DEFAULT | (instantiable ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION);
        return {name, sizeof(Instance<Owner>), 0, flags, slots};
    }

    static PyType_Slot dealloc() { return {Py_tp_dealloc, reinterpret_cast<void*>(&Class<Owner>::dealloc)}; }

    // __repr__ from F(const Owner&) -> std::string.
    template <auto F>
    static PyType_Slot repr() {
        describe_unary<ResultOf<F>>("__repr__");
        return {Py_tp_repr, reinterpret_cast<void*>(&call_receiver<F, "__repr__">)};
    }

    // __hash__ from F(const Owner&) -> uint64: reinterpreted as signed, with
    // -1 (reserved for errors) answered as -2.
    template <auto F>
    static PyType_Slot hash() {
        describe_unary<ResultOf<F>>("__hash__");
        return {Py_tp_hash, reinterpret_cast<void*>(+[](PyObject* self) -> Py_hash_t {
                    return entry<Py_hash_t>(-1, [&]() -> Py_hash_t {
                        Receiver<Owner> r;
                        if (!r.take(self)) return -1;
                        const auto h = static_cast<Py_hash_t>(std::invoke(F, r.value()));
                        return h == -1 ? -2 : h;
                    });
                })};
    }

    // A binary number slot. The forward form F(const Owner& left, right) is
    // tried first, then the reflected form R(const Owner& right, left) if
    // given; any operand that does not fit answers NotImplemented, and no
    // conversion error escapes.
    template <int Slot, auto F, auto R = nullptr>
    static PyType_Slot binary() {
        constexpr OperatorNames ops = operator_names(Slot);
        static_assert(ops.forward, "a binary slot without method names");
        describe_operand<F>(ops.forward, false);
        if constexpr (R != nullptr) describe_operand<R>(ops.reflected, true);
        return {Slot, reinterpret_cast<void*>(+[](PyObject* left, PyObject* right) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
                        if (PyObject* res = try_binary<F>(left, right)) return res;
                        if constexpr (R != nullptr) {
                            if (PyObject* res = try_binary<R>(right, left)) return res;
                        }
                        Py_RETURN_NOTIMPLEMENTED;
                    });
                })};
    }

    // A unary number slot: a receiver error raises normally.
    template <int Slot, auto F, Name Fn>
    static PyType_Slot unary() {
        describe_unary<ResultOf<F>>(Fn.s);
        return {Slot, reinterpret_cast<void*>(&call_receiver<F, Fn>)};
    }

    // __len__ from F(const Owner&) -> count, as the mapping length.
    template <auto F>
    static PyType_Slot length() {
        describe_unary<ResultOf<F>>("__len__");
        return {Py_mp_length, reinterpret_cast<void*>(+[](PyObject* self) -> Py_ssize_t {
                    return entry<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
                        Receiver<Owner> r;
                        if (!r.take(self)) return -1;
                        return static_cast<Py_ssize_t>(std::invoke(F, r.value()));
                    });
                })};
    }

    // __iter__ from F(const Owner&), which makes the iterator's value.
    template <auto F>
    static PyType_Slot iter() {
        describe_unary<ResultOf<F>>("__iter__");
        return {Py_tp_iter, reinterpret_cast<void*>(&call_receiver<F, "__iter__">)};
    }

    // __iter__ of an iterator: the object itself, once no exclusive hold is
    // on it.
    static PyType_Slot iter_self() {
        describe_unary<Owner>("__iter__");
        return {Py_tp_iter, reinterpret_cast<void*>(+[](PyObject* self) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
                        Receiver<Owner> r;
                        if (!r.take(self)) return nullptr;
                        return Py_NewRef(self);
                    });
                })};
    }

    // __next__ from F(Owner&) -> std::optional<value>, under the exclusive
    // hold; nothing left is the end, signalled without an exception object.
    template <auto F>
    static PyType_Slot next() {
        describe_unary<ResultOf<F>>("__next__");
        return {Py_tp_iternext, reinterpret_cast<void*>(+[](PyObject* self) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
                        MutableReceiver<Owner> r;
                        if (!r.take(self)) return nullptr;
                        auto item = std::invoke(F, r.value());
                        return item ? to_python(std::move(*item)) : nullptr;
                    });
                })};
    }

    // __getitem__ from F(const Owner&, key). The class also answers the
    // integer item protocol through it, which gives the old sequence
    // iteration (iter(), unpacking, `in`).
    template <auto F, Name Param>
    static std::array<PyType_Slot, 2> getitem() {
        record::describe([] {
            return described("__getitem__", "self", described_params<ParamsOf<F>, Param>(),
                             record::annotation<ResultOf<F>>());
        });
        constexpr auto subscript = +[](PyObject* self, PyObject* key) {
            return call_method<F, "__getitem__", Receiver, Param>(self, &key, 1, nullptr);
        };
        return {{{Py_mp_subscript, reinterpret_cast<void*>(subscript)},
                 {Py_sq_item, reinterpret_cast<void*>(+[](PyObject* self, Py_ssize_t index) -> PyObject* {
                      PyObject* key = PyLong_FromSsize_t(index);
                      if (!key) return nullptr;
                      PyObject* item = subscript(self, key);
                      Py_DECREF(key);
                      return item;
                  })}}};
    }

    // The rich comparison slot, from the core type's own operators.
    template <Compare Kind>
    static PyType_Slot richcompare() {
        // The comparisons computed here; a derived != has no method of its own.
        static constexpr const char* ordered[] = {"__lt__", "__le__", "__eq__", "__gt__", "__ge__"};
        static constexpr const char* equality[] = {"__eq__", "__ne__"};
        const std::span<const char* const> computed = Kind == Compare::ordered    ? std::span(ordered)
                                                      : Kind == Compare::equality ? std::span(equality)
                                                                                  : std::span(equality, 1);
        for (const char* name : computed) {
            record::describe([&] {
                return described(name, "self", {{"other", record::class_id<Owner>()}}, record::annotation<bool>());
            });
        }
        return {Py_tp_richcompare, reinterpret_cast<void*>(+[](PyObject* self, PyObject* other, int op) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&] { return compare<Kind>(self, other, op); });
                })};
    }

  private:
    template <Name... Params>
    static constexpr const char* names[sizeof...(Params) + 1] = {Params.s..., nullptr};

    // ---------------------------------------------------------------- records

    static record::Function described(const char* name, const char* receiver, std::vector<record::Param> params,
                                      record::Expr returns, std::vector<record::Expr> decorators = {},
                                      const char* role = "") {
        record::Function f{nullptr, name, receiver, std::move(params), std::move(returns), std::move(decorators), role};
        if constexpr (!std::is_void_v<Owner>) f.owner = &Class<Owner>::spec;
        return f;
    }

    template <class Types, Name... Params>
    static std::vector<record::Param> described_params() {
        static_assert(sizeof...(Params) == std::tuple_size_v<Types>, "one name per parameter");
        return record::params(names<Params...>, (Types*)nullptr);
    }

    template <class Result>
    static void describe_getter(const char* prop) {
        record::describe(
            [&] { return described(prop, "self", {}, record::annotation<Result>(), {record::name("property")}); });
    }

    // A method of the receiver alone.
    template <class Result>
    static void describe_unary(const char* name) {
        record::describe([&] { return described(name, "self", {}, record::annotation<Result>()); });
    }

    template <auto F>
    static void describe_operand(const char* name, bool reflected) {
        using Operand = std::tuple_element_t<0, ParamsOf<F>>;
        record::describe([&] {
            return described(name, "self", {{operand_name<Operand>(reflected), record::annotation<Operand>()}},
                             record::annotation<ResultOf<F>>());
        });
    }

    // Puts the fast-call vector in parameter order: `args` stays when it
    // holds exactly the parameters by position, else it becomes `slots` as
    // bound. The first `Positional` are the positional ones. False with the
    // TypeError set.
    template <Name Fn, std::size_t Positional, Name... Params>
    static bool bind_fast(PyObject* const*& args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
        constexpr std::size_t n = sizeof...(Params);
        if (n == 0 || (!kwnames && Positional == n && nargs == Py_ssize_t{n})) return true;
        if (!bind_arguments(owner_prefix(), Fn.s, names<Params...>, n, Positional, args, nargs, kwnames, slots))
            return false;
        args = slots;
        return true;
    }

    // The receiver trampoline of every entry with a receiver: the receiver
    // is held by Hold (Receiver: shared, MutableReceiver: exclusive) after
    // binding and before any argument is converted.
    template <auto F, Name Fn, template <class> class Hold, Name... Params>
    static PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* slots[sizeof...(Params) + 1];
            if (!bind_fast<Fn, positional_of<ParamsOf<F>>, Params...>(args, nargs, kwnames, slots)) return nullptr;
            Hold<SelfOf<F>> r;
            if (!r.take(self)) return nullptr;
            return call_converted<F>((ParamsOf<F>*)nullptr, args, names<Params...>, r.value());
        });
    }

    // The same for F(const Owner&) alone: getters and unary slots.
    template <auto F, Name Fn>
    static PyObject* call_receiver(PyObject* self) {
        return call_method<F, Fn, Receiver>(self, nullptr, 0, nullptr);
    }

    template <auto F, Name Fn, Name... Params>
    static PyObject* call_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return entry<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* slots[sizeof...(Params) + 1];
            if (!bind_fast<Fn, positional_of<ArgsOf<F>>, Params...>(args, nargs, kwnames, slots)) return nullptr;
            return call_converted<F>((ArgsOf<F>*)nullptr, args, names<Params...>);
        });
    }

    // O defers forming `const Owner&`, so that Def<void> (module functions)
    // can be instantiated.
    template <auto Field, class O = Owner>
    static auto read_field(const O& v) {
        return v.*Field;
    }

    template <auto Field>
    static PyObject* get_field(PyObject* self, void*) {
        return call_receiver<&read_field<Field>, "getter">(self);
    }

    template <auto Field>
    static int set_field(PyObject* self, PyObject* value, void*) {
        return entry<int>(-1, [&]() -> int {
            if (!value) {
                PyErr_SetString(PyExc_AttributeError, "property has no deleter");
                return -1;
            }
            using FieldType = std::remove_cvref_t<decltype(std::declval<Owner&>().*Field)>;
            // The value is converted, and any hold on it released, before the
            // receiver is held, so `p.normal = p.normal` works.
            FieldType converted;
            {
                ArgFor<FieldType> arg;
                if (!arg.load(value)) {
                    prefix_argument_error("value");
                    return -1;
                }
                converted = arg.get();
            }
            MutableReceiver<Owner> r;
            if (!r.take(self)) return -1;
            r.value().*Field = converted;
            return 0;
        });
    }

    // One attempt at a binary operator: nullptr when the operands do not fit.
    template <auto F>
    static PyObject* try_binary(PyObject* self, PyObject* other) {
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

    template <Compare Kind>
    static PyObject* compare(PyObject* self, PyObject* other, int op) {
        if (Kind != Compare::equality && op == Py_NE) {
            PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
            if (!eq) return nullptr;
            const int truth = PyObject_IsTrue(eq);
            Py_DECREF(eq);
            if (truth < 0) return nullptr;
            return to_python(!truth);
        }
        const bool equality = op == Py_EQ || op == Py_NE;
        if (!(equality || Kind == Compare::ordered) || !Class<Owner>::check(other)) Py_RETURN_NOTIMPLEMENTED;
        // An equality whose operand is being written raises the guard's
        // error: NotImplemented would make the interpreter fall back to
        // identity, a definite and wrong answer. A refused ordering answers
        // NotImplemented, which the interpreter reports as its TypeError.
        Receiver<Owner> r, o;
        if (equality) {
            if (!r.take(self) || !o.take(other)) return nullptr;
        } else if (!r.try_take(self) || !o.try_take(other)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const Owner& a = r.value();
        const Owner& b = o.value();
        switch (op) {
        case Py_EQ:
            return to_python(a == b);
        case Py_NE:
            return to_python(!(a == b));
        default:
            if constexpr (Kind == Compare::ordered) {
                switch (op) {
                case Py_LT:
                    return to_python(a < b);
                case Py_LE:
                    return to_python(a <= b);
                case Py_GT:
                    return to_python(a > b);
                default:
                    return to_python(a >= b);
                }
            }
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
};

// The closing entries of method and property tables.
inline constexpr PyMethodDef end_methods{nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef end_properties{nullptr, nullptr, nullptr, nullptr, nullptr};

} // namespace bind
