#include "python/binding/registry.hpp"

#include "core/internal_fault.hpp"

namespace kavro::python::binding {

namespace {

// The module's __all__ list, created empty on first use (new reference, or null with an error).
PyObject* all_list(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) != 0) {
            Py_XDECREF(all);
            return nullptr;
        }
        return all;
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
        return nullptr;
    }
    return all;
}

}  // namespace

int add_name(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = all_list(module);
    if (all == nullptr) return -1;
    PyObject* text = PyUnicode_FromString(name);
    const bool appended = text != nullptr && PyList_Append(all, text) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (!appended) internal_fault("could not append to __all__");
    return PyObject_SetAttrString(module, name, value);
}

int add_function_definition(PyObject* module, PyMethodDef* definition) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    PyObject* function = PyCFunction_NewEx(definition, module, module_name);
    Py_DECREF(module_name);
    if (function == nullptr) return -1;
    const int status = add_name(module, definition->ml_name, function);
    Py_DECREF(function);
    return status;
}

int add_all(PyObject* module, std::initializer_list<int (*)(PyObject*)> additions) {
    for (auto add : additions)
        if (add(module) != 0) return -1;
    return 0;
}

}  // namespace kavro::python::binding
