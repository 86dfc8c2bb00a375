#pragma once

#include <Python.h>

#include <string_view>

#include "python/binding/fixed_text.hpp"

// Argument matching by position and keyword against a callable's text signature, with the
// interpreter's checking order: too many positionals, then each keyword, then the missing ones.

namespace kavro::python::binding {

// How a callable is named in messages: "<Class>.<name>()" or "<name>()".
struct CallableName {
    PyTypeObject* owner = nullptr;  // the class of a method or constructor, null for a function
    std::string_view name;
};

// Fills slots[i] with a borrowed reference to the argument of parameter i, or null when the
// parameter was left out (it then has a default). On failure sets TypeError and returns false.
// Keywords come either as a fast-call name tuple (values after the positionals) or as a dict.
bool match_arguments(const CallableName& callable, const Signature& signature, PyObject* const* positional,
                     Py_ssize_t positional_count, PyObject* keyword_names, PyObject* keyword_dict, PyObject** slots);

}  // namespace kavro::python::binding
