#pragma once
// Table builders: every method, function, property and slot of a class is one
// entry naming a plain C++ function and its parameter names. Each entry joins
// a calling convention (bind/call.hpp) with its record (bind/describe.hpp).

#include "bind/call.hpp"
#include "bind/describe.hpp"
#include "bind/reference.hpp"

#include <array>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace bind {

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

enum class Compare {
    // == and != computed directly.
    equality,
    // == only; != negates the interpreter's full ==.
    equality_only,
    // <, <=, ==, >, >=; != negates the interpreter's full ==.
    ordered,
};

// One entry of a class's slot table: one slot, or several that belong
// together (an item protocol, a buffer export), spliced in order. A
// constructor also gives the class its docstring, whose text signature
// `doc(class name)` makes from the constructor's parameter names.
struct Slots {
    Slots(PyType_Slot slot) : slots{slot} {}
    Slots(int slot, void* pfunc) : slots{{slot, pfunc}} {}
    template <std::size_t N>
    Slots(const std::array<PyType_Slot, N>& group) : slots(group.begin(), group.end()) {}
    Slots(PyType_Slot slot, std::string (*make_doc)(const char*)) : slots{slot}, doc(make_doc) {}

    std::vector<PyType_Slot> slots;
    std::string (*doc)(const char*) = nullptr;
};

// Owner is the bound core type of a class, or void for module functions.
template <class Owner>
struct Def {
    using C = Call<Owner>;
    using D = Describe<Owner>;

    // An instance method: F(const Owner&, params...).
    template <auto F, Name Fn, Name... Params>
    static PyMethodDef method() {
        D::template method<F, Params...>(Fn.s);
        if constexpr (sizeof...(Params) == 0) {
            return {Fn.s, as_cfunction(+[](PyObject* self, PyObject*) { return C::template receiver<F, Fn>(self); }),
                    METH_NOARGS, doc<Fn, true, ParamsOf<F>, Params...>()};
        } else {
            return {Fn.s, as_cfunction(&C::template method<F, Fn, Receiver, Params...>), METH_FASTCALL | METH_KEYWORDS,
                    doc<Fn, true, ParamsOf<F>, Params...>()};
        }
    }

    // An instance method that changes its receiver: F(Owner&, params...).
    // The receiver is held exclusively before any argument is converted.
    template <auto F, Name Fn, Name... Params>
    static PyMethodDef mutator() {
        D::template method<F, Params...>(Fn.s);
        return {Fn.s, as_cfunction(&C::template method<F, Fn, MutableReceiver, Params...>),
                METH_FASTCALL | METH_KEYWORDS, doc<Fn, true, ParamsOf<F>, Params...>()};
    }

    // A static method (or, with Owner = void, a module function): F(params...).
    template <auto F, Name Fn, Name... Params>
    static PyMethodDef function() {
        D::template static_function<F, Params...>(Fn.s);
        const int stat = std::is_void_v<Owner> ? 0 : METH_STATIC;
        if constexpr (sizeof...(Params) == 0) {
            return {Fn.s, as_cfunction(+[](PyObject*, PyObject*) {
                        return C::template function<F, Fn>(nullptr, nullptr, 0, nullptr);
                    }),
                    METH_NOARGS | stat, doc<Fn, false, ArgsOf<F>, Params...>()};
        } else {
            return {Fn.s, as_cfunction(&C::template function<F, Fn, Params...>), METH_FASTCALL | METH_KEYWORDS | stat,
                    doc<Fn, false, ArgsOf<F>, Params...>()};
        }
    }

    // A read-write property over a field of the core value. The setter
    // converts its value before it takes the exclusive hold.
    template <auto Field, Name Prop>
    static PyGetSetDef property() {
        using FieldType = std::remove_cvref_t<decltype(std::declval<Owner&>().*Field)>;
        D::template getter<FieldType>(Prop.s);
        D::template setter<FieldType>(Prop.s);
        return {Prop.s, &get_field<Field>, &set_field<Field>, "", nullptr};
    }

    // A read-only property computed by F(const Owner&).
    template <auto F, Name Prop>
    static PyGetSetDef getter() {
        D::template getter<ResultOf<F>>(Prop.s);
        return {Prop.s, +[](PyObject* self, void*) { return C::template receiver<F, Prop>(self); }, nullptr, "",
                nullptr};
    }

    // __new__: F(params...) makes the value. The class's docstring opens
    // with its text signature, "Name(params)".
    template <auto F, Name... Params>
    static Slots constructor() {
        D::template constructor<F, Params...>();
        return {{Py_tp_new, reinterpret_cast<void*>(&C::template constructor<F, Params...>)}, +[](const char* cls) {
                    return text_signature(cls, false, param_names<Params...>, sizeof...(Params),
                                          positional_of<ArgsOf<F>>, record::Defaults<ArgsOf<F>>::get());
                }};
    }

    // The spec of a class: a heap type named "builtins.<Name>", with the
    // default flags only, so it is final, not collected, and has no __dict__
    // or weak references. `instantiable` false also refuses calls to the
    // class (a class without a constructor). The class, its methods and its
    // properties get their reference text. Called once per class.
    static PyType_Spec type_spec(const char* name, std::span<const Slots> entries, bool instantiable = true) {
        static std::vector<PyType_Slot> table;
        std::string signature;
        for (const Slots& entry : entries) {
            table.insert(table.end(), entry.slots.begin(), entry.slots.end());
            if (entry.doc) signature = entry.doc(after_last_dot(name));
        }
        const char* doc = document_class(after_last_dot(name), table, signature);
        table.push_back({Py_tp_doc, const_cast<char*>(doc)});
        table.push_back({0, nullptr});
        const unsigned int flags = Py_TPFLAGS_DEFAULT | (instantiable ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION);
        return {name, sizeof(Instance<Owner>), 0, flags, table.data()};
    }

    static PyType_Slot dealloc() { return {Py_tp_dealloc, reinterpret_cast<void*>(&Class<Owner>::dealloc)}; }

    // __repr__ from F(const Owner&) -> std::string.
    template <auto F>
    static PyType_Slot repr() {
        D::template unary<ResultOf<F>>("__repr__");
        return {Py_tp_repr, reinterpret_cast<void*>(&C::template receiver<F, "__repr__">)};
    }

    // __hash__ from F(const Owner&) -> uint64: reinterpreted as signed, with
    // -1 (reserved for errors) answered as -2.
    template <auto F>
    static PyType_Slot hash() {
        D::template unary<ResultOf<F>>("__hash__");
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
        D::template operand<F>(ops.forward, false);
        if constexpr (R != nullptr) D::template operand<R>(ops.reflected, true);
        return {Slot, reinterpret_cast<void*>(+[](PyObject* left, PyObject* right) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
                        if (PyObject* res = C::template binary<F>(left, right)) return res;
                        if constexpr (R != nullptr) {
                            if (PyObject* res = C::template binary<R>(right, left)) return res;
                        }
                        Py_RETURN_NOTIMPLEMENTED;
                    });
                })};
    }

    // A unary number slot: a receiver error raises normally.
    template <int Slot, auto F, Name Fn>
    static PyType_Slot unary() {
        D::template unary<ResultOf<F>>(Fn.s);
        return {Slot, reinterpret_cast<void*>(&C::template receiver<F, Fn>)};
    }

    // __len__ from F(const Owner&) -> count, as the mapping length.
    template <auto F>
    static PyType_Slot length() {
        D::template unary<ResultOf<F>>("__len__");
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
        D::template unary<ResultOf<F>>("__iter__");
        return {Py_tp_iter, reinterpret_cast<void*>(&C::template receiver<F, "__iter__">)};
    }

    // __iter__ of an iterator: the object itself, once no exclusive hold is
    // on it.
    static PyType_Slot iter_self() {
        D::template unary<Owner>("__iter__");
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
        D::template unary<ResultOf<F>>("__next__");
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
    static Slots getitem() {
        D::template method<F, Param>("__getitem__");
        constexpr auto subscript = +[](PyObject* self, PyObject* key) {
            return C::template method<F, "__getitem__", Receiver, Param>(self, &key, 1, nullptr);
        };
        return std::array<PyType_Slot, 2>{
            {{Py_mp_subscript, reinterpret_cast<void*>(subscript)},
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
        for (const char* name : computed)
            D::comparison(name);
        return {Py_tp_richcompare, reinterpret_cast<void*>(+[](PyObject* self, PyObject* other, int op) -> PyObject* {
                    return entry<PyObject*>(nullptr, [&] { return compare<Kind>(self, other, op); });
                })};
    }

  private:
    // The text signature of a method, which opens its docstring.
    template <Name Fn, bool WithSelf, class Types, Name... Params>
    static const char* doc() {
        static const std::string text = text_signature(Fn.s, WithSelf, param_names<Params...>, sizeof...(Params),
                                                       positional_of<Types>, record::Defaults<Types>::get());
        return text.c_str();
    }

    // O defers forming `const Owner&`, so that Def<void> (module functions)
    // can be instantiated.
    template <auto Field, class O = Owner>
    static auto read_field(const O& v) {
        return v.*Field;
    }

    template <auto Field>
    static PyObject* get_field(PyObject* self, void*) {
        return C::template receiver<&read_field<Field>, "getter">(self);
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
