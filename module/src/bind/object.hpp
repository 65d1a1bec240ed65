#pragma once
// The object side of the binding toolkit: errors, access guards, instance
// layout and the once-only creation of type objects.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace bind {

// ---------------------------------------------------------------- errors

// Thrown by binding code to raise a Python exception of the given class.
struct Error {
    PyObject* type;
    std::string message;
};

// Thrown when a Python exception is already set.
struct PythonError {};

// The exception class for broken internal invariants, a direct subclass of
// BaseException so that `except Exception` does not swallow it.
PyObject* panic_exception();
void raise_panic(const char* text);

// Runs one entry point from the interpreter. No C++ exception may unwind
// through an interpreter frame: each is turned into a Python error here.
template <class R, class F>
R entry(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const Error& e) {
        PyErr_SetString(e.type, e.message.c_str());
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("internal failure");
    }
    return on_error;
}

// "'<type>' object is not an instance of '<Class>'" (or the None form).
void raise_not_instance(PyObject* obj, const char* class_name);

// Replaces a conversion failure that is exactly a TypeError by
// "<prefix><message>", keeping its cause; any other failure stays.
void prefix_type_error(const std::string& prefix);

// The same with the prefix "argument '<name>': ".
void prefix_argument_error(const char* name);

// ---------------------------------------------------------------- guards

// Per-object access word: 0 free, -1 held exclusively, n > 0 held by n
// readers. Holds never wait; a refused hold is reported to the caller.
using Guard = std::atomic<std::int64_t>;

void raise_already_mutably_borrowed();
void raise_already_borrowed();

inline void release_shared(Guard& g) noexcept { g.fetch_sub(1, std::memory_order_release); }

class SharedHold {
  public:
    SharedHold() = default;
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold() {
        if (guard_) release_shared(*guard_);
    }

    static void raise_refused() { raise_already_mutably_borrowed(); }

    // Leaves the hold taken beyond this object's life; whoever keeps it
    // releases it with release_shared.
    void keep() noexcept { guard_ = nullptr; }

    bool try_take(Guard& g) noexcept {
        std::int64_t n = g.load(std::memory_order_relaxed);
        do {
            if (n == -1) return false;
        } while (!g.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed));
        guard_ = &g;
        return true;
    }

  private:
    Guard* guard_ = nullptr;
};

class ExclusiveHold {
  public:
    ExclusiveHold() = default;
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    ~ExclusiveHold() {
        if (guard_) guard_->store(0, std::memory_order_release);
    }

    static void raise_refused() { raise_already_borrowed(); }

    bool try_take(Guard& g) noexcept {
        std::int64_t expected = 0;
        if (!g.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return false;
        }
        guard_ = &g;
        return true;
    }

  private:
    Guard* guard_ = nullptr;
};

// ---------------------------------------------------------------- once

// A value made once per process by whichever thread gets there first; the
// others wait detached from the interpreter and then use the winner's.
template <class T>
class Once {
  public:
    template <class Make>
    T* get(Make&& make) {
        if (T* v = slot_.load(std::memory_order_acquire)) return v;
        PyMutex_Lock(&lock_);
        T* v = slot_.load(std::memory_order_relaxed);
        if (!v) {
            v = make();
            slot_.store(v, std::memory_order_release);
        }
        PyMutex_Unlock(&lock_);
        return v;
    }

  private:
    std::atomic<T*> slot_{nullptr};
    PyMutex lock_{};
};

// ---------------------------------------------------------------- classes

// The name after the last dot of a qualified name: "Vec3d" of
// "builtins.Vec3d", "geometry" of "lumora.geometry".
inline const char* after_last_dot(const char* name) {
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

// A class whose value never changes once it is made: nothing can conflict
// with a read of it, so its receivers and arguments take no hold, and any
// number of threads read it without touching a shared word.
template <class T>
inline constexpr bool immutable = false;

template <class T>
struct Instance {
    PyObject_HEAD T value;
    Guard guard;
};

// Creates a heap type from a spec: "builtins.<Name>", final, not collected,
// no __dict__, no weak references. Returns nullptr with an error set.
PyTypeObject* create_type(PyType_Spec& spec);

// The Python class of a core type T. Each class file defines spec(); the
// type object is made once per process, on first use, by whichever thread
// gets there first; the others wait detached from the interpreter.
template <class T>
struct Class {
    static PyType_Spec& spec();

    // The bare class name, as used in messages ("Vec3d").
    static const char* name() { return after_last_dot(spec().name); }

    // The type object, or nullptr with the creation error set.
    static PyTypeObject* get_or_create() {
        return once.get([] { return create_type(spec()); });
    }

    // The type object for use inside a call; a failure to create it is an
    // internal failure.
    static PyTypeObject* type() {
        if (PyTypeObject* t = get_or_create()) return t;
        PyErr_Clear();
        throw std::runtime_error(std::string("failed to create type object for `") + name() + "`");
    }

    static bool check(PyObject* obj) { return PyObject_TypeCheck(obj, type()); }

    static Instance<T>* instance(PyObject* obj) { return reinterpret_cast<Instance<T>*>(obj); }

    // A fresh instance holding `value`, its guard free.
    static PyObject* wrap(T value) {
        PyTypeObject* tp = type();
        auto* obj = static_cast<Instance<T>*>(PyObject_Malloc(sizeof(Instance<T>)));
        if (!obj) {
            PyErr_NoMemory();
            throw PythonError{};
        }
        PyObject_Init(reinterpret_cast<PyObject*>(obj), tp);
        new (&obj->value) T(std::move(value));
        new (&obj->guard) Guard(0);
        return reinterpret_cast<PyObject*>(obj);
    }

    static void dealloc(PyObject* obj) {
        PyTypeObject* tp = Py_TYPE(obj);
        if constexpr (!std::is_trivially_destructible_v<T>) instance(obj)->value.~T();
        PyObject_Free(obj);
        Py_DECREF(tp);
    }

  private:
    static inline Once<PyTypeObject> once;
};

// A receiver or class-typed argument: checked to be a T and held by Hold
// (shared, or exclusive for a receiver that is changed) for as long as this
// object lives.
template <class T, class Hold>
class Held {
  public:
    using Value = std::conditional_t<std::is_same_v<Hold, SharedHold>, const T, T>;

    // Sets the Python error and returns false when `obj` is refused. Both
    // forms are inlined always: they are most of every call's receiver and
    // argument work.
    [[gnu::always_inline]] bool take(PyObject* obj) { return take(obj, Class<T>::type()); }
    // The same with T's type object already at hand: nothing here throws.
    [[gnu::always_inline]] bool take(PyObject* obj, PyTypeObject* type) noexcept {
        if (!PyObject_TypeCheck(obj, type)) {
            raise_not_instance(obj, Class<T>::name());
            return false;
        }
        inst_ = Class<T>::instance(obj);
        if (unguarded) return true;
        if (!hold_.try_take(inst_->guard)) {
            Hold::raise_refused();
            return false;
        }
        return true;
    }
    // The same, without setting an error (operators answer NotImplemented).
    bool try_take(PyObject* self) {
        if (!Class<T>::check(self)) return false;
        inst_ = Class<T>::instance(self);
        return unguarded || hold_.try_take(inst_->guard);
    }
    Value& value() const { return inst_->value; }

  private:
    static_assert(!immutable<T> || std::is_same_v<Hold, SharedHold>, "an immutable value is never changed");
    static constexpr bool unguarded = immutable<T>;

    Instance<T>* inst_ = nullptr;
    Hold hold_;
};

template <class T>
using Receiver = Held<T, SharedHold>;
template <class T>
using MutableReceiver = Held<T, ExclusiveHold>;

} // namespace bind
