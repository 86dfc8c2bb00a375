#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "python/binding/declare.hpp"

// The class object of each bound type, made from its Binding on first use.

namespace kavro::python::binding {

// `==` and `!=` through T's operator== (another type is never equal); no ordering and no hash.
template <Bound T>
PyObject* richcompare_entry(PyObject* left, PyObject* right, int op) noexcept {
    return guarded([&]() -> PyObject* {
        PyTypeObject* type = type_object<T>();
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(left, type) || !PyObject_TypeCheck(right, type))
            Py_RETURN_NOTIMPLEMENTED;
        auto& a = instance_of<T>(left);
        auto& b = instance_of<T>(right);
        BorrowGuard borrow_a, borrow_b;
        if (!borrow_a.acquire(a.borrow, false) || !borrow_b.acquire(b.borrow, false)) return nullptr;
        const bool equal = a.value == b.value;
        return PyBool_FromLong((op == Py_EQ) == equal);
    });
}

// repr(object) through the binding's `repr` callable (object -> std::string).
template <Bound T>
PyObject* repr_entry(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        auto& object = instance_of<T>(self);
        BorrowGuard borrow;
        if (!borrow.acquire(object.borrow, false)) return nullptr;
        return to_python(std::invoke(Binding<T>::repr, object.value));
    });
}

// The class object of T from its Binding: a heap type named "builtins.<Name>" (so __module__
// reads "builtins"), not subclassable, without instance dict or weak references, not
// instantiable when the binding declares no constructor.
template <Bound T>
PyTypeObject* create_type() {
    using B = Binding<T>;
    static constexpr auto qualified = [] {
        constexpr std::string_view prefix = "builtins.", name = class_name<T>();
        std::array<char, prefix.size() + name.size() + 1> chars{};
        std::copy(name.begin(), name.end(), std::copy(prefix.begin(), prefix.end(), chars.begin()));
        return chars;
    }();
    PyType_Slot slots[10];
    int count = 0;
    slots[count++] = {Py_tp_doc, const_cast<char*>(B::doc.chars)};
    slots[count++] = {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<T>)};
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if constexpr (requires { B::constructor; }) {
        slots[count++] = {Py_tp_new, reinterpret_cast<void*>(&constructor_entry<T, B::doc, B::constructor>)};
    } else {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    if constexpr (requires { B::methods; }) slots[count++] = {Py_tp_methods, records<B::methods>()};
    if constexpr (requires { B::properties; }) slots[count++] = {Py_tp_getset, records<B::properties>()};
    if constexpr (requires { B::equality; }) {
        slots[count++] = {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare_entry<T>)};
        slots[count++] = {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)};
    }
    if constexpr (requires { B::repr; }) slots[count++] = {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<T>)};
    slots[count] = {0, nullptr};
    PyType_Spec spec{qualified.data(), static_cast<int>(sizeof(Instance<T>)), 0, flags, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

template <Bound T>
PyTypeObject* type_object() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_type<T>();
    return type;
}

}  // namespace kavro::python::binding
