#pragma once

#include <Python.h>

#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/binding/callable.hpp"

// Declarations, one line each in the family files. A class's methods and its properties are
// tables built while compiling from a pack of entries: `method_table(method<...>(), ...)`. A table
// may also hold tables, so that calls several classes share are declared once. An entry becomes
// the interpreter's record (PyMethodDef, PyGetSetDef) when its table's records are made, or, for
// a module function, when the function is added.

namespace kavro::python::binding {

// A constructor that hands its converted arguments to T's own constructor.
template <class T, class... Args>
inline constexpr auto construct = [](Args... args) { return T(std::move(args)...); };

template <FixedText Doc, auto Entry, int Flags>
struct CallEntry {
    operator PyMethodDef() const {
        return {SignatureName<Doc>::text.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry)), Flags,
                Doc.chars};
    }
};

template <FixedText Doc, auto Fn>
constexpr auto method() {
    return CallEntry<Doc, &method_entry<Doc, Fn>, METH_FASTCALL | METH_KEYWORDS>{};
}

template <FixedText Doc, auto Fn>
PyMethodDef function() {
    return CallEntry<Doc, &function_entry<Doc, Fn>, METH_FASTCALL | METH_KEYWORDS>{};
}

// A static method of the class Owner.
template <class Owner, FixedText Doc, auto Fn>
constexpr auto static_method() {
    return CallEntry<Doc, &function_entry<Doc, Fn, Owner>, METH_FASTCALL | METH_KEYWORDS | METH_STATIC>{};
}

template <FixedText Name, auto Getter>
struct PropertyEntry {
    const char* doc = nullptr;
    operator PyGetSetDef() const { return {Name.chars, &property_entry<Getter>, nullptr, doc, nullptr}; }
};

template <FixedText Name, auto Getter>
constexpr PropertyEntry<Name, Getter> property(const char* doc = nullptr) {
    return {doc};
}

// Entries of one kind of record, in their order.
template <class Record, class... Entries>
struct Table {
    using RecordType = Record;
    std::tuple<Entries...> entries;
};

template <class Record, class Entry>
constexpr std::tuple<Entry> entries_of(const Entry& entry) {
    static_assert(std::is_convertible_v<Entry, Record>, "an entry of another kind of table");
    return {entry};
}

template <class Record, class... Entries>
constexpr std::tuple<Entries...> entries_of(const Table<Record, Entries...>& table) {
    return table.entries;
}

template <class Record, class... Parts>
constexpr auto table_of(const Parts&... parts) {
    return std::apply([](const auto&... entries) { return Table<Record, std::remove_cvref_t<decltype(entries)>...>{{entries...}}; },
                      std::tuple_cat(entries_of<Record>(parts)...));
}

template <class... Parts>
constexpr auto method_table(const Parts&... parts) {
    return table_of<PyMethodDef>(parts...);
}

template <class... Parts>
constexpr auto property_table(const Parts&... parts) {
    return table_of<PyGetSetDef>(parts...);
}

// The records of a table, ending in the empty record the interpreter stops at; made once.
template <const auto& T>
auto* records() {
    using Record = typename std::remove_cvref_t<decltype(T)>::RecordType;
    static auto made = std::apply([](const auto&... entries) { return std::array{Record(entries)..., Record{}}; }, T.entries);
    return made.data();
}

}  // namespace kavro::python::binding
