#include "python/binding/errors.hpp"

#include <string>

namespace kavro::python::binding {

namespace {

constexpr const char* panic_doc =
    "Raised when library code called from Python hits an internal fault.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way up and end the interpreter.";

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc("kavro_sdr.PanicException", panic_doc,
                                                      PyExc_BaseException, nullptr);
    return type;
}

void raise_panic(std::string_view message) {
    const std::string text(message);
    PySys_FormatStderr("kavro_sdr: internal fault: %s\n", text.c_str());
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the class failed; that error is already set
    PyObject* argument = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (argument == nullptr) return;
    PyErr_SetObject(type, argument);
    Py_DECREF(argument);
}

void raise_value_error(std::string_view message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) return;
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
}

void prefix_argument_error(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* original = PyErr_GetRaisedException();
    PyObject* original_text = PyObject_Str(original);
    if (original_text == nullptr) {
        Py_DECREF(original);
        return;
    }
    const std::string prefix = "argument '" + std::string(name) + "': ";
    PyObject* message = PyUnicode_FromFormat("%s%U", prefix.c_str(), original_text);
    Py_DECREF(original_text);
    PyObject* replacement = message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr) : nullptr;
    Py_XDECREF(message);
    if (replacement == nullptr) {
        Py_DECREF(original);
        return;
    }
    PyException_SetCause(replacement, original);  // steals the original
    PyErr_SetRaisedException(replacement);
}

}  // namespace kavro::python::binding
