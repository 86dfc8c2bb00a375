#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "python/binding/fixed_text.hpp"

// Python objects that own one C++ value each, guarded by a borrow word: 0 free, -1 held
// exclusively, n > 0 held shared by n users. A conflicting use fails at once with RuntimeError
// instead of waiting.

namespace kavro::python::binding {

// Specialised once per bound class in its family file (docstring, constructor, methods,
// properties; a `name` where the class has no constructor). Declaring it makes the C++ type a
// Python class.
template <class T>
struct Binding;

template <class T>
concept Bound = requires { Binding<T>::doc; };

// The Python name of T: its binding's `name`, or else the name in its constructor's text signature
// (the first line of its docstring).
template <Bound T>
constexpr const char* class_name() {
    using B = Binding<T>;
    if constexpr (requires { B::name; }) {
        return B::name.chars;
    } else {
        static_assert(requires { B::constructor; }, "a class without a constructor states its name");
        return SignatureName<B::doc>::text.data();
    }
}

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    std::atomic<std::intptr_t> borrow;
};

template <class T>
Instance<T>& instance_of(PyObject* object) {
    return *reinterpret_cast<Instance<T>*>(object);
}

// The class object of T, created on first use and kept for the life of the process.
template <Bound T>
PyTypeObject* type_object();

// Wraps a value in a new Python object of its class.
template <Bound T>
PyObject* wrap(T&& value) {
    PyTypeObject* type = type_object<T>();
    if (type == nullptr) return nullptr;
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = allocate(type, 0);
    if (object == nullptr) return nullptr;
    auto& self = instance_of<T>(object);
    new (&self.value) T(std::move(value));
    new (&self.borrow) std::atomic<std::intptr_t>(0);
    return object;
}

template <class T>
void deallocate(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    instance_of<T>(object).value.~T();
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(object);
    Py_DECREF(type);
}

class BorrowGuard {
public:
    BorrowGuard() = default;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    BorrowGuard(BorrowGuard&& other) noexcept : word_(std::exchange(other.word_, nullptr)), exclusive_(other.exclusive_) {}
    ~BorrowGuard() { release(); }

    // Takes the word exclusively (it must be free) or shared (it must not be held exclusively);
    // on conflict sets RuntimeError and returns false.
    bool acquire(std::atomic<std::intptr_t>& word, bool exclusive) {
        if (exclusive) {
            std::intptr_t expected = 0;
            if (!word.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return false;
            }
        } else {
            std::intptr_t current = word.load(std::memory_order_relaxed);
            do {
                if (current == -1) {
                    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                    return false;
                }
            } while (!word.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
        }
        word_ = &word;
        exclusive_ = exclusive;
        return true;
    }

private:
    void release() {
        if (word_ == nullptr) return;
        if (exclusive_) word_->store(0, std::memory_order_release);
        else word_->fetch_sub(1, std::memory_order_release);
        word_ = nullptr;
    }

    std::atomic<std::intptr_t>* word_ = nullptr;
    bool exclusive_ = false;
};

// An instance of a bound class passed as an argument, held shared for the call.
template <Bound T>
struct SharedRef {
    const T* value = nullptr;
    BorrowGuard guard;

    const T& get() const { return *value; }
};

}  // namespace kavro::python::binding
