#include "python/binding/arguments.hpp"

#include <string>

namespace kavro::python::binding {

namespace {

std::string display_name(const CallableName& callable) {
    std::string text;
    if (callable.owner != nullptr) {
        PyObject* name = PyType_GetName(callable.owner);
        if (name != nullptr) {
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr)) text = std::string(utf8) + ".";
            Py_DECREF(name);
        }
        PyErr_Clear();
    }
    return text + std::string(callable.name) + "()";
}

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

void raise_too_many(const CallableName& callable, const Signature& signature, Py_ssize_t given) {
    std::string message = display_name(callable) + " takes ";
    if (signature.required == signature.count) message += std::to_string(signature.count);
    else message += "from " + std::to_string(signature.required) + " to " + std::to_string(signature.count);
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise_type_error(message);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(const std::string_view* names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text += "'" + std::string(names[i]) + "'";
    }
    return text;
}

// Compares character by character with the (ASCII) parameter name, so that a keyword that cannot
// be encoded (a lone surrogate) is simply no parameter's name.
bool names_parameter(PyObject* keyword, std::string_view name) {
    if (PyUnicode_GetLength(keyword) != static_cast<Py_ssize_t>(name.size())) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (PyUnicode_ReadChar(keyword, static_cast<Py_ssize_t>(i)) != static_cast<unsigned char>(name[i])) return false;
    return true;
}

// The parameter named by the keyword, -1 for none, -2 with an exception set.
int parameter_index(const Signature& signature, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) {
        raise_type_error("keywords must be strings");
        return -2;
    }
    for (std::size_t i = 0; i < signature.count; ++i)
        if (names_parameter(keyword, signature.parameters[i].name)) return static_cast<int>(i);
    return -1;
}

bool place_keyword(const CallableName& callable, const Signature& signature, PyObject* keyword, PyObject* value,
                   PyObject** slots) {
    const int index = parameter_index(signature, keyword);
    if (index == -2) return false;
    if (index == -1) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_name(callable).c_str(), keyword);
        return false;
    }
    if (slots[index] != nullptr) {
        raise_type_error(display_name(callable) + " got multiple values for argument '" +
                         std::string(signature.parameters[static_cast<std::size_t>(index)].name) + "'");
        return false;
    }
    slots[index] = value;
    return true;
}

}  // namespace

bool match_arguments(const CallableName& callable, const Signature& signature, PyObject* const* positional,
                     Py_ssize_t positional_count, PyObject* keyword_names, PyObject* keyword_dict, PyObject** slots) {
    if (positional_count > static_cast<Py_ssize_t>(signature.count)) {
        raise_too_many(callable, signature, positional_count);
        return false;
    }
    for (std::size_t i = 0; i < signature.count; ++i)
        slots[i] = static_cast<Py_ssize_t>(i) < positional_count ? positional[i] : nullptr;

    if (keyword_names != nullptr) {
        const Py_ssize_t count = PyTuple_Size(keyword_names);
        for (Py_ssize_t k = 0; k < count; ++k)
            if (!place_keyword(callable, signature, PyTuple_GetItem(keyword_names, k), positional[positional_count + k], slots))
                return false;
    }
    if (keyword_dict != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(keyword_dict, &position, &key, &value))
            if (!place_keyword(callable, signature, key, value, slots)) return false;
    }

    std::string_view missing[max_parameters];
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (slots[i] == nullptr) missing[missing_count++] = signature.parameters[i].name;
    if (missing_count > 0) {
        raise_type_error(display_name(callable) + " missing " + std::to_string(missing_count) + " required positional " +
                         (missing_count == 1 ? "argument: " : "arguments: ") + join_names(missing, missing_count));
        return false;
    }
    return true;
}

}  // namespace kavro::python::binding
