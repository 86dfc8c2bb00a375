#pragma once

#include <Python.h>

#include <limits>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/complex.hpp"
#include "python/binding/instance.hpp"
#include "python/binding/numpy_bridge.hpp"
#include "python/binding/type_names.hpp"

// Argument converters, chosen at compile time from the C++ parameter type. Each converter
// reads one Python object into its storage for the duration of the call; a failure leaves an
// exception set. A TypeError of a converter is later prefixed with the argument's name, except
// where the converter reports it as unprefixed (the array layout error).
//
// Conversion has two phases. `load` may run Python code (`__index__`, `__float__`, `__bool__`,
// list items) and checks arrays without keeping their data pointers; `borrow`, which only array
// converters have, runs no Python code: it checks the array again and takes its data pointer.
// Python code run by a later argument's load can resize or reshape an earlier array (NumPy frees
// the memory whatever references are held), so every load of a call runs before any borrow.

namespace kavro::python::binding {

enum class Converted { Ok, Failed, FailedUnprefixed };

// A `bytes` argument, read in place.
struct BytesArg {
    std::span<const std::uint8_t> data;
};

// A list argument, snapshotted once into a tuple (which copies the list's item references
// without running Python code) before its items are converted.
template <class Item>
struct ListArg;

// A list or a tuple argument (subclasses too), read once like a list argument. Other objects get
// the list argument's TypeError.
template <class Item>
struct SequenceArg;

template <class P>
struct Converter;

// Converters of arrays, and of what holds arrays, have the second phase.
template <class C>
concept HasBorrow = requires(typename C::Storage& stored) { C::borrow(stored); };

inline Converted from_status(bool ok) { return ok ? Converted::Ok : Converted::Failed; }

// A converter whose storage is the argument's value itself.
template <class T>
struct StoredAsIs {
    using Storage = T;
    static T get(Storage& stored) { return stored; }
};

template <>
struct Converter<double> : StoredAsIs<double> {
    static Converted load(PyObject* object, Storage& out) {
        out = PyFloat_AsDouble(object);
        return from_status(!(out == -1.0 && PyErr_Occurred()));
    }
};

template <>
struct Converter<float> : StoredAsIs<float> {
    static Converted load(PyObject* object, Storage& out) {
        const double value = PyFloat_AsDouble(object);
        out = static_cast<float>(value);
        return from_status(!(value == -1.0 && PyErr_Occurred()));
    }
};

// Integers narrower than a C long: converted through the interpreter, then range-checked.
template <class Int>
    requires(std::is_integral_v<Int> && !std::is_same_v<Int, bool> && sizeof(Int) <= 4)
struct Converter<Int> : StoredAsIs<Int> {
    static Converted load(PyObject* object, Int& out) {
        const long value = PyLong_AsLong(object);
        if (value == -1 && PyErr_Occurred()) return Converted::Failed;
        if (value < static_cast<long>(std::numeric_limits<Int>::min()) ||
            value > static_cast<long>(std::numeric_limits<Int>::max())) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return Converted::Failed;
        }
        out = static_cast<Int>(value);
        return Converted::Ok;
    }
};

// Sizes: any integer or object with __index__, negative or beyond 64 bits refused by the interpreter.
template <>
struct Converter<std::uint64_t> : StoredAsIs<std::uint64_t> {
    static Converted load(PyObject* object, Storage& out) {
        PyObject* index = PyNumber_Index(object);
        if (index == nullptr) return Converted::Failed;
        out = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
        return from_status(!(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()));
    }
};

bool is_numpy_bool(PyObject* object);

// True and False, and NumPy boolean scalars; 0 and 1 are refused.
template <>
struct Converter<bool> : StoredAsIs<bool> {
    static Converted load(PyObject* object, Storage& out) {
        if (PyBool_Check(object)) {
            out = object == Py_True;
            return Converted::Ok;
        }
        if (is_numpy_bool(object)) {
            const int truth = PyObject_IsTrue(object);
            out = truth == 1;
            return from_status(truth >= 0);
        }
        if (!PyErr_Occurred()) raise_not_an_instance(object, "bool");
        return Converted::Failed;
    }
};

// A str, read as its UTF-8 contents (valid while the caller holds the string).
template <>
struct Converter<std::string_view> : StoredAsIs<std::string_view> {
    static Converted load(PyObject* object, Storage& out) {
        if (!PyUnicode_Check(object)) {
            raise_not_an_instance(object, "str");
            return Converted::Failed;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (text == nullptr) return Converted::Failed;
        out = std::string_view(text, static_cast<std::size_t>(size));
        return Converted::Ok;
    }
};

template <>
struct Converter<BytesArg> : StoredAsIs<BytesArg> {
    static Converted load(PyObject* object, Storage& out) {
        if (!PyBytes_Check(object)) {
            raise_not_an_instance(object, "bytes");
            return Converted::Failed;
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object, &data, &size) != 0) return Converted::Failed;
        out.data = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
        return Converted::Ok;
    }
};

inline Converted from_array_check(ArrayCheck check) {
    switch (check) {
        case ArrayCheck::Ok: return Converted::Ok;
        case ArrayCheck::WrongType: return Converted::Failed;
        case ArrayCheck::NotContiguous: return Converted::FailedUnprefixed;
    }
    return Converted::Failed;
}

// An array argument: the object once loaded, its elements once borrowed.
template <ArrayElement E>
struct ArrayStorage {
    PyObject* object = nullptr;
    std::span<const E> elements;
};

// Checks the array (with its layout unless `check_layout` is false) and, when `keep` is true,
// takes its elements. Runs no Python code unless it fails.
template <ArrayElement E>
Converted check_array(ArrayStorage<E>& stored, bool check_layout, bool keep) {
    const void* data = nullptr;
    std::size_t size = 0;
    const ArrayCheck check = borrow_array(stored.object, element_type_of<E>(), check_layout, data, size);
    if (check == ArrayCheck::Ok && keep) stored.elements = {static_cast<const E*>(data), size};
    return from_array_check(check);
}

// One-dimensional NumPy arrays of the element type, borrowed read-only in place.
template <ArrayElement E>
struct Converter<std::span<const E>> {
    using Storage = ArrayStorage<E>;
    static Converted load(PyObject* object, Storage& out) {
        out.object = object;
        return check_array(out, true, false);
    }
    static Converted borrow(Storage& stored) { return check_array(stored, true, true); }
    static std::span<const E> get(Storage& stored) { return stored.elements; }
};

// An array whose type and rank are checked while converting but whose layout is checked later,
// when the callee asks for its elements, so that a callee can order that check among its own.
template <ArrayElement E>
struct LazyArray {
    PyObject* object = nullptr;
    std::span<const E> elements;

    bool readable() const { return array_layout_ok(object); }

    // The elements, or an empty optional with the layout TypeError set.
    std::optional<std::span<const E>> span() const {
        if (!check_array_layout(object)) return std::nullopt;
        return elements;
    }
};

template <ArrayElement E>
struct Converter<LazyArray<E>> {
    using Storage = LazyArray<E>;
    static Converted load(PyObject* object, Storage& out) {
        ArrayStorage<E> stored{object, {}};
        out.object = object;
        return check_array(stored, false, false) == Converted::Ok ? Converted::Ok : Converted::Failed;
    }
    static Converted borrow(Storage& stored) {
        ArrayStorage<E> array{stored.object, {}};
        if (check_array(array, false, true) != Converted::Ok) return Converted::Failed;
        stored.elements = array.elements;
        return Converted::Ok;
    }
    static const LazyArray<E>& get(Storage& stored) { return stored; }
};

// An instance of a bound class, type-checked and held shared for the call.
template <Bound T>
struct Converter<T> {
    using Storage = SharedRef<T>;
    static Converted load(PyObject* object, Storage& out) {
        PyTypeObject* type = type_object<T>();
        if (type == nullptr) return Converted::Failed;
        if (!PyObject_TypeCheck(object, type)) {
            raise_not_an_instance(object, class_name<T>());
            return Converted::Failed;
        }
        auto& self = instance_of<T>(object);
        if (!out.guard.acquire(self.borrow, false)) return Converted::Failed;
        out.value = &self.value;
        return Converted::Ok;
    }
    static const T& get(Storage& stored) { return stored.get(); }
};

template <class Item>
struct ListArg {
    std::vector<typename Converter<Item>::Storage> items;
    PyObject* snapshot = nullptr;

    ListArg() = default;
    ListArg(const ListArg&) = delete;
    ListArg& operator=(const ListArg&) = delete;
    ~ListArg() { Py_XDECREF(snapshot); }
};

template <class Item>
struct Converter<ListArg<Item>> {
    using Storage = ListArg<Item>;
    static Converted load(PyObject* object, Storage& out) {
        if (!PyList_Check(object)) {
            raise_not_an_instance(object, "list");
            return Converted::Failed;
        }
        out.snapshot = PyList_AsTuple(object);
        if (out.snapshot == nullptr) return Converted::Failed;
        return load_items(out);
    }
    // Converts the items of the snapshot.
    static Converted load_items(Storage& out) {
        const Py_ssize_t count = PyTuple_Size(out.snapshot);
        out.items.resize(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            const Converted status = Converter<Item>::load(PyTuple_GetItem(out.snapshot, i), out.items[static_cast<std::size_t>(i)]);
            if (status != Converted::Ok) return status;
        }
        return Converted::Ok;
    }
    static Converted borrow(Storage& stored)
        requires HasBorrow<Converter<Item>>
    {
        for (auto& item : stored.items)
            if (const Converted status = Converter<Item>::borrow(item); status != Converted::Ok) return status;
        return Converted::Ok;
    }
    static const Storage& get(Storage& stored) { return stored; }
};

template <class Item>
struct SequenceArg : ListArg<Item> {};

template <class Item>
struct Converter<SequenceArg<Item>> {
    using Storage = SequenceArg<Item>;
    static Converted load(PyObject* object, Storage& out) {
        if (!PyTuple_Check(object)) return Converter<ListArg<Item>>::load(object, out);
        out.snapshot = Py_NewRef(object);  // a tuple's items cannot change
        return Converter<ListArg<Item>>::load_items(out);
    }
    static Converted borrow(Storage& stored)
        requires HasBorrow<Converter<Item>>
    {
        return Converter<ListArg<Item>>::borrow(stored);
    }
    static const Storage& get(Storage& stored) { return stored; }
};

// A parameter with a default: absent gives nullopt; None also gives nullopt when the default is None.
template <class Value>
struct Converter<std::optional<Value>> {
    using Storage = std::optional<typename Converter<Value>::Storage>;
    static Converted load(PyObject* object, Storage& out) {
        out.emplace();
        return Converter<Value>::load(object, *out);
    }
    static Converted borrow(Storage& stored)
        requires HasBorrow<Converter<Value>>
    {
        return stored ? Converter<Value>::borrow(*stored) : Converted::Ok;
    }
    static std::optional<Value> get(Storage& stored) {
        if (!stored) return std::nullopt;
        return Converter<Value>::get(*stored);
    }
};

// Any object, borrowed as it is, for callees that inspect it themselves (such as list items that
// must be dictionaries).
template <>
struct Converter<PyObject*> : StoredAsIs<PyObject*> {
    static Converted load(PyObject* object, Storage& out) {
        out = object;
        return Converted::Ok;
    }
};

// Dictionary items read by a callee: the object must be a dict (or subclass), else the
// type-mismatch TypeError; a value is found with the plain item lookup (no __missing__ or
// overridden __getitem__), a missing key raises KeyError, and the value converts like an argument
// of its type. None of these failures names an argument.
inline bool check_dict(PyObject* object) {
    if (PyDict_Check(object)) return true;
    raise_not_an_instance(object, "dict");
    return false;
}

template <class T>
std::optional<T> dict_item(PyObject* dict, const char* key) {
    static_assert(!HasBorrow<Converter<T>>, "arrays are borrowed by the call, not read from dictionaries");
    PyObject* name = PyUnicode_FromString(key);
    if (name == nullptr) return std::nullopt;
    PyObject* value = PyDict_GetItemWithError(dict, name);  // borrowed
    if (value == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    Py_DECREF(name);
    typename Converter<T>::Storage stored{};
    if (value == nullptr || Converter<T>::load(value, stored) != Converted::Ok) return std::nullopt;
    return Converter<T>::get(stored);
}

template <class P>
using ConverterOf = Converter<std::remove_cvref_t<P>>;

// Parameters through which the callee itself reads Python objects (and may so run Python code).
template <class P>
struct HandsObjects : std::false_type {};
template <>
struct HandsObjects<PyObject*> : std::true_type {};
template <class Item>
struct HandsObjects<ListArg<Item>> : HandsObjects<Item> {};
template <class Item>
struct HandsObjects<SequenceArg<Item>> : HandsObjects<Item> {};
template <class Value>
struct HandsObjects<std::optional<Value>> : HandsObjects<Value> {};

template <class P>
inline constexpr bool hands_objects_v = HandsObjects<std::remove_cvref_t<P>>::value;

}  // namespace kavro::python::binding
