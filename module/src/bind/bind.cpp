#include "bind/define.hpp"
#include "bind/members.hpp"
#include "bind/text.hpp"

#include "drovak/float_text.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace bind {

// ---------------------------------------------------------------- errors

PyObject* panic_exception() {
    static Once<PyObject> once;
    PyObject* type = once.get([] {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", "An internal invariant of lumora was broken.",
                                         PyExc_BaseException, nullptr);
    });
    if (!type) Py_FatalError("could not create the internal-failure exception class");
    return type;
}

void raise_panic(const char* text) {
    PyObject* type = panic_exception();
    PyErr_SetString(type, text);
}

void raise_not_instance(PyObject* obj, const char* class_name) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", class_name);
        return;
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, class_name);
    Py_DECREF(qualname);
}

void prefix_type_error(const std::string& prefix) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(exc);
        return;
    }
    PyObject* replacement = nullptr;
    if (PyObject* text = PyObject_Str(exc)) {
        replacement = PyObject_CallFunction(PyExc_TypeError, "N", PyUnicode_FromFormat("%s%U", prefix.c_str(), text));
        Py_DECREF(text);
    }
    if (!replacement) {
        Py_DECREF(exc);
        return;
    }
    PyException_SetCause(replacement, PyException_GetCause(exc));
    Py_DECREF(exc);
    PyErr_SetRaisedException(replacement);
}

void prefix_argument_error(const char* name) { prefix_type_error(std::string("argument '") + name + "': "); }

void raise_already_mutably_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed"); }
void raise_already_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }

// ---------------------------------------------------------------- types

PyTypeObject* create_type(PyType_Spec& spec) { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); }

// ---------------------------------------------------------------- conversion

bool Type<std::uint64_t>::load(PyObject* obj) {
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyObject* index = PyNumber_Index(obj);
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    return !(value == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_not_instance(obj, "Sequence");
        return false;
    }
    return true;
}

std::size_t length_hint(PyObject* obj) {
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n);
}

namespace {

// numpy's bool scalar type, recognised by name so numpy need not be loaded.
bool is_numpy_bool(PyTypeObject* type) {
    PyObject* name = PyType_GetName(type);
    if (!name) return PyErr_Clear(), false;
    const bool named = PyUnicode_EqualToUTF8(name, "bool_") || PyUnicode_EqualToUTF8(name, "bool");
    Py_DECREF(name);
    if (!named) return false;
    PyObject* module = PyType_GetModuleName(type);
    if (!module) return PyErr_Clear(), false;
    const bool numpy = PyUnicode_Check(module) && PyUnicode_EqualToUTF8(module, "numpy");
    Py_DECREF(module);
    return numpy;
}

} // namespace

bool Type<bool>::load(PyObject* obj) {
    if (PyBool_Check(obj)) {
        value = obj == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool(type)) {
        raise_not_instance(obj, "bool");
        return false;
    }
    inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (!truth) {
        PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion", type->tp_name);
        return false;
    }
    const int result = truth(obj);
    if (result < 0) return false;
    value = result != 0;
    return true;
}

// ---------------------------------------------------------------- binding

namespace {

std::string display_name(const char* owner, const char* fn) { return std::string(owner) + fn + "()"; }

// "'x'", "'y' and 'z'", "'x', 'y', and 'z'"
std::string name_list(const std::vector<const char*>& names) {
    const std::size_t k = names.size();
    std::string out;
    for (std::size_t i = 0; i < k; ++i) {
        if (i > 0) out += k == 2 ? " and " : (i + 1 == k ? ", and " : ", ");
        out += std::string("'") + names[i] + "'";
    }
    return out;
}

// The binding rule shared by fast calls and tuple/dict calls. `keywords`
// calls its argument with each (name, value) pair in the order given and
// stops at the first false.
template <class Keywords>
bool bind_generic(const char* owner, const char* fn, const char* const* names, std::size_t n, std::size_t positional,
                  PyObject* const* args, Py_ssize_t nargs, Keywords&& keywords, PyObject** slots) {
    // Keyword-only parameters alone: the interpreter's own text for a call
    // that takes no arguments.
    if (positional == 0 && nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s takes no arguments (%zd given)", display_name(owner, fn).c_str(), nargs);
        return false;
    }
    if (static_cast<std::size_t>(nargs) > positional) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     display_name(owner, fn).c_str(), positional, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    const bool keywords_ok = keywords([&](PyObject* key, PyObject* value) {
        for (std::size_t i = 0; i < n; ++i) {
            if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, names[i])) {
                if (slots[i]) {
                    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                                 display_name(owner, fn).c_str(), names[i]);
                    return false;
                }
                slots[i] = value;
                return true;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display_name(owner, fn).c_str(),
                     key);
        return false;
    });
    if (!keywords_ok) return false;
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < positional; ++i) {
        if (!slots[i]) missing.push_back(names[i]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                     display_name(owner, fn).c_str(), missing.size(), missing.size() == 1 ? "" : "s",
                     name_list(missing).c_str());
        return false;
    }
    return true;
}

} // namespace

bool bind_arguments(const char* owner, const char* fn, const char* const* names, std::size_t n, std::size_t positional,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    nargs = PyVectorcall_NARGS(nargs);
    auto keywords = [&](auto&& each) {
        const Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!each(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
        }
        return true;
    };
    return bind_generic(owner, fn, names, n, positional, args, nargs, keywords, slots);
}

bool bind_arguments(const char* owner, const char* fn, const char* const* names, std::size_t n, std::size_t positional,
                    PyObject* args, PyObject* kwargs, PyObject** slots) {
    auto keywords = [&](auto&& each) {
        if (!kwargs) return true;
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!each(key, value)) return false;
        }
        return true;
    };
    return bind_generic(owner, fn, names, n, positional, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords,
                        slots);
}

// ---------------------------------------------------------------- modules

bool add(PyObject* module, const char* name, PyObject* obj) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return false;
    if (!all) {
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    } else if (!PyList_Check(all)) {
        raise_not_instance(all, "list");
        Py_DECREF(all);
        return false;
    }
    PyObject* text = PyUnicode_FromString(name);
    const bool appended = text && PyList_Append(all, text) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (!appended) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttrString(module, name, obj) == 0;
}

bool add_type(PyObject* module, PyTypeObject* type, const char* name) {
    if (!type) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "failed to create type object for `%s`", name);
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, cause);
        PyErr_SetRaisedException(exc);
        return false;
    }
    return add(module, name, reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef& def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    PyObject* fn = PyCFunction_NewEx(&def, module, module_name);
    Py_DECREF(module_name);
    if (!fn) return false;
    PyObject* name = PyObject_GetAttrString(fn, "__name__");
    bool ok = false;
    if (name && !PyUnicode_Check(name)) {
        raise_not_instance(name, "str");
    } else if (name) {
        ok = add(module, PyUnicode_AsUTF8(name), fn);
    }
    Py_XDECREF(name);
    Py_DECREF(fn);
    return ok;
}

namespace {

bool add_submodule(PyObject* parent, PyObject* sub) {
    PyObject* full = PyModule_GetNameObject(sub);
    if (!full) return false;
    const char* name = PyUnicode_AsUTF8(full);
    bool ok = false;
    if (name) ok = add(parent, after_last_dot(name), sub) && PyObject_SetItem(PyImport_GetModuleDict(), full, sub) == 0;
    Py_DECREF(full);
    return ok;
}

} // namespace

Member function_member(PyMethodDef& def, const PyModuleDef& module) {
    def.ml_doc = documented(def.ml_doc ? def.ml_doc : "", std::string(module.m_name) + "." + def.ml_name);
    return &def;
}

bool add_members(PyObject* module, const ModuleBody& body) {
    if (!PyModule_Check(module)) {
        raise_not_instance(module, "module");
        return false;
    }
    const auto attach = Overloaded{
        [&](const ClassMember& c) { return add_type(module, c.type(), after_last_dot(c.spec().name)); },
        [&](PyMethodDef* function) { return add_function(module, *function); },
        [&](const ModuleBody* submodule) {
            PyObject* sub = submodule->object();
            return sub && add_submodule(module, sub);
        },
    };
    for (const Member& m : body.members()) {
        if (!std::visit(attach, m)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- text

PyObject* Type<Joined>::wrap(const Joined& text) {
    std::size_t length = text.prefix.size() + text.suffix.size();
    for (std::size_t k = 0; k < text.parts.size(); ++k)
        length += text.parts[k].size() + (k > 0 ? text.separator.size() : 0);
    PyObject* str = checked(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str));
    const auto put = [&out](const char* p, std::size_t n) {
        if (n) std::memcpy(out, p, n);
        out += n;
    };
    put(text.prefix.data(), text.prefix.size());
    for (std::size_t k = 0; k < text.parts.size(); ++k) {
        if (k > 0) put(text.separator.data(), text.separator.size());
        put(text.parts[k].data(), text.parts[k].size());
    }
    put(text.suffix.data(), text.suffix.size());
    return str;
}

std::string format_floats(std::string_view tmpl, std::initializer_list<double> values) {
    // Every text form of a class fits on the stack.
    char small[2048];
    std::vector<char> large;
    char* buf = small;
    if (const std::size_t room = drovak::floats_text_capacity(tmpl, values.size()); room > sizeof small) {
        large.resize(room);
        buf = large.data();
    }
    return std::string(buf, drovak::write_floats(buf, tmpl, values));
}

} // namespace bind
