#pragma once

#include <Python.h>

#include "python/binding/callable.hpp"

// Adding names to the module: each name is appended to __all__ (created by the first addition)
// and then set as a module attribute. Every function returns 0, or -1 with the exception set.

namespace kavro::python::binding {

int add_name(PyObject* module, const char* name, PyObject* value);

template <Bound T>
int add_class(PyObject* module) {
    PyTypeObject* type = type_object<T>();
    if (type == nullptr) return -1;
    return add_name(module, Binding<T>::name.chars, reinterpret_cast<PyObject*>(type));
}

// A built-in function bound to the module, so its __module__ is the module's __name__.
int add_function_definition(PyObject* module, PyMethodDef* definition);

template <FixedText Doc, auto Fn>
int add_function(PyObject* module) {
    static PyMethodDef definition = function<Doc, Fn>();
    return add_function_definition(module, &definition);
}

}  // namespace kavro::python::binding
