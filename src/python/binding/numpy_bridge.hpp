#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "core/complex.hpp"

// The NumPy side of the call road: one-dimensional arrays are borrowed read-only in place, and
// result vectors become arrays that adopt the vector's storage. NumPy's C API is loaded on the
// first call that needs it, not at import.

namespace kavro::python::binding {

enum class ElementType { UInt8, Int32, Float32, Complex64 };

template <class T>
inline constexpr bool is_array_element = false;
template <> inline constexpr bool is_array_element<std::uint8_t> = true;
template <> inline constexpr bool is_array_element<std::int32_t> = true;
template <> inline constexpr bool is_array_element<float> = true;
template <> inline constexpr bool is_array_element<Complex> = true;

template <class T>
concept ArrayElement = is_array_element<T>;

template <ArrayElement T>
constexpr ElementType element_type_of() {
    if constexpr (std::is_same_v<T, std::uint8_t>) return ElementType::UInt8;
    else if constexpr (std::is_same_v<T, std::int32_t>) return ElementType::Int32;
    else if constexpr (std::is_same_v<T, float>) return ElementType::Float32;
    else return ElementType::Complex64;
}

enum class ArrayCheck { Ok, WrongType, NotContiguous };

// Checks that `object` is a one-dimensional array of the element type (a TypeError is set for a
// wrong type, dtype or rank) and, unless `check_layout` is false, that a non-empty array is
// aligned and contiguous (the TypeError "The given array is not contiguous or is misaligned.").
ArrayCheck borrow_array(PyObject* object, ElementType type, bool check_layout, const void*& data, std::size_t& size);

// Whether a borrowed array can be read in place: empty, or aligned and contiguous.
bool array_layout_ok(PyObject* array);

// Sets TypeError "The given array is not contiguous or is misaligned.".
void raise_not_contiguous();

// As array_layout_ok, setting the contiguity TypeError when it cannot.
bool check_array_layout(PyObject* array);

// A new one-dimensional array that owns the vector's storage (freed through `release`).
PyObject* adopt_buffer(ElementType type, void* data, std::size_t size, void* owner, void (*release)(void*));

template <ArrayElement T>
PyObject* adopt_vector(std::vector<T>&& values) {
    auto* owner = new std::vector<T>(std::move(values));
    return adopt_buffer(element_type_of<T>(), owner->data(), owner->size(), owner,
                        [](void* p) { delete static_cast<std::vector<T>*>(p); });
}

}  // namespace kavro::python::binding
