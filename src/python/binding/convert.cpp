#include "python/binding/convert.hpp"

#include <string_view>

namespace kavro::python::binding {

namespace {

bool attribute_equals(PyObject* object, const char* attribute, std::initializer_list<std::string_view> accepted) {
    PyObject* value = PyObject_GetAttrString(object, attribute);
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool equal = false;
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr) {
        for (std::string_view candidate : accepted)
            equal = equal || candidate == std::string_view(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    Py_DECREF(value);
    return equal;
}

}  // namespace

// NumPy boolean scalars are recognised by their type's module and name, without importing NumPy.
bool is_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    return attribute_equals(type, "__module__", {"numpy"}) && attribute_equals(type, "__name__", {"bool", "bool_"});
}

}  // namespace kavro::python::binding
