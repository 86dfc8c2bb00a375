#pragma once

#include <Python.h>

#include <initializer_list>

#include "python/binding/class_object.hpp"

// Adding names to the module: each name is appended to __all__ (created by the first addition)
// and then set as a module attribute. Every function returns 0, or -1 with the exception set.

namespace kavro::python::binding {

int add_name(PyObject* module, const char* name, PyObject* value);

template <Bound T>
int add_class(PyObject* module) {
    PyTypeObject* type = type_object<T>();
    if (type == nullptr) return -1;
    return add_name(module, class_name<T>(), reinterpret_cast<PyObject*>(type));
}

// A built-in function bound to the module, so its __module__ is the module's __name__.
int add_function_definition(PyObject* module, PyMethodDef* definition);

template <FixedText Doc, auto Fn>
int add_function(PyObject* module) {
    static PyMethodDef definition = function<Doc, Fn>();
    return add_function_definition(module, &definition);
}

// Runs the additions in their order, up to the first that fails.
int add_all(PyObject* module, std::initializer_list<int (*)(PyObject*)> additions);

}  // namespace kavro::python::binding
