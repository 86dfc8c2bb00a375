#pragma once

#include <Python.h>

namespace kavro::python::binding {

// Sets TypeError "'<given type>' object is not an instance of '<expected>'".
inline void raise_not_an_instance(PyObject* object, const char* expected) {
    PyObject* name = PyType_GetName(Py_TYPE(object));
    if (name == nullptr) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
    Py_DECREF(name);
}

}  // namespace kavro::python::binding
