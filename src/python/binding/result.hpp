#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "python/binding/errors.hpp"
#include "python/binding/instance.hpp"
#include "python/binding/numpy_bridge.hpp"

// Result conversion, chosen at compile time from the C++ return type: vectors of samples, bits
// or floats become NumPy arrays that adopt their storage; other vectors become lists; tuples,
// strings, numbers, optionals, bound classes and expected values map as their names say; a variant
// converts as its active alternative.

namespace kavro::python::binding {

// A `bytes` result.
struct ByteString {
    std::vector<std::uint8_t> data;
};

// The error of a binding-side step that has already set its Python exception.
struct ErrorAlreadySet {};

// Specialised for a result struct that Python receives as a dict: `keys` in insertion order and
// `values(const T&)` returning a tuple of the same length.
template <class T>
struct DictFields;

template <class T>
concept DictResult = requires(const T& value) {
    DictFields<T>::keys;
    DictFields<T>::values(value);
};

template <class Tuple, std::size_t N, std::size_t... I>
PyObject* dict_to_python(const std::array<const char*, N>& keys, Tuple&& values, std::index_sequence<I...>);

// Whether T is Template<...> for a template of types only (std::optional, std::vector, ...).
template <class T, template <class...> class Template>
inline constexpr bool is_a = false;
template <template <class...> class Template, class... A>
inline constexpr bool is_a<Template<A...>, Template> = true;

template <class T>
inline constexpr bool is_array_vector = false;
template <ArrayElement E>
inline constexpr bool is_array_vector<std::vector<E>> = true;

template <class R>
PyObject* to_python(R&& result);

template <class Tuple, std::size_t... I>
PyObject* tuple_to_python(Tuple&& values, std::index_sequence<I...>) {
    PyObject* items[] = {to_python(std::get<I>(std::forward<Tuple>(values)))...};
    bool ok = true;
    for (PyObject* item : items) ok = ok && item != nullptr;
    PyObject* tuple = ok ? PyTuple_New(sizeof...(I)) : nullptr;
    for (std::size_t i = 0; i < sizeof...(I); ++i) {
        if (tuple != nullptr) PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), items[i]);  // steals
        else Py_XDECREF(items[i]);
    }
    return tuple;
}

template <class R>
PyObject* to_python(R&& result) {
    using T = std::remove_cvref_t<R>;
    if constexpr (is_a<T, std::expected>) {
        if (!result) {
            if constexpr (!std::is_same_v<typename T::error_type, ErrorAlreadySet>) raise_value_error(error_message(result.error()));
            return nullptr;
        }
        if constexpr (std::is_void_v<typename T::value_type>) Py_RETURN_NONE;
        else return to_python(std::move(*result));
    } else if constexpr (is_a<T, std::optional>) {
        if (!result) Py_RETURN_NONE;
        return to_python(std::move(*result));
    } else if constexpr (is_a<T, std::variant>) {
        return std::visit([](auto&& active) { return to_python(std::forward<decltype(active)>(active)); },
                          std::forward<R>(result));
    } else if constexpr (std::is_same_v<T, bool>) {
        return PyBool_FromLong(result);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return PyLong_FromLongLong(result);
    } else if constexpr (std::is_integral_v<T>) {
        return PyLong_FromUnsignedLongLong(result);
    } else if constexpr (std::is_floating_point_v<T>) {
        return PyFloat_FromDouble(result);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return PyUnicode_FromStringAndSize(result.data(), static_cast<Py_ssize_t>(result.size()));
    } else if constexpr (std::is_same_v<T, ByteString>) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(result.data.data()),
                                         static_cast<Py_ssize_t>(result.data.size()));
    } else if constexpr ((is_a<T, std::tuple> || is_a<T, std::pair>)) {
        return tuple_to_python(std::move(result), std::make_index_sequence<std::tuple_size_v<T>>{});
    } else if constexpr (is_array_vector<T>) {
        return adopt_vector(std::move(result));
    } else if constexpr (is_a<T, std::vector>) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(result.size()));
        if (list == nullptr) return nullptr;
        for (std::size_t i = 0; i < result.size(); ++i) {
            PyObject* item = to_python(std::move(result[i]));
            if (item == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals
        }
        return list;
    } else if constexpr (DictResult<T>) {
        return dict_to_python(DictFields<T>::keys, DictFields<T>::values(result),
                              std::make_index_sequence<DictFields<T>::keys.size()>{});
    } else if constexpr (std::is_same_v<T, PyObject*>) {
        return result;  // already a new reference built by the caller
    } else {
        static_assert(Bound<T>, "no Python conversion for this result type");
        return wrap(std::move(result));
    }
}

template <class Tuple, std::size_t N, std::size_t... I>
PyObject* dict_to_python(const std::array<const char*, N>& keys, Tuple&& values, std::index_sequence<I...>) {
    static_assert(std::tuple_size_v<std::remove_cvref_t<Tuple>> == N, "one value per key");
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    const bool ok = ([&] {
        PyObject* item = to_python(std::get<I>(std::forward<Tuple>(values)));
        const bool set = item != nullptr && PyDict_SetItemString(dict, keys[I], item) == 0;
        Py_XDECREF(item);
        return set;
    }() && ...);
    if (!ok) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

}  // namespace kavro::python::binding
