#include "python/binding/numpy_bridge.hpp"

#include <numpy/arrayobject.h>

#include "python/binding/errors.hpp"
#include "python/binding/type_names.hpp"

namespace kavro::python::binding {

namespace {

constexpr const char* not_contiguous_text = "The given array is not contiguous or is misaligned.";
constexpr const char* buffer_capsule_name = "kavro_sdr.buffer";

constexpr int type_number(ElementType type) {
    switch (type) {
        case ElementType::UInt8: return NPY_UINT8;
        case ElementType::Int32: return NPY_INT32;
        case ElementType::Float32: return NPY_FLOAT32;
        case ElementType::Complex64: return NPY_COMPLEX64;
    }
    return NPY_NOTYPE;
}

constexpr const char* dtype_name(ElementType type) {
    switch (type) {
        case ElementType::UInt8: return "uint8";
        case ElementType::Int32: return "int32";
        case ElementType::Float32: return "float32";
        case ElementType::Complex64: return "complex64";
    }
    return "";
}

// Loads NumPy's C API table once; a failure is an internal fault of the call that needed it.
bool numpy_loaded() {
    if (PyArray_API != nullptr) return true;
    if (PyArray_ImportNumPyAPI() == 0) return true;
    PyObject* cause = PyErr_GetRaisedException();
    PyObject* text = cause ? PyObject_Str(cause) : nullptr;
    const char* detail = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
    std::string message = "Failed to access NumPy array API capsule";
    if (detail != nullptr) message += std::string(": ") + detail;
    PyErr_Clear();
    Py_XDECREF(text);
    Py_XDECREF(cause);
    raise_panic(message);
    return false;
}

bool dtype_matches(PyArray_Descr* descr, ElementType type) {
    if (descr->type_num == type_number(type) && PyArray_ISNBO(descr->byteorder)) return true;
    PyArray_Descr* wanted = PyArray_DescrFromType(type_number(type));
    const bool equivalent = PyArray_EquivTypes(descr, wanted);
    Py_DECREF(wanted);
    return equivalent;
}

void raise_wrong_array(PyObject* object, ElementType type) {
    if (!PyArray_Check(object)) {
        raise_not_an_instance(object, "ndarray");
        return;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    PyErr_Format(PyExc_TypeError, "expected a one-dimensional %s array, got a %d-dimensional %S array",
                 dtype_name(type), PyArray_NDIM(array), reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
}

void release_buffer(PyObject* capsule) {
    auto release = reinterpret_cast<void (*)(void*)>(PyCapsule_GetContext(capsule));
    release(PyCapsule_GetPointer(capsule, buffer_capsule_name));
}

}  // namespace

bool array_layout_ok(PyObject* object) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_SIZE(array) == 0) return true;
    const bool contiguous = PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array);
    return contiguous && PyArray_ISALIGNED(array) && PyArray_DATA(array) != nullptr;
}

void raise_not_contiguous() { PyErr_SetString(PyExc_TypeError, not_contiguous_text); }

bool check_array_layout(PyObject* object) {
    if (array_layout_ok(object)) return true;
    raise_not_contiguous();
    return false;
}

ArrayCheck borrow_array(PyObject* object, ElementType type, bool check_layout, const void*& data, std::size_t& size) {
    if (!numpy_loaded()) return ArrayCheck::NotContiguous;  // the panic is not an argument error
    if (!PyArray_Check(object) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) != 1 ||
        !dtype_matches(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object)), type)) {
        raise_wrong_array(object, type);
        return ArrayCheck::WrongType;
    }
    if (check_layout && !check_array_layout(object)) return ArrayCheck::NotContiguous;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    size = static_cast<std::size_t>(PyArray_SIZE(array));
    data = size == 0 ? nullptr : PyArray_DATA(array);
    return ArrayCheck::Ok;
}

PyObject* adopt_buffer(ElementType type, void* data, std::size_t size, void* owner, void (*release)(void*)) {
    if (!numpy_loaded()) {
        release(owner);
        return nullptr;
    }
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    if (size == 0) {
        release(owner);
        return PyArray_SimpleNew(1, dims, type_number(type));
    }
    PyObject* capsule = PyCapsule_New(owner, buffer_capsule_name, release_buffer);
    if (capsule == nullptr || PyCapsule_SetContext(capsule, reinterpret_cast<void*>(release)) != 0) {
        if (capsule == nullptr) release(owner);
        Py_XDECREF(capsule);
        return nullptr;
    }
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number(type)), 1, dims,
                                           nullptr, data, NPY_ARRAY_CARRAY, nullptr);
    if (array == nullptr) {
        Py_DECREF(capsule);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) != 0) {  // steals capsule
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace kavro::python::binding
